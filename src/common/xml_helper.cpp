#include "common/xml_helper.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

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

bool ConvertElement(const tinyxml2::XMLElement& element, RecordTree& tree, int depth, TreeBudget& budget);

bool IsValueElement(const tinyxml2::XMLElement& child) {
    const tinyxml2::XMLNode* first = child.FirstChild();
    return first != nullptr && first->ToText() != nullptr;
}

// Adds one child element c of the element that tree holds (at depth) as a value or a child tree.
bool ConvertChild(const tinyxml2::XMLElement& c, RecordTree& tree, int depth, TreeBudget& budget) {
    const char* name = Str(c.Name());
    if (IsValueElement(c)) {
        const char* value = Str(c.FirstChild()->Value());
        if (!budget.Value(tree, name, value)) return false;
        tree.Values.push_back(ValuePair{name, value});
        return true;
    }
    if (!budget.Child(tree, name)) return false;
    RecordTree& child = tree.Children.emplace_back();
    child.Key = name;
    return ConvertElement(c, child, depth + 1, budget);
}

bool ConvertAttrs(const tinyxml2::XMLElement& element, RecordTree& tree, TreeBudget& budget) {
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        if (!budget.Attr(Str(a->Name()), Str(a->Value()))) return false;
        tree.Attrs.insert_or_assign(Str(a->Name()), Str(a->Value()));
    }
    return true;
}

// Converts element into tree (empty), counting each addition against budget; false when
// the budget runs out or the nesting reaches kMaxXmlDepth. A child whose first node is
// text becomes a value (elements inside it are dropped), any other child a child tree.
bool ConvertElement(const tinyxml2::XMLElement& element, RecordTree& tree, int depth, TreeBudget& budget) {
    if (depth >= kMaxXmlDepth) return false;
    if (!ConvertAttrs(element, tree, budget)) return false;
    // Both vectors sized once: a listing's thousands of items are not moved on each doubling.
    size_t values = 0, children = 0;
    for (const tinyxml2::XMLElement* c = element.FirstChildElement(); c != nullptr; c = c->NextSiblingElement())
        ++(IsValueElement(*c) ? values : children);
    if (!budget.Reserve(values, sizeof(ValuePair)) || !budget.Reserve(children, sizeof(RecordTree))) return false;
    tree.Values.reserve(values);
    tree.Children.reserve(children);
    for (const tinyxml2::XMLElement* c = element.FirstChildElement(); c != nullptr; c = c->NextSiblingElement())
        if (!ConvertChild(*c, tree, depth, budget)) return false;
    return true;
}

// Where a long answer may be cut so that tinyxml2 never holds more than a slice of it: the
// root's start tag, its end tag, and the runs of the root's children between them. The
// root's own text is never read into the tree, so its long stretches are left out.
struct Slices {
    size_t openEnd = 0;                           // just past the root's start tag
    size_t closeBegin = 0;                        // the '<' of the root's end tag
    std::vector<std::pair<size_t, size_t>> runs;  // [begin, end), ascending, each starting at a '<'
};

bool IsNameStart(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 128 || std::isalpha(c) != 0 || c == ':' || c == '_';
}
bool IsNameChar(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return IsNameStart(ch) || std::isdigit(c) != 0 || c == '.' || c == '-';
}
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The markup that starts at text[at] ('<') when it holds no element: a declaration, comment,
// CDATA section or other "<!" markup, each ending where tinyxml2 ends it. Returns the
// position past it, at when it is an element tag, npos when it does not end.
size_t SkipOtherMarkup(std::string_view text, size_t at) {
    const std::string_view rest = text.substr(at);
    auto past = [&](size_t headerLength, std::string_view end) {
        const size_t found = text.find(end, at + headerLength);
        return found == std::string_view::npos ? found : found + end.size();
    };
    if (rest.starts_with("<?")) return past(2, "?>");
    if (rest.starts_with("<!--")) return past(4, "-->");
    if (rest.starts_with("<![CDATA[")) return past(9, "]]>");
    if (rest.starts_with("<!")) return past(2, ">");
    return at;
}

// Position past the start tag at text[at] ('<' then a name), npos when it does not end;
// empty tells whether it ends in "/>". Quotes only ever open attribute values there.
size_t SkipStartTag(std::string_view text, size_t at, bool& empty) {
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '"' || text[i] == '\'') {
            i = text.find(text[i], i + 1);
            if (i == std::string_view::npos) return i;
        } else if (text[i] == '>') {
            empty = text[i - 1] == '/';
            return i + 1;
        }
    }
    return std::string_view::npos;
}

