// Block codec throughput and memory, each beside its yardstick on the same
// bytes: BuildBlockList vs in-memory SHA-1+SHA-1+MD5, EncodeFile of a media
// block vs in-memory AES-256-ECB, EncodeFile of a text block vs
// `xz --format=lzma -5`, and the peak memory of encoding one 4 MiB block.
//
//   bench_blocks [benchmark flags]
//   bench_blocks --encode-once <name> <block> <out>   (child for the memory figure)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blocks/codec/block_codec.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBigFile = 256u << 20;

std::string g_self;  // path of this executable, for the memory child

// Folder holding the benchmark's files; removed at exit.
const std::string& Scratch() {
    static const std::string dir = [] {
        char templ[] = "/tmp/orvel_bench_blocks_XXXXXX";
        if (::mkdtemp(templ) == nullptr) std::abort();
        return std::string(templ);
    }();
    return dir;
}

struct ScratchRemover {
    ~ScratchRemover() {
        std::error_code ec;
        std::filesystem::remove_all(Scratch(), ec);
    }
};

Bytes Random(size_t n, uint32_t seed) {
    Bytes out(n);
    std::mt19937_64 gen(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = gen();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

Bytes Text(size_t n, uint32_t seed) {
    static const char* kWords[] = {"block",   "file",   "storage", "cloud",  "upload", "download", "the",    "of",
                                   "and",     "data",   "server",  "client", "key",    "index",    "size",   "hash",
                                   "version", "folder", "when",    "this",   "error",  "value",    "remote", "local"};
    std::mt19937 gen(seed);
    Bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = kWords[gen() % (sizeof kWords / sizeof *kWords)];
        out.insert(out.end(), w, w + std::strlen(w));
        out.push_back(gen() % 13 == 0 ? '\n' : ' ');
        if (gen() % 50 == 0) {  // some numbers, as logs and tables have
            std::string num = std::to_string(gen() % 100000);
            out.insert(out.end(), num.begin(), num.end());
            out.push_back(' ');
        }
    }
    out.resize(n);
    return out;
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(data.data(), 1, data.size(), f.get()) != data.size()) std::abort();
}

// The shared inputs, made once.
struct Inputs {
    Bytes big = Random(kBigFile, 1);
    Bytes media = Random(kBlockSize, 2);
    Bytes text = Text(kBlockSize, 3);
    std::string bigPath = Scratch() + "/big.bin";
    std::string mediaPath = Scratch() + "/media.bin";
    std::string textPath = Scratch() + "/text.bin";
    std::string sha1Media, sha1Text;
    Inputs() {
        WriteFile(bigPath, big);
        WriteFile(mediaPath, media);
        WriteFile(textPath, text);
        FileSha1(mediaPath, sha1Media);
        FileSha1(textPath, sha1Text);
    }
};

Inputs& In() {
    static Inputs inputs;
    return inputs;
}

const std::string kKey(64, 'a');

// Runs argv with stdout sent to `out`; the child's rusage is returned.
bool Spawn(const std::vector<std::string>& args, const std::string& out, rusage* usage) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid) return false;
    if (usage) *usage = ru;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// First number in a small text file (kB figures from children).
double ReadNumber(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "r"), std::fclose);
    double v = 0;
    if (!f || std::fscanf(f.get(), "%lf", &v) != 1) return 0;
    return v;
}

// ---- BuildBlockList vs the three digests ----------------------------------

