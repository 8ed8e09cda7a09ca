// Blocks made by the library's own codec (LZMA-compressed and encrypted)
// pass the emulator's checks and come back intact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "blocks/codec/block_codec.h"
#include "harness.h"

using namespace emutest;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace

TEST(EmulatorCodecBlocks, CompressedBlocksOfTheLibraryCodecRoundTrip) {
    TempDir work, data;
    Emulator emu({"--data", data.Path()});
    std::string token = emu.Login();
    std::string content;
    for (int i = 0; content.size() < kBlock + 3000; ++i) content += "line " + std::to_string(i % 97) + " of notes\n";

    BlockCoder encode = [&](const std::string& plain, const std::string& key) {
        WriteAll(work.Path() + "/plain", plain);
        EXPECT_EQ(EncodeFile(key, "notes.txt", static_cast<int32_t>(plain.size()), Sha1Hex(plain),
                             work.Path() + "/plain", work.Path() + "/enc"),
                  S_OK);
        return ReadAll(work.Path() + "/enc");
    };
    BlockCoder decode = [&](const std::string& file, const std::string& key) {
        WriteAll(work.Path() + "/got", file);
        if (DecodeFile(work.Path() + "/out", key, work.Path() + "/got") != S_OK) return std::string();
        return ReadAll(work.Path() + "/out");
    };
    UploadOutcome up = Upload(emu, token, "0", "notes.txt", content, "0", "0", -1, encode);
    ASSERT_EQ(up.failure, "");
    EXPECT_EQ(up.blocksSent, 2);
    // Stored as sent: compressed (flags 0x03) and far smaller than the plain block.
    std::string first = BlockId(content.substr(0, kBlock));
    std::string stored = ReadAll(data.Path() + "/blocks/" + first.substr(6, 2) + "/" + first);
    ASSERT_GT(stored.size(), 64u);
    EXPECT_EQ(stored[5], 3);
    EXPECT_LT(stored.size(), kBlock / 4);
    DownloadOutcome down = Download(emu, token, up.commit["fileId"], false, decode);
    ASSERT_EQ(down.failure, "");
    EXPECT_TRUE(down.content == content);
}
