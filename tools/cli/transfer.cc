// orvel put / orvel get: the transfer runs on a worker thread while this
// thread polls the progress handle, draws it, and turns Ctrl-C into a cancel.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace orvelcli {
namespace {

volatile sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// Installs the Ctrl-C handler for the length of one transfer.
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

void Draw(bool tty, const char* verb, double total, double done, double speed) {
  const double fraction = total > 0 ? std::min(1.0, done / total) : 0.0;
  const std::string figures = HumanSize(done) + " / " + HumanSize(total);
  const std::string rate = HumanSize(speed) + "/s";
  const std::string eta = speed > 0 ? Eta((total - done) / speed) : "--:--";
  if (tty) {
    constexpr int kWidth = 28;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r%s [%s] %3.0f%%  %s  %s  ETA %s\033[K", verb, bar.c_str(), fraction * 100,
                 figures.c_str(), rate.c_str(), eta.c_str());
  } else {
    std::fprintf(stderr, "%s: %.0f%% %s %s ETA %s\n", verb, fraction * 100, figures.c_str(), rate.c_str(),
                 eta.c_str());
  }
  std::fflush(stderr);
}

// Runs `work` on a worker thread with a fresh progress handle. `knownTotal`
// stands in until the library reports a total (blocks the service already
// holds are never sent, so an upload may report none at all).
HRESULT RunTransfer(const Context& ctx, const char* verb, const std::function<HRESULT(ORVEL_PROGRESS)>& work,
                    double knownTotal, bool& cancelled) {
  ProgressOwner progress;
  HRESULT hr = ORVEL_CreateProgress(&progress.h);
  if (hr < 0) return hr;
  InterruptScope interrupts;
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  const bool show = tty || !ctx.json;
  auto result = std::async(std::launch::async, [&] { return work(progress.h); });
  const auto start = std::chrono::steady_clock::now();
  auto lastLine = start;
  cancelled = false;
  double total = 0, done = 0, speed = 0;
  // The average over the whole run: steadier than the per-request figure.
  auto average = [&] {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return seconds > 0 ? std::min(done, total) / seconds : 0.0;
  };
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    if (g_interrupted && !cancelled) {
      // The transfer stops at its next progress tick.
      ORVEL_CancelTransport(progress.h);
      cancelled = true;
      std::fprintf(stderr, "%scancelling...\n", tty ? "\n" : "");
    }
    ORVEL_QueryProgress(progress.h, &total, &done, &speed);
    if (total <= 0) total = knownTotal;
    const auto now = std::chrono::steady_clock::now();
    if (show && (tty || now - lastLine >= std::chrono::seconds(1))) {
      Draw(tty, verb, total, done, average());
      lastLine = now;
    }
  }
  hr = result.get();
  ORVEL_QueryProgress(progress.h, &total, &done, &speed);
  if (total <= 0) total = knownTotal;
  if (show && total > 0 && hr >= 0) {
    done = total;
    Draw(tty, verb, total, total, average());
  }
  if (show && tty && total > 0) std::fputc('\n', stderr);
  // A Ctrl-C that came after the last progress tick stopped nothing: a
  // transfer that finished is reported as done, any other failure as itself.
  cancelled = hr == E_OV_CANCELLED;
  return hr;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int CmdPut(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.empty() || p.size() > 2)
    return UsageError("usage: orvel put LOCAL [PARENT_ID] [--name NAME] | orvel put LOCAL --update ID");
  const std::string local = p[0];
  struct stat st {};
  if (::stat(local.c_str(), &st) != 0)
    return Fail(ctx, "put", E_FAIL, "cannot read " + local + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Fail(ctx, "put", E_FAIL, local + " is not a regular file");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  ScratchFolder scratch;
  if (scratch.Path().empty()) return Fail(ctx, "put", E_FAIL, "cannot make a temporary folder");

  const std::u16string token = Wide(s->token), path = Wide(local), temp = Wide(scratch.Path());
  const bool update = ctx.args.Has("--update");
  const std::string parent = p.size() == 2 ? p[1] : "0";
  const std::string name = ctx.args.Get("--name", BaseName(local));
  OutString newId;
  bool cancelled = false;
  const HRESULT hr = RunTransfer(ctx, "upload", [&](ORVEL_PROGRESS h) {
    if (update) return ORVEL_Update(token.c_str(), Wide(ctx.args.Get("--update")).c_str(), path.c_str(),
                                    temp.c_str(), h);
    return ORVEL_Upload(token.c_str(), Wide(parent).c_str(), Wide(name).c_str(), path.c_str(), temp.c_str(),
                        &newId, h);
  }, static_cast<double>(st.st_size), cancelled);
  if (cancelled) {
    Fail(ctx, "put", E_OV_CANCELLED);
    return kExitCancelled;
  }
  if (hr == E_OV_TARGET_EXISTS) return Fail(ctx, "put", hr, "existing id " + newId.str());
  if (hr < 0) return Fail(ctx, "put", hr);
  const std::string id = update ? ctx.args.Get("--update") : newId.str();
  if (ctx.json)
    PrintJson(nlohmann::json({{"id", id}, {"name", name}, {"size", static_cast<int64_t>(st.st_size)},
                              {"updated", update}}).dump());
  else
    std::cout << (update ? "Updated " : "Uploaded ") << local << " as " << id << " (" <<
        HumanSize(static_cast<double>(st.st_size)) << ").\n";
  return kExitOk;
}

int CmdGet(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.size() != 2) return UsageError("usage: orvel get ID LOCAL [--previous]");
  const std::string id = p[0], local = p[1];
  struct stat st {};
  if (::stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return UsageError("LOCAL names a folder; give the file's path");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  ScratchFolder scratch;
  if (scratch.Path().empty()) return Fail(ctx, "get", E_FAIL, "cannot make a temporary folder");

  const bool previous = ctx.args.Has("--previous");
  const std::u16string token = Wide(s->token), wid = Wide(id), path = Wide(local), temp = Wide(scratch.Path());
  bool cancelled = false;
  const HRESULT hr = RunTransfer(ctx, "download", [&](ORVEL_PROGRESS h) {
    // The modify time, SHA-1 and version come from the service; the library
    // only wants non-empty texts here.
    return ORVEL_Download(token.c_str(), wid.c_str(), u"-", path.c_str(), u"-", u"-", temp.c_str(),
                          previous ? 1 : 0, h);
  }, 0.0, cancelled);
  if (cancelled) {
    Fail(ctx, "get", E_OV_CANCELLED);
    return kExitCancelled;
  }
  if (hr < 0) return Fail(ctx, "get", hr);
  ::stat(local.c_str(), &st);
  if (ctx.json)
    PrintJson(nlohmann::json({{"id", id}, {"path", local}, {"size", static_cast<int64_t>(st.st_size)},
                              {"previous", previous}}).dump());
  else
    std::cout << "Downloaded " << id << (previous ? " (previous version)" : "") << " to " << local << " ("
              << HumanSize(static_cast<double>(st.st_size)) << ").\n";
  return kExitOk;
}

}  // namespace orvelcli
