#include "common/xml_helper.h"

#include <tinyxml2.h>

#include <algorithm>
#include <utility>

#include "log/log.h"

namespace {

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                if (attribute) {
                    out += "&quot;";
                    break;
                }
                [[fallthrough]];
            default:
                out += c;
        }
    }
}

void AppendElement(std::string& out, const RecordTree& tree) {
    out += '<';
    AppendEscaped(out, tree.Key, false);
    for (const auto& [k, v] : tree.Attrs) {
        out += ' ';
        AppendEscaped(out, k, false);
        out += "=\"";
        AppendEscaped(out, v, true);
        out += '"';
    }
    out += '>';
    for (const auto& pair : tree.Values) {
        out += '<';
        AppendEscaped(out, pair.Key, false);
        out += '>';
        AppendEscaped(out, pair.Value, false);
        out += "</";
        AppendEscaped(out, pair.Key, false);
        out += '>';
    }
    for (const auto& child : tree.Children) AppendElement(out, child);
    out += "</";
    AppendEscaped(out, tree.Key, false);
    out += '>';
}

// tinyxml2 parses a copy of the text in place: names and texts point into that copy, so
// its document costs the copy plus one pooled node per element, text, comment or
// declaration and one per attribute (sizes below, plus a heap header and a pointer per
// 4 KiB pool block).
// Every such node starts at a '<' (a closing tag's node is freed back to the pool at
// once, so "</" costs one node in all), a text node ends at one, an attribute needs a
// '=': counting them bounds the document before it is built, so that an answer of
// millions of empty elements is refused after one pass over its text instead of after
// building a gigabyte of nodes.
size_t DocumentBytesAtMost(std::string_view text) {
    size_t markup = 1, texts = 1, attrs = 0;
    size_t at = text.find('<');
    while (at != std::string_view::npos) {
        markup += at + 1 == text.size() || text[at + 1] != '/';
        const size_t next = text.find('<', at + 1);
        const std::string_view segment = text.substr(at, next == std::string_view::npos ? text.size() - at : next - at);
        for (char c : segment) attrs += c == '=';
        // Text between this node's '>' and the next '<' becomes a text node unless it is all
        // white space; with no '>' at all the segment is counted as holding text.
        const size_t close = segment.find('>');
        if (close == std::string_view::npos ||
            segment.find_first_not_of(" \t\r\n", close + 1) != std::string_view::npos)
            ++texts;
        at = next;
    }
    constexpr size_t kNode = std::max({sizeof(tinyxml2::XMLElement), sizeof(tinyxml2::XMLComment),
                                       sizeof(tinyxml2::XMLDeclaration), sizeof(tinyxml2::XMLUnknown)});
    const size_t nodes = markup * kNode + texts * sizeof(tinyxml2::XMLText) + attrs * sizeof(tinyxml2::XMLAttribute);
    return text.size() + 1 + nodes + nodes / 4096 * (16 + sizeof(void*));
}

const char* Str(const char* s) { return s != nullptr ? s : ""; }

// Converts element into tree (empty), counting each addition against budget; false when
// the budget runs out or the nesting reaches kMaxXmlDepth. A child whose first node is
// text becomes a value (elements inside it are dropped), any other child a child tree.
bool ConvertElement(const tinyxml2::XMLElement& element, RecordTree& tree, int depth, TreeBudget& budget) {
    if (depth >= kMaxXmlDepth) return false;
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        if (!budget.Attr(Str(a->Name()), Str(a->Value()))) return false;
        tree.Attrs.insert_or_assign(Str(a->Name()), Str(a->Value()));
    }
    auto isValue = [](const tinyxml2::XMLElement& child) {
        const tinyxml2::XMLNode* first = child.FirstChild();
        return first != nullptr && first->ToText() != nullptr;
    };
    // Both vectors sized once: a listing's thousands of items are not moved on each doubling.
    size_t values = 0, children = 0;
    for (const tinyxml2::XMLElement* c = element.FirstChildElement(); c != nullptr; c = c->NextSiblingElement())
        ++(isValue(*c) ? values : children);
    if (!budget.Reserve(values, sizeof(ValuePair)) || !budget.Reserve(children, sizeof(RecordTree))) return false;
    tree.Values.reserve(values);
    tree.Children.reserve(children);
    for (const tinyxml2::XMLElement* c = element.FirstChildElement(); c != nullptr; c = c->NextSiblingElement()) {
        const char* name = Str(c->Name());
        if (isValue(*c)) {
            const char* value = Str(c->FirstChild()->Value());
            if (!budget.Value(tree, name, value)) return false;
            tree.Values.push_back(ValuePair{name, value});
        } else {
            if (!budget.Child(tree, name)) return false;
            RecordTree& child = tree.Children.emplace_back();
            child.Key = name;
            if (!ConvertElement(*c, child, depth + 1, budget)) return false;
        }
    }
    return true;
}

}  // namespace

std::string ToXml(const RecordTree& tree) {
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";
    AppendElement(out, tree);
    return out;
}

HRESULT FromXml(std::string_view text, RecordTree& tree) {
    // The text ends at its first zero byte, as a C string would.
    text = text.substr(0, text.find('\0'));
    if (DocumentBytesAtMost(text) > kMaxXmlDocumentBytes) {
        LOGF(5, "Answer refused: its document would take more than %zu bytes", kMaxXmlDocumentBytes);
        return E_FAIL;
    }
    RecordTree parsed;
    bool bRet = false;
    bool overBudget = false;
    {
        tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
        const tinyxml2::XMLElement* root =
            doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS ? doc.RootElement() : nullptr;
        if (root != nullptr) {
            TreeBudget budget(kMaxXmlTreeBytes);
            parsed.Key = Str(root->Name());
            bRet = ConvertElement(*root, parsed, 1, budget);
            overBudget = budget.Exceeded();
        }
    }  // the document is gone before the tree is handed over
    if (overBudget) {
        LOGF(5, "Answer refused: its tree would take more than %zu bytes", kMaxXmlTreeBytes);
        return E_FAIL;
    }
    if (!ERROR_CHECK_BOOLEX(bRet)) return E_FAIL;
    if (tree.Attrs.empty() && tree.Values.empty() && tree.Children.empty()) {
        tree = std::move(parsed);  // the usual case: no second copy of a large answer
        return S_OK;
    }
    // The caller's tree is only added to, as with a tree that already holds something.
    tree.Key = std::move(parsed.Key);
    for (auto& [k, v] : parsed.Attrs) tree.SetAttr(k, v);
    for (auto& pair : parsed.Values) tree.Values.push_back(std::move(pair));
    for (auto& child : parsed.Children) tree.Children.push_back(std::move(child));
    return S_OK;
}
