#include "common/xml_helper.h"

#include <cstdint>
#include <set>
#include <utility>

#include "log/log.h"

namespace {

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"':
        if (attribute) {
          out += "&quot;";
          break;
        }
        [[fallthrough]];
      default: out += c;
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

// Reads XML text straight into a RecordTree, without a document tree in
// between: an answer costs its RecordTree and nothing more. Follows the rules
// the service's answers were always read by: white space in text collapsed,
// the five named entities and character references replaced (unknown ones kept
// as written), comments, processing instructions and a DOCTYPE skipped, CDATA
// taken as written; a child whose first content is text becomes a value
// (elements inside it are checked, then dropped), any other child a child tree.
class XmlReader {
 public:
  explicit XmlReader(std::string_view text) : m_text(text) {}

  bool ReadDocument(RecordTree& tree) {
    if (m_text.substr(0, 3) == "\xEF\xBB\xBF") m_pos = 3;
    bool haveRoot = false;
    while (true) {
      SkipSpace();
      if (AtEnd()) return haveRoot;
      if (!Peek('<')) {
        // Stray text before the root element was always passed over; after it, it is an error.
        const size_t next = m_text.find('<', m_pos);
        if (haveRoot || next == std::string_view::npos) return false;
        m_pos = next;
        continue;
      }
      if (Starts("<?")) {
        if (haveRoot || !SkipPast("?>")) return false;
      } else if (Starts("<!--")) {
        if (!SkipPast("-->")) return false;
      } else if (Starts("<!")) {
        if (!SkipPast(">")) return false;  // DOCTYPE
      } else if (!haveRoot) {
        if (!ReadElement(tree, 1, true)) return false;
        haveRoot = true;
      } else {
        RecordTree ignored;  // further top-level elements are checked, not kept
        if (!ReadElement(ignored, 1, false)) return false;
      }
    }
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
  static bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (static_cast<unsigned char>(c) >= 0x80);
  }
  static bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

  bool AtEnd() const { return m_pos >= m_text.size(); }
  bool Peek(char c) const { return m_pos < m_text.size() && m_text[m_pos] == c; }
  bool Starts(std::string_view s) const { return m_text.substr(m_pos, s.size()) == s; }
  void SkipSpace() {
    while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) ++m_pos;
  }
  bool SkipPast(std::string_view end) {
    const size_t at = m_text.find(end, m_pos);
    if (at == std::string_view::npos) return false;
    m_pos = at + end.size();
    return true;
  }
  bool ReadName(std::string_view& name) {
    const size_t start = m_pos;
    if (AtEnd() || !IsNameStart(m_text[m_pos])) return false;
    while (m_pos < m_text.size() && IsNameChar(m_text[m_pos])) ++m_pos;
    name = m_text.substr(start, m_pos - start);
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // Appends `raw` with its entities replaced; an unknown or broken one is kept as written.
  static void AppendDecoded(std::string& out, std::string_view raw) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    size_t i = 0;
    while (i < raw.size()) {
      const size_t amp = raw.find('&', i);
      out.append(raw.substr(i, amp == std::string_view::npos ? std::string_view::npos : amp - i));
      if (amp == std::string_view::npos) return;
      i = amp;
      const std::string_view rest = raw.substr(i);
      bool done = false;
      for (const auto& [name, c] : kNamed) {
        if (rest.substr(0, name.size()) == name) {
          out += c;
          i += name.size();
          done = true;
          break;
        }
      }
      if (!done && rest.size() > 2 && rest[1] == '#') {
        const bool hex = rest[2] == 'x';
        size_t j = hex ? 3 : 2;
        uint32_t code = 0;
        bool digits = false;
        for (; j < rest.size() && j < 12; ++j) {
          const char c = rest[j];
          int v = -1;
          if (c >= '0' && c <= '9') v = c - '0';
          else if (hex && c >= 'a' && c <= 'f') v = c - 'a' + 10;
          else if (hex && c >= 'A' && c <= 'F') v = c - 'A' + 10;
          if (v < 0) break;
          code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
          digits = true;
        }
        if (digits && j < rest.size() && rest[j] == ';' && code <= 0x10FFFF) {
          if (code != 0) AppendUtf8(out, code);
          i += j + 1;
          done = true;
        }
      }
      if (!done) {
        out += '&';
        ++i;
      }
    }
  }

  // Text content: entities replaced, white space runs made one blank, ends trimmed.
  static std::string CollapsedText(std::string_view raw) {
    std::string decoded;
    AppendDecoded(decoded, raw);
    std::string out;
    out.reserve(decoded.size());
    bool pendingSpace = false;
    for (char c : decoded) {
      if (IsSpace(c)) {
        pendingSpace = !out.empty();
        continue;
      }
      if (pendingSpace) out += ' ';
      pendingSpace = false;
      out += c;
    }
    return out;
  }

