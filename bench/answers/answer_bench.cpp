// Time and peak memory of one folder listing through ORVEL_EnumFiles against a
// loopback server (in a child process, so that only the client is measured)
// that answers with a large or hostile document:
//   listing N      a well-formed listing of N items (default 100000)
//   plain MiB      a well-formed start, then MiB of filler, no gzip
//   bomb MiB       a gzip answer (about 1 MiB) that inflates to MiB
//   dense MiB      a document of MiB made of empty elements only
//   nested MiB     a document of MiB made of elements holding one empty element each
//   json MiB       a download whose block server lists MiB of empty JSON objects
// Prints "key=value" lines: seconds, the client's CPU seconds (user and system, steadier
// than the clock on a busy machine), result, items, and the peak resident set above the
// baseline taken just before the call.
#include <orvelsdk/orvelsdk.h>

#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

// Resets the peak resident set to the current one, so VmHWM measures this call.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string Item(size_t i) {
    char buf[400];
    std::snprintf(buf, sizeof buf,
                  "<item><fileId>%zu</fileId><parentId>1</parentId><name>file-%zu.txt</name><type>file</type>"
                  "<size>%zu</size><sha1>%040zx</sha1><modTime>2011-03-02 09:05:03</modTime>"
                  "<fileVer>1</fileVer></item>",
                  i + 100, i, i * 7, i);
    return buf;
}

std::string Gzip(const std::string& text) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, text.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel result=\"ok\">";

void Serve(const std::string& mode, size_t n, int readyFd) {
    httplib::Server server;
    std::string body;
    std::string encoding;
    if (mode == "listing") {
        body = kHead;
        for (size_t i = 0; i < n; ++i) body += Item(i);
        body += "</Orvel>";
    } else if (mode == "plain") {
        body = kHead + Item(0) + std::string(n << 20, ' ') + "</Orvel>";
    } else if (mode == "bomb") {
        body = Gzip(kHead + Item(0) + std::string(n << 20, ' ') + "</Orvel>");
        encoding = "gzip";
    } else if (mode == "json") {
        body = "{\"result\":\"ok\",\"a\":[{}";
        while (body.size() < (n << 20)) body += ",{}";
        body += "]}";
    } else if (mode == "nested") {
        body = kHead + Item(0);
        while (body.size() < (n << 20)) body += "<b><a/></b>";
        body += "</Orvel>";
    } else {  // dense
        body = kHead + Item(0);
        while (body.size() < (n << 20)) body += "<a/>";
        body += "</Orvel>";
    }
    std::fprintf(stderr, "answer_bytes=%zu\n", body.size());
    // A download session pointing at this server's block service.
    server.Post("/osvr/requestDownload/", [&](const httplib::Request& req, httplib::Response& res) {
        res.set_content(kHead + "<stub>S</stub><url>http://" + req.get_header_value("Host") +
                            "/b/</url><fileVer>1</fileVer><sha1>x</sha1><modTime>m</modTime><opVer>1</opVer></Orvel>",
                        "text/xml");
    });
    server.Post("/b/downloadMetadata2",
                [&](const httplib::Request&, httplib::Response& res) { res.set_content(body, "application/json"); });
    server.Post("/osvr/dir/", [&](const httplib::Request&, httplib::Response& res) {
        if (!encoding.empty()) res.set_header("Content-Encoding", encoding);
        res.set_content(body, "text/xml");
    });
    const int port = server.bind_to_any_port("127.0.0.1");  // ephemeral, told to the parent
    if (write(readyFd, &port, sizeof port) != sizeof port) _exit(1);
    server.listen_after_bind();
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "listing";
    const size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : (mode == "listing" ? 100000 : 1024);

    int ready[2];
    if (pipe(ready) != 0) return 1;
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) Serve(mode, n, ready[1]);
    close(ready[1]);  // a child that dies before telling its port ends the read below
    // The server child never outlives a failed run.
    const auto stopServer = [child] {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    };
    int port = 0;
    if (read(ready[0], &port, sizeof port) != sizeof port || port <= 0) {
        stopServer();
        return 1;
    }

    char settings[] = "/tmp/orvel-answer-bench-XXXXXX";
    const int fd = mkstemp(settings);
    // Speed caps lifted: the figures are the client's own work.
    const std::string ini =
        "[Tavik]\nDownloadSpeed=0\nUploadSpeed=0\nServerRoot=127.0.0.1:" + std::to_string(port) + "\n";
    if (fd < 0 || write(fd, ini.data(), ini.size()) != static_cast<ssize_t>(ini.size())) {
        if (fd >= 0) {
            close(fd);
            unlink(settings);
        }
        stopServer();
        return 1;
    }
    close(fd);
    setenv("ORVEL_SETTINGS_FILE", settings, 1);

    ResetPeak();
    const long baseline = StatusKiB("VmRSS");
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    ORVEL_FILELIST files = nullptr;
    HRESULT hr = S_OK;
    if (mode == "json") {
        ORVEL_PROGRESS progress = nullptr;
        ORVEL_CreateProgress(&progress);
        hr = ORVEL_Download(u"bench-token", u"1", u"m", u"/tmp/orvel-answer-bench-target", u"x", u"1", u"/tmp", 0,
                            progress);
        ORVEL_DestroyProgress(progress);
    } else {
        hr = ORVEL_EnumFiles(u"bench-token", u"1", &files);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    const long peak = StatusKiB("VmHWM");
    int count = -1;
    if (files != nullptr) ORVEL_GetFilesNum(files, &count);
    ORVEL_DestoryFiles(files);

    stopServer();
    unlink(settings);
    std::printf(
        "mode=%s\nn=%zu\nresult=0x%08x\nitems=%d\nseconds=%.3f\ncpu_seconds=%.3f\npeak_above_baseline_mib=%.1f\n",
        mode.c_str(), n, static_cast<unsigned>(hr), count, seconds, cpu, static_cast<double>(peak - baseline) / 1024.0);
    return 0;
}
