// orvel put / orvel get: each transfer runs on a worker thread while this
// thread polls the progress handle, draws it, and turns Ctrl-C into a cancel.
// A whole folder tree is one transfer to the eye: one progress line, one summary.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <tuple>
#include <utility>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli.h"

namespace fs = std::filesystem;

namespace orvelcli {
namespace {

volatile sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

bool Interrupted() { return g_interrupted != 0; }

namespace {

// Installs the Ctrl-C handler for the length of one command.
class InterruptScope {
public:
    InterruptScope() {
        g_interrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &m_old);
    }
    ~InterruptScope() { ::sigaction(SIGINT, &m_old, nullptr); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    struct sigaction m_old {};
};

class ProgressOwner {
public:
    ProgressOwner() = default;
    ProgressOwner(const ProgressOwner&) = delete;
    ProgressOwner& operator=(const ProgressOwner&) = delete;
    ~ProgressOwner() {
        if (h != nullptr) ORVEL_DestroyProgress(h);
    }
    ORVEL_PROGRESS h = nullptr;
};

std::string Eta(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 360000) return "--:--";
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

int TerminalColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr && std::atoi(columns) > 0)
        return std::atoi(columns);
    return 80;
}

}  // namespace

// What the eye sees of one command's transfers: the figures of the running
// transfer added to those of the files already done.
class ProgressView {
public:
    ProgressView(const Context& ctx, const char* verb)
        : m_verb(verb),
          m_tty(::isatty(STDERR_FILENO) != 0),
          m_show(!ctx.quiet && (m_tty || !ctx.json)),
          m_start(std::chrono::steady_clock::now()),
          m_lastLine(m_start - std::chrono::seconds(1)) {}

    double treeTotal = 0;   // all files of the command; 0 when a single file's total is the library's
    double doneBefore = 0;  // bytes of the files finished before the running one

    // Draws now on a terminal, else at most once a second.
    void Show(double total, double done, bool force = false) {
        if (!m_show) return;
        const auto now = std::chrono::steady_clock::now();
        if (!m_tty && !force && now - m_lastLine < std::chrono::seconds(1)) return;
        m_lastLine = now;
        m_drawn = true;
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        // The average over the whole run: steadier than the per-request figure.
        const double speed = seconds > 0 ? done / seconds : 0.0;
        Draw(total, done, speed);
    }
    // Ends the line a terminal display keeps open.
    void Finish() {
        if (m_show && m_tty && m_drawn) std::fputc('\n', stderr);
        m_drawn = false;
    }
    bool Tty() const { return m_tty; }

private:
    void Draw(double total, double done, double speed) {
        const double fraction = total > 0 ? done / total : 0.0;
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3.0f%%", std::floor(std::max(0.0, fraction) * 100));
        const std::string figures = HumanSize(done) + " / " + HumanSize(total);
        const std::string rate = HumanSize(speed) + "/s";
        const std::string eta =
            "ETA " + (speed > 0 && total > done ? Eta((total - done) / speed) : std::string("--:--"));
        if (!m_tty) {
            std::fprintf(stderr, "%s: %s %s %s %s\n", m_verb, percent, figures.c_str(), rate.c_str(), eta.c_str());
            std::fflush(stderr);
            return;
        }
        // Fit the terminal: the last column stays free so that nothing wraps.
        // The speed and ETA give way to the bar first, then the bar to them.
        const size_t width = static_cast<size_t>(std::max(20, TerminalColumns()) - 1);
        const std::string verb = m_verb;
        const std::string full = std::string(" ") + percent + "  " + figures + "  " + rate + "  " + eta;
        const std::string brief = std::string(" ") + percent + "  " + figures;
        constexpr size_t kMinBar = 10;  // " [" + 6 + "]" + the room the tail wants
        std::string tail = full;
        bool bar = true;
        if (verb.size() + full.size() + kMinBar > width) tail = brief;
        if (verb.size() + tail.size() + kMinBar > width) {
            bar = false;
            tail = verb.size() + full.size() <= width    ? full
                   : verb.size() + brief.size() <= width ? brief
                                                         : " " + std::string(percent);
        }
        std::string line = verb;
        if (bar) {
            const size_t barWidth = std::min<size_t>(width - verb.size() - tail.size() - 3, 40);
            const size_t filled = static_cast<size_t>(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(barWidth));
            line += " [" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "]";
        }
        line += tail;
        if (line.size() > width) line.resize(width);
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
        std::fflush(stderr);
    }

