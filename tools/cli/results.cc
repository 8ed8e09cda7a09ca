// Result names and meanings come from the library itself.
#include <cstdio>

#include "cli.h"

namespace orvelcli {

std::string ResultName(HRESULT hr) {
  OutString name;
  return ORVEL_GetResultText(hr, &name, nullptr) == S_OK ? name.str() : std::string();
}

std::string ResultMeaning(HRESULT hr) {
  OutString meaning;
  if (ORVEL_GetResultText(hr, nullptr, &meaning) != S_OK) return {};
  std::string text = meaning.str();
  // What a user of this tool does next.
  if (hr == E_OV_CLIENT_NO_LOGIN) text += "; run 'orvel login USER'";
  return text;
}

std::string DescribeResult(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  OutString name, meaning;
  if (ORVEL_GetResultText(hr, &name, &meaning) != S_OK) return std::string("unknown result (") + code + ")";
  return name.str() + " (" + code + "): " + ResultMeaning(hr);
}

}  // namespace orvelcli
