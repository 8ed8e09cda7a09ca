#include "common/xml_helper.h"

#include <tinyxml2.h>

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

// Converts an element into tree; false when the nesting is deeper than kMaxXmlDepth.
bool ConvertElement(const tinyxml2::XMLElement& element, RecordTree& tree, int depth) {
  if (depth > kMaxXmlDepth) return false;
  tree.Key = element.Name() ? element.Name() : "";
  for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next())
    tree.SetAttr(a->Name() ? a->Name() : "", a->Value() ? a->Value() : "");
  for (const tinyxml2::XMLElement* child = element.FirstChildElement(); child != nullptr;
       child = child->NextSiblingElement()) {
    const tinyxml2::XMLNode* first = child->FirstChild();
    const char* name = child->Name() ? child->Name() : "";
    if (first != nullptr && first->ToText() != nullptr) {
      // Only the first text node counts; elements inside such a child are dropped.
      tree.AddValue(name, first->Value() ? first->Value() : "");
    } else if (!ConvertElement(*child, tree.AddChild(name), depth + 1)) {
      return false;
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
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  const tinyxml2::XMLError err = doc.Parse(text.data(), text.size());
  const tinyxml2::XMLElement* root = err == tinyxml2::XML_SUCCESS ? doc.RootElement() : nullptr;
  const bool bRet = root != nullptr;
  if (!ERROR_CHECK_BOOLEX(bRet)) return E_FAIL;
  RecordTree parsed;
  if (!ConvertElement(*root, parsed, 1)) {
    LogWrite(kLogLevelWarn, "ERROR_CHECK_BOOLEX:bRet", __FILE__, __LINE__);
    return E_FAIL;
  }
  // The caller's tree is only added to, as with a tree that already holds something.
  tree.Key = std::move(parsed.Key);
  for (auto& [k, v] : parsed.Attrs) tree.SetAttr(k, v);
  for (auto& pair : parsed.Values) tree.Values.push_back(std::move(pair));
  for (auto& child : parsed.Children) tree.Children.push_back(std::move(child));
  return S_OK;
}