    const char* m_verb;
    bool m_tty, m_show, m_drawn = false;
    std::chrono::steady_clock::time_point m_start, m_lastLine;
};

namespace {

// Runs `work` on a worker thread with a fresh progress handle. `knownTotal`
// stands in until the library reports a total (blocks the service already
// holds are never sent, so an upload may report none at all).
// A failure's cause is read on the worker thread, where the library keeps it.
HRESULT RunTransfer(ProgressView& view, const std::function<HRESULT(ORVEL_PROGRESS)>& work, double knownTotal,
                    bool& cancelled, std::string& cause) {
    ProgressOwner progress;
    HRESULT hr = ORVEL_CreateProgress(&progress.h);
    if (hr < 0) return hr;
    auto result = std::async(std::launch::async, [&] {
        const HRESULT workHr = work(progress.h);
        return std::make_pair(workHr, workHr < 0 ? LastFailureCause() : std::string());
    });
    cancelled = false;
    double total = 0, done = 0, speed = 0;
    auto show = [&](bool force) {
        ORVEL_QueryProgress(progress.h, &total, &done, &speed);
        if (total <= 0) total = knownTotal;
        // The figures as the library gives them, put after the finished files.
        view.Show(view.treeTotal > 0 ? view.treeTotal : total, view.doneBefore + done, force);
    };
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (g_interrupted && !cancelled) {
            // The transfer stops at its next progress tick.
            ORVEL_CancelTransport(progress.h);
            cancelled = true;
            std::fprintf(stderr, "%scancelling...\n", view.Tty() ? "\n" : "");
        }
        show(false);
    }
    std::tie(hr, cause) = result.get();
    show(true);
    // A Ctrl-C that came after the last progress tick stopped nothing: a
    // transfer that finished is reported as done, any other failure as itself.
    cancelled = hr == E_OV_CANCELLED;
    return hr;
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name from the service becomes a local file name only when it cannot
// reach outside the folder it is written into.
bool SafeLocalName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// ---- the download cache ----------------------------------------------------------

std::string CacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/orvel";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == 0) return {};
    return std::string(home) + "/.cache/orvel";
}

uint64_t Fnv1a(std::string_view text) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    return h;
}

// Removes download folders nobody came back to for a week.
void SweepCache(const std::string& root) {
    std::error_code ec;
    const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24 * 7);
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind("dl-", 0) != 0) continue;
        std::error_code e2;
        const auto when = fs::last_write_time(it->path(), e2);
        if (!e2 && when < limit) fs::remove_all(it->path(), e2);
    }
}

// The cache root, made private and swept on first use; once per command.
const std::string& PreparedCacheRoot() {
    static const std::string root = [] {
        std::string r = CacheRoot();
        if (r.empty()) return r;
        std::error_code ec;
        fs::create_directories(r, ec);
        ::chmod(r.c_str(), 0700);
        SweepCache(r);
        return r;
    }();
    return root;
}

// The folder where a download of `id` to `target` keeps its finished blocks,
// so that a rerun of the same download resumes; empty when there is none.
// Only an id of digits ever becomes part of a path.
std::string DownloadCacheFolder(const std::string& id, bool previous, const std::string& target) {
    if (!IsId(id)) return {};
    const std::string& root = PreparedCacheRoot();
    if (root.empty()) return {};
    std::error_code ec;
    const std::string key = target == "-" ? target : fs::absolute(target, ec).lexically_normal().string();
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(key)));
    const std::string folder = root + "/dl-" + id + (previous ? "p" : "") + "-" + hash;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // Kept fresh while in use, so the sweep leaves it alone.
    fs::last_write_time(folder, fs::file_time_type::clock::now(), ec);
    return IsDir(folder) ? folder : std::string();
}

// ---- one file ------------------------------------------------------------------------

struct Outcome {
    HRESULT hr = S_OK;
    bool cancelled = false;
    std::string id;     // a new file's id
    std::string cause;  // the library's words for a failure, read on the worker thread
};