void BM_BuildBlockList_256MiB(benchmark::State& state) {
    Inputs& in = In();
    std::vector<BlockRecord> blocks;
    std::string sha1;
    BuildBlockList(in.bigPath, blocks, sha1);  // page-cache the file
    for (auto _ : state) {
        if (BuildBlockList(in.bigPath, blocks, sha1) != S_OK) state.SkipWithError("BuildBlockList");
        benchmark::DoNotOptimize(blocks.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBigFile);
}

void BM_Sha1Sha1Md5_InMemory_256MiB(benchmark::State& state) {
    Inputs& in = In();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    for (auto _ : state) {
        EVP_Digest(in.big.data(), in.big.size(), md, &len, EVP_sha1(), nullptr);
        EVP_Digest(in.big.data(), in.big.size(), md, &len, EVP_sha1(), nullptr);
        EVP_Digest(in.big.data(), in.big.size(), md, &len, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBigFile);
}

// ---- EncodeFile of a media block vs in-memory AES --------------------------

// As in an upload, every encoded block is a new file (removed untimed).
void BM_EncodeFile_Media_4MiB(benchmark::State& state) {
    Inputs& in = In();
    std::string out = Scratch() + "/media.enc";
    for (auto _ : state) {
        if (EncodeFile(kKey, "movie.mp4", kBlockSize, in.sha1Media, in.mediaPath, out) != S_OK)
            state.SkipWithError("EncodeFile");
        state.PauseTiming();
        ::unlink(out.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
}

void BM_AesEcb_InMemory_4MiB(benchmark::State& state) {
    Inputs& in = In();
    uint8_t key[32] = {};
    Bytes out(in.media.size());
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    for (auto _ : state) {
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
        int len = 0;
        EVP_EncryptUpdate(ctx.get(), out.data(), &len, in.media.data(), static_cast<int>(in.media.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
}

// The file-system floor under EncodeFile: the same block copied file to file
// through one 64 KiB buffer, no cipher (a fresh destination each time).
void BM_CopyFile64K_4MiB(benchmark::State& state) {
    Inputs& in = In();
    std::string out = Scratch() + "/media.copy";
    std::vector<char> buffer(kChunkSize);
    for (auto _ : state) {
        int src = ::open(in.mediaPath.c_str(), O_RDONLY);
        int dst = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t got;
        while ((got = ::read(src, buffer.data(), buffer.size())) > 0) {
            if (::write(dst, buffer.data(), static_cast<size_t>(got)) != got) state.SkipWithError("write");
        }
        ::close(src);
        ::close(dst);
        state.PauseTiming();
        ::unlink(out.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
}

// ---- EncodeFile of a text block vs xz ---------------------------------------

void BM_EncodeFile_Text_4MiB(benchmark::State& state) {
    Inputs& in = In();
    std::string out = Scratch() + "/text.enc";
    for (auto _ : state) {
        if (EncodeFile(kKey, "notes.txt", kBlockSize, in.sha1Text, in.textPath, out) != S_OK)
            state.SkipWithError("EncodeFile");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
    state.counters["out_bytes"] = static_cast<double>(std::filesystem::file_size(out));
}

// Timed by the xz process's own CPU time (user + system), so that both sides
// are CPU seconds on a shared machine.
void BM_XzLzma5_Text_4MiB(benchmark::State& state) {
    Inputs& in = In();
    std::string out = Scratch() + "/text.lzma";
    for (auto _ : state) {
        rusage ru{};
        if (!Spawn({"xz", "--format=lzma", "-5", "-c", in.textPath}, out, &ru)) {
            state.SkipWithError("xz is not available");
            break;
        }
        state.SetIterationTime(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
    state.counters["out_bytes"] = static_cast<double>(std::filesystem::file_size(out));
    // Peak memory of xz itself, through time(1) when it is there.
    std::string rss = Scratch() + "/xz.rss";
    if (Spawn({"/usr/bin/time", "-f", "%M", "-o", rss, "xz", "--format=lzma", "-5", "-c", in.textPath}, out, nullptr))
        state.counters["peak_rss_MiB"] = ReadNumber(rss) / 1024.0;
}

// ---- Peak memory of encoding one 4 MiB block --------------------------------

// A fresh child process encodes one block and reports its own high-water
// mark (VmHWM of its image; a spawned child's maxrss would include the
// parent's pages from before exec).
void BM_EncodePeakMemory_4MiB(benchmark::State& state) {
    Inputs& in = In();
    const bool text = state.range(0) == 1;
    const std::string block = text ? in.textPath : in.mediaPath;
    const std::string name = text ? "notes.txt" : "movie.mp4";
    const std::string report = Scratch() + "/hwm.txt";
    for (auto _ : state) {
        if (!Spawn({g_self, "--encode-once", name, block, Scratch() + "/peak.enc"}, report, nullptr))
            state.SkipWithError("child failed");
    }
    state.counters["peak_rss_MiB"] = ReadNumber(report) / 1024.0;
    state.SetLabel(text ? "text (LZMA)" : "media (no LZMA)");
}

int EncodeOnce(const std::string& name, const std::string& block, const std::string& out) {
    std::string sha1;
    if (FileSha1(block, sha1) != S_OK) return 2;
    auto size = static_cast<int32_t>(std::filesystem::file_size(block));
    if (EncodeFile(kKey, name, size, sha1, block, out) != S_OK) return 1;
    std::unique_ptr<FILE, int (*)(FILE*)> status(std::fopen("/proc/self/status", "r"), std::fclose);
    char line[256];
    while (status && std::fgets(line, sizeof line, status.get())) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) std::printf("%ld\n", std::strtol(line + 6, nullptr, 10));
    }
    return 0;
}

}  // namespace

BENCHMARK(BM_BuildBlockList_256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Sha1Sha1Md5_InMemory_256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EncodeFile_Media_4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AesEcb_InMemory_4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFile64K_4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFile_Text_4MiB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_XzLzma5_Text_4MiB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(BM_EncodePeakMemory_4MiB)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    g_self = std::filesystem::canonical("/proc/self/exe").string();
    if (argc == 5 && std::strcmp(argv[1], "--encode-once") == 0) return EncodeOnce(argv[2], argv[3], argv[4]);
    ScratchRemover remover;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
