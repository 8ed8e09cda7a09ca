// Block list, block cutting and whole-file SHA-1.
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "blocks/codec/file_io.h"
#include "common/settings.h"
#include "log/log.h"

using orvel::codec::Digest;
using orvel::codec::File;

namespace {

// One block read whole, hashed on its own thread.
struct BatchBlock {
    std::vector<uint8_t> bytes;
    BlockRecord record;
    bool ok = false;
};

void HashBlock(BatchBlock& block) {
    Digest sha(platform::DigestKind::Sha1), md5(platform::DigestKind::Md5);
    block.record.size = static_cast<int32_t>(block.bytes.size());
    block.ok = sha.Ok() && md5.Ok() && sha.Update(block.bytes.data(), block.bytes.size()) &&
               md5.Update(block.bytes.data(), block.bytes.size()) && sha.FinishHex(block.record.sha1) &&
               md5.FinishHex(block.record.md5);
}

// The same list on several cores: batches of `workers` blocks are read
// whole, the whole-file SHA-1 runs over each batch in order on one thread
// while the blocks' SHA-1 and MD5 run on the others. Memory: one batch.
HRESULT BuildBlockListParallel(File& file, int workers, std::vector<BlockRecord>& blocks, std::string& fileSha1) {
    Digest whole(platform::DigestKind::Sha1);
    if (!ERROR_CHECK_BOOL(whole.Ok())) return E_FAIL;
    std::vector<BatchBlock> batch(static_cast<size_t>(workers));
    bool end = false;
    while (!end) {
        size_t count = 0;
        for (; count < batch.size(); ++count) {
            std::vector<uint8_t>& bytes = batch[count].bytes;
            bytes.resize(kBlockSize);
            ssize_t got = file.ReadFull(bytes.data(), bytes.size());
            if (!ERROR_CHECK_BOOL(got >= 0)) return E_FAIL;
            bytes.resize(static_cast<size_t>(got));
            if (got < kBlockSize) {
                end = true;
                // A short or empty last block; an empty one only for an empty file.
                if (got > 0 || (blocks.empty() && count == 0)) ++count;
                break;
            }
        }
        bool wholeOk = true;
        // Joined on every way out, also when a later thread cannot be made.
        std::jthread wholeThread([&] {
            for (size_t i = 0; i < count; ++i)
                wholeOk = wholeOk && whole.Update(batch[i].bytes.data(), batch[i].bytes.size());
        });
        std::vector<std::jthread> hashers;
        hashers.reserve(count);
        for (size_t i = 1; i < count; ++i) hashers.emplace_back([&batch, i] { HashBlock(batch[i]); });
        if (count > 0) HashBlock(batch[0]);
        for (auto& t : hashers) t.join();
        wholeThread.join();
        if (!ERROR_CHECK_BOOL(wholeOk)) return E_FAIL;
        for (size_t i = 0; i < count; ++i) {
            if (!ERROR_CHECK_BOOL(batch[i].ok)) return E_FAIL;
            blocks.push_back(std::move(batch[i].record));
        }
    }
    if (!ERROR_CHECK_BOOL(whole.FinishHex(fileSha1))) return E_FAIL;
    return S_OK;
}

}  // namespace

int TransferWorkerThreads() {
    const std::string text = ReadSettingString("Tavik", "WorkerThreads", "");
    if (!text.empty()) return std::clamp(ParseDecimalInt32(text), 1, 16);
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
}

HRESULT BuildBlockList(std::string_view path, std::vector<BlockRecord>& blocks, std::string& fileSha1) {
    return BuildBlockList(path, blocks, fileSha1, TransferWorkerThreads());
}