Outcome UploadOne(ProgressView& view, Session& session, const std::string& local, const std::string& parentId,
                  const std::string& name, const std::string& updateId, int64_t size) {
    Outcome o;
    ScratchFolder scratch;
    if (scratch.Path().empty()) {
        o.hr = E_FAIL;
        return o;
    }
    const std::u16string path = Wide(local), temp = Wide(scratch.Path());
    OutString newId;
    o.hr = RunTransfer(
        view,
        [&](ORVEL_PROGRESS h) {
            return session.Call([&](const char16_t* token) {
                if (!updateId.empty())
                    return ORVEL_Update(token, Wide(updateId).c_str(), path.c_str(), temp.c_str(), h);
                return ORVEL_Upload(token, Wide(parentId).c_str(), Wide(name).c_str(), path.c_str(), temp.c_str(),
                                    &newId, h);
            });
        },
        static_cast<double>(size), o.cancelled, o.cause);
    o.id = updateId.empty() ? newId.str() : updateId;
    return o;
}

Outcome DownloadOne(ProgressView& view, Session& session, const std::string& id, const std::string& local,
                    const std::string& cacheKey, bool previous, int64_t size) {
    Outcome o;
    std::string temp = DownloadCacheFolder(id, previous, cacheKey);
    std::optional<ScratchFolder> scratch;  // only when there is no cache folder
    if (temp.empty()) temp = scratch.emplace().Path();
    if (temp.empty()) {
        o.hr = E_FAIL;
        return o;
    }
    const std::u16string wid = Wide(id), path = Wide(local), wtemp = Wide(temp);
    o.hr = RunTransfer(
        view,
        [&](ORVEL_PROGRESS h) {
            return session.Call([&](const char16_t* token) {
                // The modify time, SHA-1 and version come from the service; the
                // library only wants non-empty texts here.
                return ORVEL_Download(token, wid.c_str(), u"-", path.c_str(), u"-", u"-", wtemp.c_str(),
                                      previous ? 1 : 0, h);
            });
        },
        static_cast<double>(size), o.cancelled, o.cause);
    if (o.hr >= 0 && !scratch) {
        std::error_code ec;
        fs::remove_all(temp, ec);
    }
    o.id = id;
    return o;
}

// ---- whole trees -------------------------------------------------------------------------

struct TreeTotals {
    int files = 0, folders = 0, skipped = 0, failed = 0;
    int64_t bytes = 0;
    HRESULT firstFailure = S_OK;
    bool cancelled = false;
};

void Count(const std::string& local, TreeTotals& plan) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(local, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            plan.bytes += static_cast<int64_t>(it->file_size(ec));
            ++plan.files;
        }
    }
}

void NoteFailure(const Context& ctx, TreeTotals& t, const std::string& what, HRESULT hr) {
    ++t.failed;
    if (t.firstFailure >= 0) t.firstFailure = hr;
    std::cerr << "\norvel: " << what << ": " << DescribeResult(hr) << "\n";
}

