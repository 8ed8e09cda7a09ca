// Result names and meanings come from the library itself.
#include <cstdio>

#include "cli.h"

namespace orvelcli {

ResultInfo GetResultInfo(HRESULT hr) {
    ResultInfo info;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
    info.code = code;
    OutString name, meaning;
    if (ORVEL_GetResultText(hr, &name, &meaning) != S_OK) return info;
    info.name = name.str();
    info.meaning = meaning.str();
    // What a user of this tool does next.
    if (hr == E_OV_CLIENT_NO_LOGIN) info.meaning += "; run 'orvel login USER'";
    return info;
}

std::string DescribeResult(const ResultInfo& info) {
    if (info.name.empty()) return "unknown result (" + info.code + ")";
    return info.name + " (" + info.code + "): " + info.meaning;
}

std::string DescribeResult(HRESULT hr) { return DescribeResult(GetResultInfo(hr)); }

}  // namespace orvelcli
