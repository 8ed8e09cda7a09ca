// Text conversion, output helpers, the session file and the private settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "platform/io.h"
#include "platform/strings.h"

namespace orvelcli {

std::u16string Wide(std::string_view utf8) { return Utf8ToUtf16(utf8); }

std::string Narrow(const char16_t* text) { return Utf16ToUtf8(text); }

std::string Args::Get(std::string_view key, std::string_view def) const {
    auto it = options.find(std::string(key));
    return it != options.end() ? it->second : std::string(def);
}

std::string LastFailureCause() {
    // The library's own words for a network failure ("connection refused (127.0.0.1:1)").
    std::string cause;
    BSTR text = nullptr;
    if (ORVEL_GetLastErrorText(&text) == S_OK && text != nullptr) cause = Narrow(text);
    SysFreeString(text);
    return cause;
}

int Fail(const Context& ctx, std::string_view what, HRESULT hr, std::string_view detail,
         std::string_view otherThreadCause) {
    const ResultInfo info = GetResultInfo(hr);
    std::string cause = LastFailureCause();
    if (cause.empty()) cause = otherThreadCause;
    if (hr >= 0) cause.clear();
    std::string message = std::string(what) + ": " + DescribeResult(info);
    // The cause comes right after the result's name.
    if (!cause.empty())
        message = std::string(what) + ": " + (info.name.empty() ? "unknown result" : info.name) + " (" + info.code +
                  "): " + cause + (info.name.empty() ? "" : " - " + info.meaning);
    if (!detail.empty()) message += " (" + std::string(detail) + ")";
    std::cerr << "orvel: " << message << "\n";
    if (ctx.json) {
        nlohmann::json j = {
            {"error",
             {{"operation", std::string(what)}, {"name", info.name}, {"code", info.code}, {"meaning", info.meaning}}}};
        if (!detail.empty()) j["error"]["detail"] = std::string(detail);
        if (!cause.empty()) j["error"]["cause"] = cause;
        PrintJson(j.dump());
    }
    return kExitFailure;
}

namespace {
bool g_jsonUsageErrors = false;
}  // namespace

void SetJsonUsageErrors(bool json) { g_jsonUsageErrors = json; }

int UsageError(std::string_view message) {
    std::cerr << "orvel: " << message << "\nRun 'orvel --help' for the commands.\n";
    if (g_jsonUsageErrors)
        PrintJson(nlohmann::json({{"error", {{"operation", "usage"}, {"message", std::string(message)}}}}).dump());
    return kExitUsage;
}

void PrintJson(const std::string& text) { std::cout << text << "\n"; }

std::string HumanSize(double bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) bytes /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// ---- session -----------------------------------------------------------------

std::string SessionFilePath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && *xdg != 0) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : ".") + "/.config";
    }
    return base + "/orvel/session";
}

std::optional<SessionData> LoadSession() {
    std::ifstream in(SessionFilePath());
    if (!in) return std::nullopt;
    SessionData s;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "user")
            s.user = value;
        else if (key == "userId")
            s.userId = value;
        else if (key == "token")
            s.token = value;
        else if (key == "nickName")
            s.nickName = value;
        else if (key == "deviceId")
            s.deviceId = value;
        else if (key == "server")
            s.server = value;
    }
    if (s.token.empty()) return std::nullopt;
    return s;
}

bool SaveSession(const SessionData& s, std::string& error) {
    const std::string path = SessionFilePath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Written to a private temporary file first: the token never sits in a
    // file that others can read, and a crash never leaves half a session.
    const std::string temp = path + ".tmp";
    platform::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        error = "cannot write " + temp;
        return false;
    }
    ::fchmod(fd.get(), 0600);
    const std::string text = "user=" + s.user + "\nuserId=" + s.userId + "\ntoken=" + s.token +
                             "\nnickName=" + s.nickName + "\ndeviceId=" + s.deviceId + "\nserver=" + s.server + "\n";
    const bool written =
        platform::WriteAll(fd.get(), text.data(), text.size(), platform::RealFileSystem()) && fd.Close();
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool RemoveSession() { return ::unlink(SessionFilePath().c_str()) == 0; }

std::optional<SessionData> RequireSession(const Context& ctx) {
    auto s = LoadSession();
    if (!s) {
        Fail(ctx, "no session", E_OV_CLIENT_NO_LOGIN, SessionFilePath());
        return std::nullopt;
    }
    return s;
}

// ---- private settings ----------------------------------------------------------

namespace {

// The settings file of this run; removed when the process ends normally.
struct PrivateSettings {
    std::unique_ptr<ScratchFolder> folder;
};
PrivateSettings g_settings;

}  // namespace

bool UseServer(const std::string& hostPort, std::string& error) {
    if (hostPort.empty() || hostPort.find_first_of(" \t\r\n/[]") != std::string::npos) {
        error = "--server wants HOST:PORT";
        return false;
    }
    g_settings.folder = std::make_unique<ScratchFolder>();
    if (g_settings.folder->Path().empty()) {
        error = "cannot make a temporary folder";
        return false;
    }
    const std::string path = g_settings.folder->Path() + "/settings.ini";
    std::ofstream out(path);
    // Every service root points at the one host; speed caps are lifted, as
    // for a service on the local network.
    out << "[Tavik]\nServerRoot=" << hostPort << "\nSvrCommandRoot=" << hostPort << "\nPushNotifyRoot=" << hostPort
        << "\n[TavikShell]\nWebServerRoot=" << hostPort << "\n[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n";
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    ::setenv("ORVEL_SETTINGS_FILE", path.c_str(), 1);
    return true;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvel-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

}  // namespace orvelcli