void UploadTree(const Context& ctx, ProgressView& view, Session& session, const std::string& local,
                const std::string& remoteId, TreeTotals& t) {
    std::error_code ec;
    std::vector<fs::directory_entry> children;
    for (fs::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
    std::sort(children.begin(), children.end());
    for (const auto& child : children) {
        if (t.cancelled) return;
        if (g_interrupted) {
            t.cancelled = true;
            return;
        }
        const std::string path = child.path().string(), name = child.path().filename().string();
        std::error_code e2;
        // A link to a folder is not followed (it could lead back up the tree), as cp -r does.
        if (child.is_symlink(e2) && !child.is_regular_file(e2)) {
            if (ctx.verbose)
                std::cerr << (view.Tty() ? "\r\033[K" : "") << "orvel: " << path << ": link not followed\n";
            continue;
        }
        if (child.is_directory(e2)) {
            std::string id;
            const HRESULT hr = MakeFolder(session, remoteId, name, id);
            if (hr < 0 && !(hr == E_OV_TARGET_EXISTS && !id.empty())) {
                NoteFailure(ctx, t, path, hr);
                continue;
            }
            ++t.folders;
            UploadTree(ctx, view, session, path, id, t);
        } else if (child.is_regular_file(e2)) {
            const auto size = static_cast<int64_t>(child.file_size(e2));
            if (ctx.verbose) std::cerr << (view.Tty() ? "\r\033[K" : "") << "orvel: " << path << "\n";
            const Outcome o = UploadOne(view, session, path, remoteId, name, {}, size);
            view.doneBefore += static_cast<double>(size);
            if (o.cancelled)
                t.cancelled = true;
            else if (o.hr == E_OV_TARGET_EXISTS)
                ++t.skipped, std::cerr << "\norvel: " << path << ": kept the file already there\n";
            else if (o.hr < 0)
                NoteFailure(ctx, t, path, o.hr);
            else
                ++t.files, t.bytes += size;
        }
    }
}

HRESULT PlanDownload(Session& session, const std::string& folderId, int depth, TreeTotals& plan) {
    if (depth > 256) return E_FAIL;  // a service that answers with a cycle
    if (g_interrupted) return E_OV_CANCELLED;
    std::vector<Entry> entries;
    HRESULT hr = ListFolder(session, folderId, entries);
    if (hr < 0) return hr;
    for (const Entry& e : entries) {
        if (e.type == 0) {
            if ((hr = PlanDownload(session, e.id, depth + 1, plan)) < 0) return hr;
        } else {
            plan.bytes += e.size;
            ++plan.files;
        }
    }
    return S_OK;
}

void DownloadTree(const Context& ctx, ProgressView& view, Session& session, const std::string& folderId,
                  const std::string& local, int depth, TreeTotals& t) {
    std::vector<Entry> entries;
    const HRESULT hr = ListFolder(session, folderId, entries);
    if (hr < 0) return NoteFailure(ctx, t, local, hr);
    for (const Entry& e : entries) {
        if (t.cancelled) return;
        if (g_interrupted) {
            t.cancelled = true;
            return;
        }
        if (!SafeLocalName(e.name)) {
            NoteFailure(ctx, t, "a name that is no file name ('" + e.name + "', id " + e.id + ")", E_INVALIDARG);
            continue;
        }
        const std::string path = local + "/" + e.name;
        if (e.type == 0) {
            if (depth > 256) return;
            if (!IsDir(path) && ::mkdir(path.c_str(), 0777) != 0) {
                std::cerr << "\norvel: cannot make " << path << ": " << std::strerror(errno) << "\n";
                ++t.failed;
                if (t.firstFailure >= 0) t.firstFailure = E_FAIL;
                continue;
            }
            ++t.folders;
            DownloadTree(ctx, view, session, e.id, path, depth + 1, t);
            continue;
        }
        if (Exists(path) && !ctx.args.Has("--force")) {
            ++t.skipped;
            view.doneBefore += static_cast<double>(e.size);
            std::cerr << (view.Tty() ? "\r\033[K" : "") << "orvel: " << path << " exists; kept (--force overwrites)\n";
            continue;
        }
        if (ctx.verbose) std::cerr << (view.Tty() ? "\r\033[K" : "") << "orvel: " << path << "\n";
        const Outcome o = DownloadOne(view, session, e.id, path, path, false, e.size);
        view.doneBefore += static_cast<double>(e.size);
        if (o.cancelled)
            t.cancelled = true;
        else if (o.hr < 0)
            NoteFailure(ctx, t, path, o.hr);
        else
            ++t.files, t.bytes += e.size;
    }
}

int TreeSummary(const Context& ctx, const char* verb, const char* op, const TreeTotals& t, const std::string& from,
                const std::string& to) {
    if (t.cancelled) {
        Fail(ctx, op, E_OV_CANCELLED);
        return kExitCancelled;
    }
    if (ctx.json) {
        nlohmann::json j = {{"from", from},         {"to", to},         {"files", t.files},
                            {"folders", t.folders}, {"bytes", t.bytes}, {"skipped", t.skipped},
                            {"failed", t.failed}};
        PrintJson(j.dump());
    } else if (!ctx.quiet) {
        std::cout << verb << " " << t.files << " file(s) in " << t.folders << " folder(s), "
                  << HumanSize(static_cast<double>(t.bytes)) << ", from " << from << " to " << to;
        if (t.skipped > 0) std::cout << "; " << t.skipped << " kept as they were";
        if (t.failed > 0) std::cout << "; " << t.failed << " failed";
        std::cout << ".\n";
    }
    return t.failed > 0 || t.skipped > 0 ? kExitFailure : kExitOk;
}

// Where `put` puts things: a folder, and the name a single file gets there.
struct Destination {
    std::string parentId = "0", name, path = "/";
    bool exists = false;  // the REMOTE path named an existing folder
};

// REMOTE as cp reads it: an existing folder takes the item under its own
// name; a path whose parent folder exists names the new item.
HRESULT ResolveDestination(Session& session, const std::string& arg, Destination& d, std::string& detail) {
    RemoteItem item;
    HRESULT hr = Resolve(session, arg, item, detail);
    if (hr >= 0 && (hr = FillKind(session, item)) >= 0) {
        if (item.type != 0) {
            detail = arg + " exists and is a file (put --update replaces a file's content)";
            return E_OV_TARGET_EXISTS;
        }
        d.parentId = item.id;
        d.path = IsPath(arg) ? arg : item.id;
        d.exists = true;
        return S_OK;
    }
    if (hr != E_OV_TARGET_NOT_EXISTS || !IsPath(arg)) return hr;
    std::string parentPath = arg;
    while (parentPath.size() > 1 && parentPath.back() == '/') parentPath.pop_back();
    const size_t slash = parentPath.find_last_of('/');
    d.name = parentPath.substr(slash + 1);
    parentPath = slash == 0 ? "/" : parentPath.substr(0, slash);
    // The walk stopped at the last part: its folder is the parent.
    const std::vector<std::string> parts = PathParts(arg);
    if (!parts.empty() && parts.back() == d.name) {
        if (item.missingLastIn.empty()) return E_OV_PARENT_NOT_EXIST;
        d.parentId = item.missingLastIn;
        d.path = arg;
        return S_OK;
    }
    RemoteItem parent;
    std::string parentDetail;
    if (Resolve(session, parentPath, parent, parentDetail) < 0 || parent.type != 0) return E_OV_PARENT_NOT_EXIST;
    d.parentId = parent.id;
    d.path = arg;
    return S_OK;
}

// Copies standard input into a file of the scratch folder.
bool SpoolStdin(const std::string& path, int64_t& size) {
    std::ofstream out(path, std::ios::binary);
    char buffer[65536];
    size = 0;
    while (std::cin.read(buffer, sizeof buffer) || std::cin.gcount() > 0) {
        out.write(buffer, std::cin.gcount());
        size += std::cin.gcount();
    }
    out.close();
    return static_cast<bool>(out);
}

bool CopyToStdout(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::cout << in.rdbuf();
    std::cout.flush();
    return static_cast<bool>(std::cout);
}

}  // namespace