  bool ReadAttributes(RecordTree& tree, bool keep, bool& selfClosed) {
    while (true) {
      const size_t before = m_pos;
      SkipSpace();
      if (Starts("/>")) {
        m_pos += 2;
        selfClosed = true;
        return true;
      }
      if (Peek('>')) {
        ++m_pos;
        selfClosed = false;
        return true;
      }
      if (m_pos == before) return false;  // attributes are separated by white space
      std::string_view name;
      if (!ReadName(name)) return false;
      SkipSpace();
      if (!Peek('=')) return false;
      ++m_pos;
      SkipSpace();
      if (!Peek('"') && !Peek('\'')) return false;
      const char quote = m_text[m_pos++];
      const size_t end = m_text.find(quote, m_pos);
      if (end == std::string_view::npos) return false;
      const std::string_view raw = m_text.substr(m_pos, end - m_pos);
      m_pos = end + 1;
      if (m_seenAttrs.count(name)) return false;  // an attribute given twice
      m_seenAttrs.insert(name);
      if (keep) {
        std::string value;
        AppendDecoded(value, raw);
        if (!m_budget.Attr(name, value)) return false;
        tree.SetAttr(name, value);
      }
    }
  }

  // Reads one element at m_pos ('<' of its start tag) into `tree` when `keep`.
  bool ReadElement(RecordTree& tree, int depth, bool keep) {
    if (depth >= kMaxXmlDepth) return false;
    ++m_pos;  // '<'
    std::string_view name;
    if (!ReadName(name)) return false;
    if (keep) tree.Key = std::string(name);
    m_seenAttrs.clear();
    bool selfClosed = false;
    if (!ReadAttributes(tree, keep, selfClosed)) return false;
    if (selfClosed) return true;
    while (true) {
      if (AtEnd()) return false;
      if (Starts("</")) {
        m_pos += 2;
        std::string_view closing;
        if (!ReadName(closing) || closing != name) return false;
        SkipSpace();
        if (!Peek('>')) return false;
        ++m_pos;
        return true;
      }
      if (Starts("<!--")) {
        if (!SkipPast("-->")) return false;
        continue;
      }
      if (Starts("<?")) {
        if (!SkipPast("?>")) return false;
        continue;
      }
      if (Starts("<![CDATA[")) {  // text inside the element itself: not kept
        if (!SkipPast("]]>")) return false;
        continue;
      }
      if (Starts("<!")) {  // any other declaration is skipped to its end
        if (!SkipPast(">")) return false;
        continue;
      }
      if (Peek('<')) {
        if (!ReadChild(tree, depth + 1, keep)) return false;
        continue;
      }
      const size_t end = m_text.find('<', m_pos);
      if (end == std::string_view::npos) return false;
      m_pos = end;  // the element's own text is not part of the tree
    }
  }

  // A child element: a value when its first content is text, else a child tree.
  bool ReadChild(RecordTree& parent, int depth, bool keep) {
    if (depth >= kMaxXmlDepth) return false;
    const size_t start = m_pos;
    ++m_pos;
    std::string_view name;
    if (!ReadName(name)) return false;
    m_seenAttrs.clear();
    RecordTree attrs;  // a value's attributes are checked, not kept
    bool selfClosed = false;
    if (!ReadAttributes(attrs, false, selfClosed)) return false;
    if (!selfClosed) {
      // The first content decides: text (or CDATA) makes a value.
      size_t at = m_pos;
      while (at < m_text.size() && IsSpace(m_text[at])) ++at;
      std::string text;
      bool isText = false;
      if (m_text.substr(at, 9) == "<![CDATA[") {
        const size_t end = m_text.find("]]>", at + 9);
        if (end == std::string_view::npos) return false;
        text = std::string(m_text.substr(at + 9, end - at - 9));
        isText = true;
      } else if (at < m_text.size() && m_text[at] != '<') {
        const size_t end = m_text.find('<', at);
        if (end == std::string_view::npos) return false;
        text = CollapsedText(m_text.substr(m_pos, end - m_pos));
        isText = true;
      }
      if (isText) {
        // The rest of the element is read for its form only.
        m_pos = start;
        RecordTree ignored;
        if (!ReadElement(ignored, depth, false)) return false;
        if (keep) {
          if (!m_budget.Value(parent, name, text)) return false;
          parent.AddValue(name, text);
        }
        return true;
      }
    }
    m_pos = start;
    if (!keep) {
      RecordTree ignored;
      return ReadElement(ignored, depth, false);
    }
    if (!m_budget.Child(parent, name)) return false;
    return ReadElement(parent.AddChild(name), depth, true);
  }

 public:
  bool OverBudget() const { return m_budget.Exceeded(); }

 private:
  TreeBudget m_budget{kMaxXmlTreeBytes};
  std::string_view m_text;
  size_t m_pos = 0;
  std::set<std::string_view> m_seenAttrs;
};

}  // namespace

std::string ToXml(const RecordTree& tree) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";
  AppendElement(out, tree);
  return out;
}

HRESULT FromXml(std::string_view text, RecordTree& tree) {
  // The text ends at its first zero byte, as a C string would.
  text = text.substr(0, text.find('\0'));
  RecordTree parsed;
  XmlReader reader(text);
  const bool bRet = reader.ReadDocument(parsed);
  if (reader.OverBudget()) {
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
