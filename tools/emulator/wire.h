// What travels on the wire: request documents (XML with the root "Orvel", or
// key=value form bodies, or the block servers' JSON) and the answers (XML
// whose root "Orvel" carries the "result" attribute; compact JSON holding
// only objects, arrays of objects and strings, with "result" as a member).
#pragma once

#include <httplib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

using Json = nlohmann::ordered_json;

// The text fields of a request, by element (or form) name; the first wins.
class Fields {
public:
    std::string Get(std::string_view key) const;
    bool Has(std::string_view key) const;
    void Put(std::string key, std::string value);

private:
    std::map<std::string, std::string, std::less<>> map_;
};

// False when the body is not well-formed XML or its root is not "Orvel".
bool ParseXmlFields(std::string_view body, Fields& out);
// "k=v&k=v" taken as it stands (the client does not encode these bodies).
void ParseFormFields(std::string_view body, Fields& out);
// The query string of a URL, percent-decoded.
void ParseQueryFields(const httplib::Request& req, Fields& out);

// A strict JSON object parse for the block servers' request bodies; false for
// anything else, or for nesting deeper than a request ever needs.
bool ParseJsonObject(std::string_view body, nlohmann::json& out);

// An element of an XML answer: text children first, then element children.
struct XmlNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<XmlNode> children;

    // Empty values are left out: an empty element would read back as a child
    // tree rather than as a value.
    XmlNode& Set(std::string_view key, std::string_view value);
    XmlNode& Add(std::string_view childName);
};

class XmlAnswer {
public:
    explicit XmlAnswer(std::string_view result = "ok");
    void SetResult(std::string_view result) { result_ = std::string(result); }
    const std::string& Result() const { return result_; }
    XmlNode& Root() { return root_; }
    XmlNode& Set(std::string_view key, std::string_view value) { return root_.Set(key, value); }
    XmlNode& Add(std::string_view childName) { return root_.Add(childName); }
    std::string Text() const;

private:
    std::string result_;
    XmlNode root_;
};

// 200 with the document; content types that cpp-httplib gzips when the
// request accepts gzip.
void SendXml(httplib::Response& res, const XmlAnswer& answer);
void SendXmlResult(httplib::Response& res, std::string_view result);
void SendJson(httplib::Response& res, const Json& answer);
void SendJsonResult(httplib::Response& res, std::string_view result);

// Valid UTF-8 without control characters (tab, CR and LF allowed): text that
// is stored and later sent back inside answers.
bool IsCleanText(std::string_view text);

// Names of items: "" when acceptable, otherwise the result code to answer.
std::string CheckItemName(std::string_view name);

bool IsDecimal(std::string_view text);
// Decimal text to int64 within [lo, hi]; false otherwise.
bool ParseInt(std::string_view text, int64_t lo, int64_t hi, int64_t& out);

}  // namespace emu