// A boundary scan (no parsing: tinyxml2 parses every slice) over the markup as tinyxml2 reads
// it, cutting between the root's children once a slice holds sliceBytes and around the
// root's text. Wherever the scan
// and tinyxml2 could read a document differently tinyxml2 refuses the slice (a cut inside a
// construct leaves it unclosed); anything the scan does not follow gives false, and the
// document is then read whole.
bool FindSlices(std::string_view text, size_t sliceBytes, Slices& out) {
    size_t at = 0;
    // Before the root: white space, declarations, comments, "<!" markup.
    for (;;) {
        while (at < text.size() && IsSpace(text[at])) ++at;
        if (at >= text.size() || text[at] != '<') return false;
        const size_t past = SkipOtherMarkup(text, at);
        if (past == std::string_view::npos || text.substr(at).starts_with("<![CDATA[")) return false;
        if (past == at) break;
        at = past;
    }
    if (at + 1 >= text.size() || !IsNameStart(text[at + 1])) return false;
    size_t nameEnd = at + 1;
    while (nameEnd < text.size() && IsNameChar(text[nameEnd])) ++nameEnd;
    const std::string_view rootName = text.substr(at + 1, nameEnd - at - 1);
    bool empty = false;
    at = SkipStartTag(text, at, empty);
    if (at == std::string_view::npos || empty) return false;
    out.openEnd = at;
    out.runs.clear();
    size_t runBegin = std::string_view::npos;  // of the run being gathered
    size_t lastEnd = at;                       // past the last markup seen in the root
    int depth = 1;
    for (;;) {
        at = text.find('<', at);  // text between markup is left to tinyxml2
        if (at == std::string_view::npos) return false;
        if (depth == 1) {
            // A long stretch of the root's text since the last markup ends the run (and is left
            // out); so does a full run.
            if (runBegin != std::string_view::npos && (at - lastEnd > 256 || lastEnd - runBegin >= sliceBytes)) {
                out.runs.emplace_back(runBegin, lastEnd);
                runBegin = std::string_view::npos;
            }
            if (runBegin == std::string_view::npos) runBegin = at;
        }
        const size_t past = SkipOtherMarkup(text, at);
        if (past == std::string_view::npos) return false;
        if (past != at) {
            at = past;
        } else if (at + 1 < text.size() && text[at + 1] == '/') {
            // An end tag: its name, white space, '>' (anything else is read whole).
            size_t i = at + 2;
            if (i >= text.size() || !IsNameStart(text[i])) return false;
            while (i < text.size() && IsNameChar(text[i])) ++i;
            const std::string_view name = text.substr(at + 2, i - at - 2);
            while (i < text.size() && IsSpace(text[i])) ++i;
            if (i >= text.size() || text[i] != '>') return false;
            if (--depth == 0) {
                if (name != rootName) return false;
                if (runBegin != at) out.runs.emplace_back(runBegin, lastEnd);
                out.closeBegin = at;
                return true;
            }
            at = i + 1;
        } else if (at + 1 < text.size() && IsNameStart(text[at + 1])) {
            bool closed = false;
            at = SkipStartTag(text, at, closed);
            if (at == std::string_view::npos) return false;
            if (!closed) ++depth;
        } else {
            return false;
        }
        lastEnd = at;
    }
}

// Reads text slice by slice into tree (empty); false when tinyxml2 refuses a part or the
// conversion stops (as ConvertElement).
bool ConvertSliced(std::string_view text, const Slices& slices, RecordTree& tree, TreeBudget& budget) {
    {
        // The document without the root's children: the prolog, the root's tags, what follows.
        std::string outline;
        outline.reserve(slices.openEnd + text.size() - slices.closeBegin);
        outline.append(text.substr(0, slices.openEnd)).append(text.substr(slices.closeBegin));
        tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
        const tinyxml2::XMLElement* root =
            doc.Parse(outline.data(), outline.size()) == tinyxml2::XML_SUCCESS ? doc.RootElement() : nullptr;
        if (root == nullptr || root->FirstChild() != nullptr) return false;
        tree.Key = Str(root->Name());
        if (!ConvertAttrs(*root, tree, budget)) return false;
    }
    std::string wrapped;
    for (const auto& [begin, end] : slices.runs) {
        // A run of children inside a stand-in root: same depth, same reading.
        wrapped.assign("<r>").append(text.substr(begin, end - begin)).append("</r>");
        tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
        const tinyxml2::XMLElement* root =
            doc.Parse(wrapped.data(), wrapped.size()) == tinyxml2::XML_SUCCESS ? doc.RootElement() : nullptr;
        if (root == nullptr || root->NextSibling() != nullptr) return false;
        for (const tinyxml2::XMLElement* c = root->FirstChildElement(); c != nullptr; c = c->NextSiblingElement()) {
            if (!ConvertChild(*c, tree, 1, budget)) return false;
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

HRESULT FromXml(std::string_view text, RecordTree& tree) { return FromXmlInSlices(text, tree, kXmlSliceBytes); }

HRESULT FromXmlInSlices(std::string_view text, RecordTree& tree, size_t sliceBytes) {
    // The text ends at its first zero byte, as a C string would.
    text = text.substr(0, text.find('\0'));
    if (DocumentBytesAtMost(text) > kMaxXmlDocumentBytes) {
        LOGF(5, "Answer refused: its document would take more than %zu bytes", kMaxXmlDocumentBytes);
        return E_FAIL;
    }
    RecordTree parsed;
    bool bRet = false;
    TreeBudget budget(kMaxXmlTreeBytes);
    Slices slices;
    if (text.size() > sliceBytes && FindSlices(text, sliceBytes, slices)) {
        bRet = ConvertSliced(text, slices, parsed, budget);
    } else {
        tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
        const tinyxml2::XMLElement* root =
            doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS ? doc.RootElement() : nullptr;
        if (root != nullptr) {
            parsed.Key = Str(root->Name());
            bRet = ConvertElement(*root, parsed, 1, budget);
        }
    }  // the document is gone before the tree is handed over
    if (budget.Exceeded()) {
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