HRESULT BuildBlockList(std::string_view path, std::vector<BlockRecord>& blocks, std::string& fileSha1, int workers) {
    blocks.clear();
    fileSha1.clear();
    if (!ERROR_CHECK_BOOL(orvel::codec::IsRegularFile(path))) return E_FAIL;
    File file = File::OpenRead(path);
    if (!ERROR_CHECK_BOOL(file.IsOpen())) return E_FAIL;
    // The whole file is read front to back exactly once.
    ::posix_fadvise(file.Fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (workers > 1) {
        HRESULT hr = BuildBlockListParallel(file, workers, blocks, fileSha1);
        if (FAILED(hr)) {
            blocks.clear();
            fileSha1.clear();
        }
        return hr;
    }

    Digest whole(platform::DigestKind::Sha1), blockSha(platform::DigestKind::Sha1), blockMd5(platform::DigestKind::Md5);
    if (!ERROR_CHECK_BOOL(whole.Ok() && blockSha.Ok() && blockMd5.Ok())) return E_FAIL;
    auto buffer = std::make_unique<uint8_t[]>(kChunkSize);

    int64_t blockBytes = 0;
    auto finishBlock = [&]() -> bool {
        BlockRecord record;
        record.size = static_cast<int32_t>(blockBytes);
        if (!blockSha.FinishHex(record.sha1) || !blockMd5.FinishHex(record.md5)) return false;
        blocks.push_back(std::move(record));
        blockBytes = 0;
        return true;
    };

    for (;;) {
        ssize_t got = file.ReadFull(buffer.get(), kChunkSize);
        if (!ERROR_CHECK_BOOL(got >= 0)) return E_FAIL;
        if (got > 0) {
            // All three digests take the chunk while it is still in cache.
            if (!ERROR_CHECK_BOOL(whole.Update(buffer.get(), got) && blockSha.Update(buffer.get(), got) &&
                                  blockMd5.Update(buffer.get(), got)))
                return E_FAIL;
            blockBytes += got;
            if (blockBytes == kBlockSize && !ERROR_CHECK_BOOL(finishBlock())) return E_FAIL;
        }
        if (static_cast<size_t>(got) < kChunkSize) break;
    }
    // The last partial block, or the single empty block of an empty file.
    if ((blockBytes > 0 || blocks.empty()) && !ERROR_CHECK_BOOL(finishBlock())) return E_FAIL;
    if (!ERROR_CHECK_BOOL(whole.FinishHex(fileSha1))) return E_FAIL;
    return S_OK;
}

bool CutBlock(std::string_view sourcePath, std::string_view blockPath, int32_t blockNumber) {
    if (!ERROR_CHECK_BOOL(blockNumber >= 0)) return false;
    if (!ERROR_CHECK_BOOL(orvel::codec::IsRegularFile(sourcePath))) return false;
    File source = File::OpenRead(sourcePath);
    if (!ERROR_CHECK_BOOL(source.IsOpen())) return false;
    int64_t fileSize = source.Size();
    if (!ERROR_CHECK_BOOL(fileSize >= 0)) return false;
    int64_t offset = static_cast<int64_t>(blockNumber) * kBlockSize;
    // A block past the end does not exist (block 0 of an empty file does).
    if (!ERROR_CHECK_BOOL(offset < fileSize || (offset == 0 && fileSize == 0))) return false;
    if (!ERROR_CHECK_BOOL(source.Seek(offset))) return false;
    int64_t remaining = std::min<int64_t>(kBlockSize, fileSize - offset);

    // Cut beside the destination and moved in whole: a failure (a full disk, a
    // file that shrank) leaves no partial block file in its place.
    platform::ScopedFile staged(SiblingPath(blockPath, TempName()));
    File block = File::Create(staged.path());
    if (!ERROR_CHECK_BOOL(block.IsOpen())) return false;
    auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
    while (remaining > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(remaining, kChunkSize));
        ssize_t got = source.ReadFull(buffer.get(), want);
        if (!ERROR_CHECK_BOOL(got >= 0)) return false;
        if (static_cast<size_t>(got) != want) {
            // The file shrank under us: a short block would be stored under the
            // identifier of the full one, so this is a failure, not just a note.
            LOGF(0, "CutBlock: short read, %zd of %zu bytes", got, want);
            return false;
        }
        if (!ERROR_CHECK_BOOL(block.WriteAll(buffer.get(), want))) return false;
        remaining -= got;
    }
    if (!ERROR_CHECK_BOOL(block.Close()) || !ERROR_CHECK_BOOL(orvel::codec::MoveReplace(staged.path(), blockPath)))
        return false;
    staged.Keep();
    return true;
}

namespace {

void YieldProcessor() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace

HRESULT FileSha1(std::string_view path, std::string& sha1) {
    File file = File::OpenRead(path);
    if (!ERROR_CHECK_BOOL(file.IsOpen())) return E_FAIL;
    Digest digest(platform::DigestKind::Sha1);
    if (!ERROR_CHECK_BOOL(digest.Ok())) return E_FAIL;
    auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
    unsigned chunks = 0;
    for (;;) {
        const ssize_t read = file.ReadFull(buffer.get(), kChunkSize);
        if (!ERROR_CHECK_BOOL(read >= 0)) return E_FAIL;
        const size_t got = static_cast<size_t>(read);
        if (got > 0 && !ERROR_CHECK_BOOL(digest.Update(buffer.get(), got))) return E_FAIL;
        // Long hashes leave the processor to other work now and then.
        if (++chunks % 20 == 0) YieldProcessor();
        if (got < kChunkSize) break;
    }
    YieldProcessor();
    std::string hex;
    if (!ERROR_CHECK_BOOL(digest.FinishHex(hex))) return E_FAIL;
    sha1 = std::move(hex);
    return S_OK;
}
