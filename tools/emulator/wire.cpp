#include "wire.h"

#include <tinyxml2.h>

#include <charconv>

namespace emu {

std::string Fields::Get(std::string_view key) const {
    auto it = map_.find(key);
    return it == map_.end() ? std::string() : it->second;
}

bool Fields::Has(std::string_view key) const { return map_.find(key) != map_.end(); }

void Fields::Put(std::string key, std::string value) { map_.emplace(std::move(key), std::move(value)); }

bool ParseXmlFields(std::string_view body, Fields& out) {
    tinyxml2::XMLDocument doc;
    if (body.empty() || doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) return false;
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (!root || std::string_view(root->Name()) != "Orvel") return false;
    for (auto* el = root->FirstChildElement(); el; el = el->NextSiblingElement()) {
        const char* text = el->GetText();
        out.Put(el->Name(), text ? text : "");
    }
    return true;
}

void ParseFormFields(std::string_view body, Fields& out) {
    while (!body.empty()) {
        size_t amp = body.find('&');
        std::string_view item = body.substr(0, amp);
        size_t eq = item.find('=');
        if (eq != std::string_view::npos) out.Put(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
        if (amp == std::string_view::npos) break;
        body.remove_prefix(amp + 1);
    }
}

void ParseQueryFields(const httplib::Request& req, Fields& out) {
    for (const auto& [k, v] : req.params) out.Put(k, v);
}

bool ParseJsonObject(std::string_view body, nlohmann::json& out) {
    // A request never nests deeper than an array of objects; refusing deeper
    // input up front keeps hostile bodies from costing stack.
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > 8) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    out = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    return !out.is_discarded() && out.is_object();
}

XmlNode& XmlNode::Set(std::string_view key, std::string_view value) {
    if (!value.empty()) values.emplace_back(std::string(key), std::string(value));
    return *this;
}

XmlNode& XmlNode::Add(std::string_view childName) {
    children.push_back(XmlNode{std::string(childName), {}, {}});
    return children.back();
}

XmlAnswer::XmlAnswer(std::string_view result) : result_(result) { root_.name = "Orvel"; }

namespace {

void Print(tinyxml2::XMLPrinter& p, const XmlNode& node, const std::string* result) {
    p.OpenElement(node.name.c_str(), true);
    if (result) p.PushAttribute("result", result->c_str());
    for (const auto& [k, v] : node.values) {
        p.OpenElement(k.c_str(), true);
        p.PushText(v.c_str());
        p.CloseElement(true);
    }
    for (const auto& child : node.children) Print(p, child, nullptr);
    p.CloseElement(true);
}

}  // namespace

std::string XmlAnswer::Text() const {
    tinyxml2::XMLPrinter p(nullptr, true);
    p.PushDeclaration("xml version=\"1.0\" encoding=\"utf-8\"");
    Print(p, root_, &result_);
    return std::string(p.CStr(), p.CStrSize() > 0 ? p.CStrSize() - 1 : 0);
}

void SendXml(httplib::Response& res, const XmlAnswer& answer) {
    res.status = 200;
    res.set_content(answer.Text(), "text/xml; charset=utf-8");
}

void SendXmlResult(httplib::Response& res, std::string_view result) { SendXml(res, XmlAnswer(result)); }

void SendJson(httplib::Response& res, const Json& answer) {
    res.status = 200;
    // Only ASCII ids, hashes and URLs go out; "replace" merely guards the dump.
    res.set_content(answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void SendJsonResult(httplib::Response& res, std::string_view result) {
    Json j;
    j["result"] = std::string(result);
    SendJson(res, j);
}

namespace {

bool ValidUtf8NoControls(std::string_view s, bool allowSpacing = false) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            bool spacing = c == '\t' || c == '\n' || c == '\r';
            if ((c < 0x20 && !(allowSpacing && spacing)) || c == 0x7f) return false;
            ++i;
            continue;
        }
        size_t len = (c >= 0xf0 && c <= 0xf4) ? 4 : (c >= 0xe0) && c < 0xf0 ? 3 : (c >= 0xc2 && c < 0xe0) ? 2 : 0;
        if (len == 0 || i + len > s.size()) return false;
        uint32_t cp = c & (len == 2 ? 0x1f : len == 3 ? 0x0f : 0x07);
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10ffff)))
            return false;
        i += len;
    }
    return true;
}

}  // namespace

bool IsCleanText(std::string_view text) { return ValidUtf8NoControls(text, true); }

std::string CheckItemName(std::string_view name) {
    if (name.empty()) return "clientBadParams";
    if (name.size() > 255) return "fnameTooLong";
    if (name == "." || name == ".." || name.find_first_of("/\\") != std::string_view::npos ||
        !ValidUtf8NoControls(name))
        return "unsupportedCharRange";
    return {};
}

bool IsDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool ParseInt(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace emu
