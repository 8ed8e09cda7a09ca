// Account and item commands: one library call each.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace orvelcli {
namespace {

constexpr const char16_t* kClientName = u"orvel-cli";
constexpr const char16_t* kClientVersion = u"1.0.0";

std::string DeviceId() {
  char host[256] = "unknown";
  ::gethostname(host, sizeof host - 1);
  return std::string("orvel-cli-") + host;
}

// Reads the password from the terminal without echo, or a line from stdin.
bool ReadPassword(bool fromStdin, std::string& password) {
  if (fromStdin) {
    if (!std::getline(std::cin, password)) return false;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
  }
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return false;
  const int fd = ::fileno(tty);
  termios old {};
  const bool isTty = ::tcgetattr(fd, &old) == 0;
  if (isTty) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs("Password: ", tty);
  std::fflush(tty);
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (isTty) ::tcsetattr(fd, TCSAFLUSH, &old);
  std::fputs("\n", tty);
  std::fclose(tty);
  if (!got) return false;
  password = buffer;
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
  return true;
}

void PrintDone(const Context& ctx, const nlohmann::json& j, const std::string& text) {
  if (ctx.json)
    PrintJson(j.dump());
  else
    std::cout << text << "\n";
}

}  // namespace

int CmdLogin(Context& ctx) {
  if (ctx.args.positional.size() != 1) return UsageError("usage: orvel login USER [--password-stdin]");
  const std::string user = ctx.args.positional[0];
  std::string password;
  if (!ReadPassword(ctx.args.Has("--password-stdin"), password))
    return UsageError("no password (use --password-stdin when there is no terminal)");

  SessionData s;
  s.user = user;
  s.deviceId = DeviceId();
  s.server = ctx.server;
  OutString userId, token, nick;
  const HRESULT hr = ORVEL_Login(Wide(user).c_str(), Wide(password).c_str(), Wide(s.deviceId).c_str(), kClientName,
                                 kClientVersion, &userId, &token, &nick);
  if (hr < 0) return Fail(ctx, "login", hr);
  s.userId = userId.str();
  s.token = token.str();
  s.nickName = nick.str();
  std::string error;
  if (!SaveSession(s, error)) {
    std::cerr << "orvel: " << error << "\n";
    return kExitFailure;
  }
  PrintDone(ctx, {{"user", user}, {"userId", s.userId}, {"nickName", s.nickName}},
            "Signed in as " + user + " (user id " + s.userId + ").");
  return kExitOk;
}

int CmdRelogin(Context& ctx) {
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  OutString token;
  const HRESULT hr = ORVEL_Relogin(Wide(s->token).c_str(), Wide(s->deviceId).c_str(), &token);
  if (hr < 0) return Fail(ctx, "relogin", hr);
  s->token = token.str();
  std::string error;
  if (!SaveSession(*s, error)) {
    std::cerr << "orvel: " << error << "\n";
    return kExitFailure;
  }
  PrintDone(ctx, {{"user", s->user}, {"renewed", true}}, "Session renewed for " + s->user + ".");
  return kExitOk;
}

int CmdLogout(Context& ctx) {
  // The service keeps no session for the library; forgetting the token is all.
  const bool removed = RemoveSession();
  PrintDone(ctx, {{"signedOut", removed}}, removed ? "Signed out." : "Not signed in.");
  return kExitOk;
}

int CmdSpace(Context& ctx) {
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  int64_t used = 0, total = 0;
  const HRESULT hr = ORVEL_GetSpace(Wide(s->token).c_str(), u"", Wide(s->userId).c_str(), &used, &total);
  if (hr < 0) return Fail(ctx, "space", hr);
  char text[128];
  std::snprintf(text, sizeof text, "%lld MiB used of %lld MiB (%.1f%%)", static_cast<long long>(used),
                static_cast<long long>(total), total > 0 ? 100.0 * static_cast<double>(used) / total : 0.0);
  PrintDone(ctx, {{"usedMiB", used}, {"totalMiB", total}}, text);
  return kExitOk;
}

int CmdMkdir(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.empty() || p.size() > 2) return UsageError("usage: orvel mkdir [PARENT_ID] NAME");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  const std::string parent = p.size() == 2 ? p[0] : "0";
  const std::string name = p.back();
  OutString id;
  const HRESULT hr = ORVEL_NewFolder(Wide(s->token).c_str(), Wide(parent).c_str(), Wide(name).c_str(), &id);
  // The taken name still hands back the existing folder's id.
  if (hr == E_OV_TARGET_EXISTS) return Fail(ctx, "mkdir", hr, "existing id " + id.str());
  if (hr < 0) return Fail(ctx, "mkdir", hr);
  PrintDone(ctx, {{"id", id.str()}, {"name", name}, {"parentId", parent}}, id.str());
  return kExitOk;
}

int CmdRename(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.size() != 2) return UsageError("usage: orvel rename ID NAME");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  const HRESULT hr = ORVEL_Rename(Wide(s->token).c_str(), Wide(p[0]).c_str(), Wide(p[1]).c_str());
  if (hr < 0) return Fail(ctx, "rename", hr);
  PrintDone(ctx, {{"id", p[0]}, {"name", p[1]}}, "Renamed " + p[0] + " to " + p[1] + ".");
  return kExitOk;
}

int CmdMove(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.size() != 2) return UsageError("usage: orvel mv ID PARENT_ID");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  const HRESULT hr = ORVEL_Move(Wide(s->token).c_str(), Wide(p[0]).c_str(), Wide(p[1]).c_str());
  if (hr < 0) return Fail(ctx, "mv", hr);
  PrintDone(ctx, {{"id", p[0]}, {"parentId", p[1]}}, "Moved " + p[0] + " into " + p[1] + ".");
  return kExitOk;
}

int CmdRemove(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.size() != 1) return UsageError("usage: orvel rm ID");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  const HRESULT hr = ORVEL_Delete(Wide(s->token).c_str(), Wide(p[0]).c_str());
  if (hr < 0) return Fail(ctx, "rm", hr);
  PrintDone(ctx, {{"id", p[0]}, {"deleted", true}}, "Deleted " + p[0] + ".");
  return kExitOk;
}

}  // namespace orvelcli
