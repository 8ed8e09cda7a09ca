#include "blocks/transfer/ufa_common.h"

#include <cctype>

#include "blocks/transfer/json_reader.h"
#include "common/xml_helper.h"
#include "infocollection/info_collection.h"

namespace ufa {

std::string ApiHeaders() { return "v:4&User-Agent:" + std::string(kClientAgent); }

std::string BlockServerHeaders() { return "v:3&User-Agent:" + std::string(kClientAgent); }

namespace {
// The answer carried by the error: whole as a rule, only its start when it is
// large, so a hostile answer is not held twice more while the failure travels.
std::string AnswerDetail(const std::string& text) {
    constexpr size_t kMaxDetail = 4096;
    return text.size() <= kMaxDetail ? text : text.substr(0, kMaxDetail);
}
}  // namespace

RecordTree ParseXmlAnswer(const std::string& text, std::string_view raisedIn) {
    {
        RecordTree answer;
        if (!text.empty() && SUCCEEDED(FromXml(text, answer))) {
            RaiseForResult(answer, raisedIn);
            return answer;
        }
    }  // a refused tree is freed before the error is raised
    throw EXCEPT::ServerError(raisedIn, AnswerDetail(text));
}

RecordTree ParseJsonAnswer(const std::string& text, std::string_view raisedIn) {
    {
        RecordTree answer;
        if (SUCCEEDED(ReadJson(text, answer))) {
            RaiseForResult(answer, raisedIn);
            return answer;
        }
    }
    throw EXCEPT::ServerError(raisedIn, AnswerDetail(text));
}

std::string AnswerField(const RecordTree& answer, std::string_view key) {
    std::string value = answer.GetValue(key);
    if (value.empty()) value = answer.GetAttr(key);
    return value;
}

HRESULT ResultForTransferFailure(std::string_view infoType, RecordTree* conflict) {
    // The items the transfer files; the result itself is the task boundary's mapping.
    try {
        throw;
    } catch (const EXCEPT::CurlUnknownError&) {
        CInfoCollection::Instance().CollectInfo("Raiser", infoType, "Network");
    } catch (const EXCEPT::NetworkError&) {
        CInfoCollection::Instance().CollectInfo("Raiser", infoType, "Network");
    } catch (const EXCEPT::ServerError& e) {
        RecordTree item;
        item.AddValue("Raiser", e.raisedIn);
        item.AddValue("Detail", e.detail);
        CInfoCollection::Instance().CollectItem(infoType, item);
    } catch (...) {}
    return ResultForException(conflict);
}

bool IsValidBlockId(std::string_view blockId) {
    if (blockId.size() != 46) return false;
    for (char c : blockId) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool IsHttpUrl(std::string_view url) {
    std::string_view rest;
    if (url.substr(0, 7) == "http://")
        rest = url.substr(7);
    else if (url.substr(0, 8) == "https://")
        rest = url.substr(8);
    else
        return false;
    if (rest.empty() || rest.front() == '/') return false;
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

bool HexEqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool ParseIndex(std::string_view text, int32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n > INT32_MAX) return false;
    value = static_cast<int32_t>(n);
    return true;
}

}  // namespace ufa
