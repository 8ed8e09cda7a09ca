// A file above 4 GiB (mostly holes) through a loopback service that keeps one
// copy per block identifier: sizes travel as 64-bit decimal text, offsets
// past 4 GiB are cut and assembled correctly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"
#include "common/xml_helper.h"
#include "test_support.h"

using namespace xfertest;

namespace {

const std::string kKey = "00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff";

class DedupService {
public:
    DedupService() {
        fake.Http().Post("/osvr/requestUpload/", [this](const httplib::Request& req, httplib::Response& res) {
            RecordTree request;
            FromXml(req.body, request);
            sizeText = request.GetValue("size");
            fileSha1 = request.GetValue("sha1");
            res.set_content("<Orvel result=\"ok\"><stub>S</stub><url>" + fake.Url("/blk/") + "</url></Orvel>",
                            "text/xml");
        });
        // Read through a content reader: the server refuses form bodies above 8 KiB otherwise.
        fake.Http().Post("/blk/uploadMetadata", [this](const httplib::Request&, httplib::Response& res,
                                                       const httplib::ContentReader& reader) {
            std::string body;
            reader([&](const char* data, size_t len) {
                body.append(data, len);
                return true;
            });
            const auto request = nlohmann::json::parse(body);
            nlohmann::json keys = nlohmann::json::object();
            std::lock_guard<std::mutex> guard(lock);
            indexes.clear();
            for (const auto& meta : request["metas"]) {
                const std::string id = meta["blockId"];
                indexes[meta["index"].get<int>()] = id;
                keys[id] = stored.count(id) ? "TargetExist" : kKey;
            }
            res.set_content(nlohmann::json{{"result", "ok"}, {"keys", keys}}.dump(), "application/json");
        });
        fake.Http().Post("/blk/uploadBlock", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            ++blocksSent;
            const std::string& id = indexes.at(std::stoi(req.get_param_value("index")));
            stored.emplace(id, req.body);
            res.set_content(R"({"result":"ok"})", "application/json");
        });
        fake.Http().Post("/osvr/commit/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<Orvel result=\"ok\"><fileId>F</fileId><fileVer>1</fileVer></Orvel>", "text/xml");
        });
        fake.Http().Post("/osvr/requestDownload/", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content("<Orvel result=\"ok\"><stub>S</stub><url>" + fake.Url("/blk/") + "</url><sha1>" + fileSha1 +
                                "</sha1><fileVer>1</fileVer><modTime>m</modTime><opVer>1</opVer></Orvel>",
                            "text/xml");
        });
        fake.Http().Post("/blk/downloadMetadata2", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            nlohmann::json group = nlohmann::json::array();
            for (const auto& [index, id] : indexes)
                group.push_back({{"sha1", Sha1Hex(stored.at(id))},
                                 {"id", id},
                                 {"blockId", id},
                                 {"fileKey", kKey},
                                 {"index", std::to_string(index)}});
            res.set_content(nlohmann::json{{"result", "ok"}, {fake.Url("/blk/"), group}}.dump(), "application/json");
        });
        fake.Http().Post("/blk/downloadBlock2", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            ++blocksFetched;
            res.set_content(stored.at(nlohmann::json::parse(req.body)["id"].get<std::string>()),
                            "application/octet-stream");
        });
        fake.Start();
        UseServiceRoot(fake.Root());
    }

    LoopbackServer fake;
    std::mutex lock;
    std::string sizeText, fileSha1;
    std::map<int, std::string> indexes;         // index -> block identifier
    std::map<std::string, std::string> stored;  // block identifier -> encoded block
    int blocksSent = 0, blocksFetched = 0;
};

int64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

TEST(SlowLargeFile, AboveFourGiBRoundTrip) {
    if (std::getenv("ORVEL_RUN_SLOW") == nullptr) GTEST_SKIP() << "runs as the ctest test_transfer.slow (label slow)";
    TempDir files, temp, out;
    const int64_t size = 4LL * 1024 * 1024 * 1024 + 4194304 + 12345;
    const std::string path = files.File("big.mp4");
    const std::vector<int64_t> marks = {0, 2147483647, 4294967296 - 100, size - 5000};
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ::ftruncate(fd, size));
        for (int64_t at : marks) {
            const std::string bytes = RandomBytes(4096, static_cast<uint32_t>(at));
            ASSERT_EQ(4096, ::pwrite(fd, bytes.data(), bytes.size(), at));
        }
        ::close(fd);
    }
    DedupService service;
    std::vector<BlockRecord> blocks;
    std::string sha1;
    ASSERT_EQ(S_OK, BuildBlockList(path, blocks, sha1));
    ASSERT_EQ(1026u, blocks.size());
    TransferResult uploaded;
    ASSERT_EQ(S_OK, UploadFileGuarded(NewUpload("T", "big.mp4", path, size, blocks, sha1, temp.Path()), uploaded));
    const std::string id = uploaded.fileId;
    EXPECT_EQ(std::to_string(size), service.sizeText);
    EXPECT_TRUE(temp.Entries().empty());

    const std::string target = out.File("big.mp4");
    double lastTotal = 0, lastDone = 0;
    auto record = [](void* ctx, double total, double done, double, double, double) -> HRESULT {
        auto* last = static_cast<std::pair<double*, double*>*>(ctx);
        *last->first = total;
        *last->second = done;
        return S_OK;
    };
    std::pair<double*, double*> last{&lastTotal, &lastDone};
    DownloadRequest download;
    download.token = "T";
    download.fileId = id;
    download.targetPath = target;
    download.tempFolder = temp.Path();
    download.callback = record;
    download.context = &last;
    TransferResult downloaded;
    ASSERT_EQ(S_OK, DownloadGuarded(download, downloaded));
    EXPECT_EQ(size, SizeOf(target));
    EXPECT_EQ(static_cast<double>(size), lastTotal);
    EXPECT_LE(service.blocksFetched, 8);  // one fetch per distinct block
    for (int64_t at : marks) {
        std::string bytes(4096, '\0');
        const int fd = ::open(target.c_str(), O_RDONLY);
        ASSERT_EQ(4096, ::pread(fd, bytes.data(), bytes.size(), at));
        ::close(fd);
        EXPECT_TRUE(bytes == RandomBytes(4096, static_cast<uint32_t>(at))) << at;
    }
    EXPECT_TRUE(temp.Entries().empty());
}

}  // namespace