int CmdPut(Context& ctx) {
    const auto& p = ctx.args.positional;
    const bool recursive = ctx.args.Has("-r");
    const bool update = ctx.args.Has("--update");
    std::string local = p[0];
    const bool fromStdin = local == "-";
    if (update && (p.size() > 1 || recursive))
        return UsageError("put --update takes LOCAL and the file to update only");
    struct stat st {};
    if (!fromStdin) {
        if (::stat(local.c_str(), &st) != 0)
            return Fail(ctx, "put", E_FAIL, "cannot read " + local + ": " + std::strerror(errno));
        if (S_ISDIR(st.st_mode) && !recursive)
            return Fail(ctx, "put", E_FAIL, local + " is a folder (put -r copies folders)");
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            return Fail(ctx, "put", E_FAIL, local + " is not a regular file");
        if (recursive && !S_ISDIR(st.st_mode)) return Fail(ctx, "put", E_FAIL, local + " is not a folder");
    } else if (recursive) {
        return UsageError("put -r wants a folder, not -");
    }
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    InterruptScope interrupts;

    Destination dest;
    std::string detail;
    RemoteItem target;
    if (update) {
        const HRESULT hr = Resolve(*session, ctx.args.Get("--update"), target, detail);
        if (hr == E_INVALIDARG) return UsageError(detail);
        if (hr < 0) return Fail(ctx, "put", hr, detail);
    } else if (p.size() == 2) {
        const HRESULT hr = ResolveDestination(*session, p[1], dest, detail);
        if (hr == E_INVALIDARG) return UsageError(detail);
        if (hr < 0) return Fail(ctx, "put", hr, detail.empty() ? p[1] : detail);
    }

    if (recursive) {
        // cp -r: into an existing folder under the source's name, else as the new folder itself.
        std::string name = dest.exists || dest.name.empty() ? BaseName(local) : dest.name;
        if (ctx.args.Has("--name")) name = ctx.args.Get("--name");
        std::string folderId;
        HRESULT hr = MakeFolder(*session, dest.parentId, name, folderId);
        if (hr == E_OV_TARGET_EXISTS && !folderId.empty()) {
            RemoteItem existing;
            existing.id = folderId;
            if (FillKind(*session, existing) < 0 || existing.type != 0)
                return Fail(ctx, "put", hr, name + " exists and is not a folder");
            hr = S_OK;
        }
        if (hr < 0) return Fail(ctx, "put", hr, name);
        TreeTotals plan;
        Count(local, plan);
        ProgressView view(ctx, "upload");
        view.treeTotal = static_cast<double>(plan.bytes);
        TreeTotals done;
        done.folders = 1;
        UploadTree(ctx, view, *session, local, folderId, done);
        view.Finish();
        const std::string to = dest.exists || dest.name.empty() ? JoinPath(dest.path, name) : dest.path;
        return TreeSummary(ctx, "Uploaded", "put", done, local, to);
    }

    std::optional<ScratchFolder> spool;  // standard input is kept here
    int64_t size = st.st_size;
    std::string name = ctx.args.Get("--name", dest.name.empty() ? BaseName(local) : dest.name);
    if (fromStdin) {
        if (!update && !ctx.args.Has("--name") && dest.name.empty())
            return UsageError("put - wants --name NAME or a REMOTE /path that names the new file");
        if (spool.emplace().Path().empty()) return Fail(ctx, "put", E_FAIL, "cannot make a temporary folder");
        local = spool->Path() + "/" + (SafeLocalName(name) ? name : "stdin");
        if (!SpoolStdin(local, size)) return Fail(ctx, "put", E_FAIL, "cannot keep standard input in " + local);
    }
    ProgressView view(ctx, "upload");
    const Outcome o = UploadOne(view, *session, local, dest.parentId, name, update ? target.id : "", size);
    view.Finish();
    if (o.cancelled) {
        Fail(ctx, "put", E_OV_CANCELLED);
        return kExitCancelled;
    }
    if (o.hr == E_OV_TARGET_EXISTS) return Fail(ctx, "put", o.hr, "existing id " + o.id, o.cause);
    if (o.hr < 0) return Fail(ctx, "put", o.hr, {}, o.cause);
    if (ctx.json)
        PrintJson(nlohmann::json({{"id", o.id}, {"name", name}, {"size", size}, {"updated", update}}).dump());
    else if (!ctx.quiet)
        std::cout << (update ? "Updated " : "Uploaded ") << p[0] << " as " << o.id << " ("
                  << HumanSize(static_cast<double>(size)) << ").\n";
    else
        std::cout << o.id << "\n";
    return kExitOk;
}

