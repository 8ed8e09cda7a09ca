// Shared pieces of the orvel command-line client. Everything here talks to
// liborvelsdk.so through its public C API only.
#pragma once

#include <orvelsdk/orvelsdk.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelcli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the service or the library said no
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitCancelled = 130;

// ---- text ------------------------------------------------------------------
std::u16string Wide(std::string_view utf8);
std::string Narrow(const char16_t* text);

// Owns one out-string of the library.
class OutString {
public:
    OutString() = default;
    OutString(const OutString&) = delete;
    OutString& operator=(const OutString&) = delete;
    ~OutString() { SysFreeString(m_p); }
    BSTR* operator&() { return &m_p; }
    std::string str() const { return Narrow(m_p); }

private:
    BSTR m_p = nullptr;
};

// ---- results ---------------------------------------------------------------
// A result in words: "E_OV_TARGET_EXISTS", "0x8004101a" and "a file of that
// name already exists"; the name and meaning are empty for an unknown result.
struct ResultInfo {
    std::string name, code, meaning;
};
ResultInfo GetResultInfo(HRESULT hr);
// "E_OV_TARGET_EXISTS (0x8004101a): a file of that name already exists".
std::string DescribeResult(const ResultInfo& info);
std::string DescribeResult(HRESULT hr);

// ---- command line ----------------------------------------------------------
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--name" -> value ("" for flags)
    bool Has(std::string_view key) const { return options.count(std::string(key)) != 0; }
    std::string Get(std::string_view key, std::string_view def = {}) const;
};

struct Context {
    bool json = false;
    bool quiet = false;    // -q: no progress display, no summaries
    bool verbose = false;  // -v: one line per resolved path and copied file
    std::string server;    // HOST:PORT from --server or the session
    Args args;
};

// ---- output ----------------------------------------------------------------
// Why the last failed library call on this thread failed, in the library's
// words ("connection refused (127.0.0.1:1)"); empty when it does not say.
// Printed by Fail after the result's name.
std::string LastFailureCause();
// Prints a failure (text on stderr; with --json also an object on stdout)
// and returns kExitFailure. `otherThreadCause` is the cause a failed call on
// another thread (a transfer's worker) read there; used when this thread's is empty.
int Fail(const Context& ctx, std::string_view what, HRESULT hr, std::string_view detail = {},
         std::string_view otherThreadCause = {});
// Prints a usage error (with --json also an object on stdout) and returns
// kExitUsage.
int UsageError(std::string_view message);
// Whether usage errors also go to stdout as JSON; set before the command line
// is fully parsed, since a bad line may come before or after --json.
void SetJsonUsageErrors(bool json);
// Prints a JSON text followed by a newline.
void PrintJson(const std::string& text);
std::string HumanSize(double bytes);

// ---- session ---------------------------------------------------------------
struct SessionData {
    std::string user, userId, token, nickName, deviceId, server;
};
std::string SessionFilePath();
std::optional<SessionData> LoadSession();
bool SaveSession(const SessionData& session, std::string& error);
bool RemoveSession();

// Points the library at HOST:PORT through a settings file of this run's own
// (removed at exit). Nothing global is written.
bool UseServer(const std::string& hostPort, std::string& error);

// A private temporary folder, removed with its contents on destruction.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// ---- the session in use and remote items ------------------------------------
// Runs calls with the session's token; when the service says the token has
// expired, renews it once (ORVEL_Relogin), stores it and repeats the call.
class Session {
public:
    Session(SessionData data, bool verbose) : m_data(std::move(data)), m_verbose(verbose) {}
    HRESULT Call(const std::function<HRESULT(const char16_t* token)>& call);
    const SessionData& Data() const { return m_data; }
    bool Verbose() const { return m_verbose; }

private:
    SessionData m_data;
    bool m_verbose = false;
    bool m_renewed = false;
};
// The stored session, or nothing (the reason printed).
std::optional<Session> OpenSession(const Context& ctx);

// One entry of a folder listing.
struct Entry {
    int type = 1;  // 0 folder, 1 file
    int64_t size = 0;
    std::string id, parentId, name, modTime, sha1, version;
};
HRESULT ListFolder(Session& session, const std::string& folderId, std::vector<Entry>& entries);

// An item named on the command line.
struct RemoteItem {
    std::string id;
    int type = -1;  // 0 folder, 1 file, -1 not known yet (an id alone)
    std::string name, parentId, path;
    int64_t size = 0;
    std::optional<Entry> entry;  // the listing's entry, when a /path was resolved
    // A /path whose last part alone is missing: the folder it would be in.
    std::string missingLastIn;
};
bool IsId(std::string_view arg);    // all digits
bool IsPath(std::string_view arg);  // starts with '/'
std::string JoinPath(const std::string& folder, const std::string& name);
// The names of a /path's parts; empty parts and "." are left out.
std::vector<std::string> PathParts(std::string_view path);
// An id as it is, or a /path walked from the root through listings. A path
// that does not resolve gives E_OV_TARGET_NOT_EXISTS (with missingLastIn set
// when only its last part is missing), anything else E_INVALIDARG; `detail`
// says what was missing.
HRESULT Resolve(Session& session, const std::string& arg, RemoteItem& out, std::string& detail);
// Learns whether an id alone is a folder or a file.
HRESULT FillKind(Session& session, RemoteItem& item);
// Learns an id's name (and place) by searching the folders from the root;
// E_OV_CANCELLED once Ctrl-C was pressed during a transfer command.
HRESULT FindById(Session& session, RemoteItem& item);

// Makes a folder; a taken name gives E_OV_TARGET_EXISTS with the existing item's id.
HRESULT MakeFolder(Session& session, const std::string& parentId, const std::string& name, std::string& id);

// Whether Ctrl-C was pressed while a transfer command runs.
bool Interrupted();

// ---- commands ----------------------------------------------------------------
int CmdLogin(Context& ctx);
int CmdRelogin(Context& ctx);
int CmdLogout(Context& ctx);
int CmdSpace(Context& ctx);
int CmdList(Context& ctx);
int CmdMkdir(Context& ctx);
int CmdRename(Context& ctx);
int CmdMove(Context& ctx);
int CmdRemove(Context& ctx);
int CmdPut(Context& ctx);
int CmdGet(Context& ctx);
int CmdBlock(Context& ctx);

// The session every command but login needs; prints the reason when missing.
std::optional<SessionData> RequireSession(const Context& ctx);

}  // namespace orvelcli
