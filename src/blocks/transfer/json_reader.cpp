#include "blocks/transfer/json_reader.h"

#include <cstdio>

#include "common/xml_helper.h"
#include "log/log.h"

namespace {

// Deep nesting is never sent by a block server; the limit keeps hostile input
// from exhausting the stack.
constexpr int kMaxDepth = 64;

class JsonParser {
public:
    explicit JsonParser(std::string_view text) : m_text(text) {}

    bool ParseDocument(RecordTree& root) {
        SkipSpaces();
        if (!ParseObject(root, 0)) return false;
        SkipSpaces();
        return m_pos == m_text.size();
    }

private:
    void SkipSpaces() {
        while (m_pos < m_text.size() && m_text[m_pos] == ' ') ++m_pos;
    }

    bool Peek(char c) const { return m_pos < m_text.size() && m_text[m_pos] == c; }

    bool Expect(char c) {
        SkipSpaces();
        if (!Peek(c)) return false;
        ++m_pos;
        return true;
    }

    bool ParseString(std::string& out) {
        SkipSpaces();
        if (!Peek('"')) return false;
        ++m_pos;
        out.clear();
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_pos >= m_text.size()) return false;
            switch (m_text[m_pos++]) {
                case '"':
                    out.push_back('"');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    // The opening '{' is consumed here; `node` receives the members.
    bool ParseObject(RecordTree& node, int depth) {
        if (depth > kMaxDepth || !Expect('{')) return false;
        SkipSpaces();
        if (Peek('}')) {
            ++m_pos;
            return true;
        }
        for (;;) {
            std::string key;
            if (!ParseString(key) || !Expect(':')) return false;
            if (!ParseValue(node, key, depth)) return false;
            SkipSpaces();
            if (Peek(',')) {
                ++m_pos;
                continue;
            }
            return Expect('}');
        }
    }

    bool ParseArray(RecordTree& node, int depth) {
        if (depth > kMaxDepth || !Expect('[')) return false;
        SkipSpaces();
        if (Peek(']')) {
            ++m_pos;
            return true;
        }
        for (;;) {
            SkipSpaces();
            if (!Peek('{')) return false;
            if (!m_budget.Child(node, "") || !ParseObject(node.AddChild(""), depth + 1)) return false;
            SkipSpaces();
            if (Peek(',')) {
                ++m_pos;
                continue;
            }
            return Expect(']');
        }
    }

    bool ParseValue(RecordTree& node, const std::string& key, int depth) {
        SkipSpaces();
        if (Peek('"')) {
            std::string value;
            if (!ParseString(value)) return false;
            if (!m_budget.Attr(key, value)) return false;
            node.SetAttr(key, value);
            return true;
        }
        if (Peek('{')) return m_budget.Child(node, key) && ParseObject(node.AddChild(key), depth + 1);
        if (Peek('[')) return m_budget.Child(node, key) && ParseArray(node.AddChild(key), depth + 1);
        return false;  // numbers, true, false, null and anything else
    }

    std::string_view m_text;
    size_t m_pos = 0;

public:
    // The tree's memory, counted as in the XML reader: a hostile answer of many
    // tiny objects stops at the same budget.
    TreeBudget m_budget{kMaxXmlTreeBytes};
};

}  // namespace

HRESULT ReadJson(std::string_view text, RecordTree& tree) {
    JsonParser parser(text);
    if (parser.ParseDocument(tree)) return S_OK;
    if (parser.m_budget.Exceeded())
        LOGF(5, "Answer refused: its tree would take more than %zu bytes", kMaxXmlTreeBytes);
    return E_FAIL;
}

std::string JsonEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 8);
    for (char c : value) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out.push_back(c);
                }
        }
    }
    return out;
}