int CmdGet(Context& ctx) {
    const auto& p = ctx.args.positional;
    const bool recursive = ctx.args.Has("-r"), force = ctx.args.Has("--force");
    const bool previous = ctx.args.Has("--previous");
    const bool toStdout = p[1] == "-";
    if (recursive && (toStdout || previous))
        return UsageError("get -r copies a folder's current files into a local folder");
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    InterruptScope interrupts;
    RemoteItem item;
    std::string detail;
    HRESULT hr = Resolve(*session, p[0], item, detail);
    if (hr == E_INVALIDARG) return UsageError(detail);
    // An id alone is taken for a file unless its kind matters; the download says otherwise.
    if (hr >= 0 && recursive) hr = FillKind(*session, item);
    if (hr < 0) return Fail(ctx, "get", hr, detail);

    std::string local = p[1];
    const bool intoFolder = !toStdout && IsDir(local);
    if (intoFolder && item.name.empty() && item.id != "0") {
        // An id alone: the remote name is found from the root.
        if ((hr = FindById(*session, item)) == E_OV_CANCELLED) {
            Fail(ctx, "get", hr);
            return kExitCancelled;
        }
        if (hr < 0) return Fail(ctx, "get", hr, "id " + item.id);
    }

    if (recursive) {
        if (item.type != 0) return Fail(ctx, "get", E_FAIL, p[0] + " is a file (get without -r)");
        // The whole tree is listed first: for the totals, and so that a tree that
        // cannot be read leaves nothing behind.
        TreeTotals plan;
        if ((hr = PlanDownload(*session, item.id, 0, plan)) == E_OV_CANCELLED) {
            Fail(ctx, "get", hr);
            return kExitCancelled;
        }
        if (hr < 0)
            return Fail(ctx, "get", hr, hr == E_FAIL ? "folders nested more than 256 deep" : std::string_view());
        // cp -r: into an existing folder under the remote name, else as the new folder itself.
        if (intoFolder) {
            const std::string name = item.id == "0" ? "orvel-root" : item.name;
            if (!SafeLocalName(name)) return Fail(ctx, "get", E_INVALIDARG, "the remote name is no file name");
            local = local + "/" + name;
            if (!IsDir(local) && ::mkdir(local.c_str(), 0777) != 0)
                return Fail(ctx, "get", E_FAIL, "cannot make " + local + ": " + std::strerror(errno));
        } else if (::mkdir(local.c_str(), 0777) != 0) {
            return Fail(ctx, "get", E_FAIL, "cannot make " + local + ": " + std::strerror(errno));
        }
        ProgressView view(ctx, "download");
        view.treeTotal = static_cast<double>(plan.bytes);
        TreeTotals done;
        done.folders = 1;
        DownloadTree(ctx, view, *session, item.id, local, 0, done);
        view.Finish();
        return TreeSummary(ctx, "Downloaded", "get", done, item.path.empty() ? p[0] : item.path, local);
    }

    if (item.type == 0) return Fail(ctx, "get", E_FAIL, p[0] + " is a folder (get -r copies folders)");
    if (intoFolder) {
        if (!SafeLocalName(item.name)) return Fail(ctx, "get", E_INVALIDARG, "the remote name is no file name");
        local = JoinPath(local, item.name);
    }
    if (!toStdout && Exists(local) && !force) {
        std::cerr << "orvel: " << local << " exists; kept it (--force overwrites)\n";
        if (ctx.json)
            PrintJson(nlohmann::json({{"error", {{"operation", "get"}, {"message", local + " exists"}}}}).dump());
        return kExitFailure;
    }
    if (!toStdout && IsDir(local)) return Fail(ctx, "get", E_FAIL, local + " is a folder");
    std::optional<ScratchFolder> spool;  // the download to standard output is kept here
    std::string target = local;
    if (toStdout) {
        if (spool.emplace().Path().empty()) return Fail(ctx, "get", E_FAIL, "cannot make a temporary folder");
        target = spool->Path() + "/download";
    }
    ProgressView view(ctx, "download");
    const Outcome o = DownloadOne(view, *session, item.id, target, toStdout ? "-" : local, previous, item.size);
    view.Finish();
    if (o.cancelled) {
        Fail(ctx, "get", E_OV_CANCELLED);
        return kExitCancelled;
    }
    if (o.hr < 0) return Fail(ctx, "get", o.hr, {}, o.cause);
    struct stat st {};
    ::stat(target.c_str(), &st);
    if (toStdout) {
        if (!CopyToStdout(target)) return Fail(ctx, "get", E_FAIL, "cannot write standard output");
        return kExitOk;
    }
    if (ctx.json)
        PrintJson(
            nlohmann::json(
                {{"id", item.id}, {"path", local}, {"size", static_cast<int64_t>(st.st_size)}, {"previous", previous}})
                .dump());
    else if (!ctx.quiet)
        std::cout << "Downloaded " << p[0] << (previous ? " (previous version)" : "") << " to " << local << " ("
                  << HumanSize(static_cast<double>(st.st_size)) << ").\n";
    return kExitOk;
}

}  // namespace orvelcli
