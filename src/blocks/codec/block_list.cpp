// Block list, block cutting and whole-file SHA-1.
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "blocks/codec/file_io.h"
#include "common/settings.h"
#include "log/log.h"

using orvel::codec::Digest;
using orvel::codec::File;

namespace {

// The same list on several cores, as a pipeline. A fixed set of threads, the
// caller among them, each takes whichever task is ready: the whole-file SHA-1
// of the next block in file order, a read of the next block into a free
// buffer, or the SHA-1 or the MD5 of a block already read. Memory: at most
// workers + 2 blocks, in buffers kept for the whole call.
class BlockListPipeline {
public:
    BlockListPipeline(int fd, int workers) : m_fd(fd), m_workers(workers), m_slots(static_cast<size_t>(workers) + 2) {}

    HRESULT Run(std::vector<BlockRecord>& blocks, std::string& fileSha1);

private:
    enum class Task { None, Whole, Read, Sha1, Md5 };
    struct Job {
        Task task = Task::None;
        size_t slot = 0;
    };
    // One buffer of the ring; block i always goes into slot i % size.
    struct Slot {
        std::unique_ptr<uint8_t[]> bytes;  // allocated on first use, then reused
        int64_t block = -1;                // -1: free
        size_t size = 0;
        bool ready = false;  // read done
        int running = 0;     // tasks under way on the bytes
        bool wholeDone = false, sha1Taken = false, md5Taken = false, sha1Done = false, md5Done = false;
        BlockRecord record;
    };

    void Work() noexcept;
    Job Take();
    void Finish(const Job& job, ssize_t got, std::string&& hex);
    void Release(Slot& slot);
    bool Finished() const;
    void Fail(bool& flag);

    const int m_fd;
    const int m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Slot> m_slots;
    std::vector<BlockRecord> m_records;
    Digest m_whole{platform::DigestKind::Sha1};  // fed by one task at a time, in block order
    bool m_wholeBusy = false;
    int64_t m_wholeNext = 0;  // next block for the whole-file SHA-1
    int64_t m_readNext = 0;   // next block to read
    // Blocks in the list: known at the first short read (a file that shrinks
    // ends at its first short block, one that grows at its old end).
    int64_t m_limit = std::numeric_limits<int64_t>::max();
    bool m_readFailed = false, m_digestFailed = false, m_outOfMemory = false;
    ssize_t m_failedRead = 0;
};

void BlockListPipeline::Fail(bool& flag) {
    std::lock_guard lock(m_mutex);
    flag = true;
    m_wake.notify_all();
}

bool BlockListPipeline::Finished() const {
    if (m_readFailed || m_digestFailed || m_outOfMemory) return true;
    if (m_wholeNext < m_limit) return false;
    // Slots past the end may still be busy; only the list's own blocks count.
    return std::none_of(m_slots.begin(), m_slots.end(),
                        [this](const Slot& s) { return s.block >= 0 && s.block < m_limit; });
}

BlockListPipeline::Job BlockListPipeline::Take() {
    const size_t count = m_slots.size();
    if (!m_wholeBusy && m_wholeNext < m_limit) {
        const size_t i = static_cast<size_t>(m_wholeNext % static_cast<int64_t>(count));
        Slot& s = m_slots[i];
        if (s.block == m_wholeNext && s.ready) {
            m_wholeBusy = true;
            ++s.running;
            return {Task::Whole, i};
        }
    }
    if (m_readNext < m_limit) {
        const size_t i = static_cast<size_t>(m_readNext % static_cast<int64_t>(count));
        Slot& s = m_slots[i];
        if (s.block < 0) {
            s.block = m_readNext++;
            return {Task::Read, i};
        }
    }
    // The oldest block first, so that its buffer comes free first; the longer
    // MD5 before the SHA-1, so that the last tasks are short ones.
    Slot* oldest = nullptr;
    for (Slot& s : m_slots)
        if (s.ready && s.block < m_limit && !(s.sha1Taken && s.md5Taken) && (!oldest || s.block < oldest->block))
            oldest = &s;
    if (!oldest) return {};
    ++oldest->running;
    const size_t i = static_cast<size_t>(oldest - m_slots.data());
    if (!oldest->md5Taken) {
        oldest->md5Taken = true;
        return {Task::Md5, i};
    }
    oldest->sha1Taken = true;
    return {Task::Sha1, i};
}

void BlockListPipeline::Release(Slot& s) {
    if (!s.ready || s.running > 0) return;
    if (s.block < m_limit) {
        if (!s.wholeDone || !s.sha1Done || !s.md5Done) return;
        const size_t index = static_cast<size_t>(s.block);
        if (m_records.size() <= index) m_records.resize(index + 1);
        s.record.size = static_cast<int32_t>(s.size);
        m_records[index] = std::move(s.record);
    }
    std::unique_ptr<uint8_t[]> bytes = std::move(s.bytes);
    s = Slot{};
    s.bytes = std::move(bytes);
}

void BlockListPipeline::Finish(const Job& job, ssize_t got, std::string&& hex) {
    Slot& s = m_slots[job.slot];
    switch (job.task) {
        case Task::Read:
            if (got < 0) {
                m_readFailed = true;
                m_failedRead = got;
                break;
            }
            s.size = static_cast<size_t>(got);
            s.ready = true;
            if (got < kBlockSize) {
                // A short or empty last block; an empty one only for an empty file.
                const int64_t end = got > 0 || s.block == 0 ? s.block + 1 : s.block;
                if (end < m_limit) {
                    m_limit = end;
                    for (Slot& other : m_slots) Release(other);
                }
            }
            break;
        case Task::Whole:
            m_wholeBusy = false;
            --s.running;
            if (got < 0) {
                m_digestFailed = true;
                break;
            }
            s.wholeDone = true;
            ++m_wholeNext;
            break;
        case Task::Sha1:
        case Task::Md5:
            --s.running;
            if (got < 0) {
                m_digestFailed = true;
                break;
            }
            if (job.task == Task::Sha1) {
                s.record.sha1 = std::move(hex);
                s.sha1Done = true;
            } else {
                s.record.md5 = std::move(hex);
                s.md5Done = true;
            }
            break;
        case Task::None:
            break;
    }
    Release(s);
    m_wake.notify_all();
}

void BlockListPipeline::Work() noexcept {
    try {
        Digest sha1(platform::DigestKind::Sha1), md5(platform::DigestKind::Md5);
        if (!sha1.Ok() || !md5.Ok()) return Fail(m_digestFailed);
        std::unique_lock lock(m_mutex);
        while (!Finished()) {
            const Job job = Take();
            if (job.task == Task::None) {
                m_wake.wait(lock);
                continue;
            }
            // The slot is this task's to use: its bytes do not change until
            // every task on them has finished.
            Slot& s = m_slots[job.slot];
            const int64_t block = s.block;
            const size_t size = s.size;
            uint8_t* bytes = s.bytes.get();
            lock.unlock();
            ssize_t result = 0;
            std::string hex;
            switch (job.task) {
                case Task::Read:
                    if (!bytes) {
                        // Not zeroed: fresh pages are touched only by the read.
                        s.bytes = std::make_unique_for_overwrite<uint8_t[]>(kBlockSize);
                        bytes = s.bytes.get();
                    }
                    result = platform::PreadAll(m_fd, bytes, kBlockSize, block * kBlockSize);
                    break;
                case Task::Whole:
                    result = m_whole.Update(bytes, size) ? 0 : -1;
                    break;
                case Task::Sha1:
                    result = sha1.Update(bytes, size) && sha1.FinishHex(hex) ? 0 : -1;
                    break;
                case Task::Md5:
                    result = md5.Update(bytes, size) && md5.FinishHex(hex) ? 0 : -1;
                    break;
                case Task::None:
                    break;
            }
            lock.lock();
            Finish(job, result, std::move(hex));
        }
    } catch (...) {
        // Out of memory (a buffer, a digest text, the list): the lock is released by now.
        Fail(m_outOfMemory);
    }
}

HRESULT BlockListPipeline::Run(std::vector<BlockRecord>& blocks, std::string& fileSha1) {
    if (!ERROR_CHECK_BOOL(m_whole.Ok())) return E_FAIL;
    {
        std::vector<std::jthread> helpers;
        try {
            helpers.reserve(static_cast<size_t>(m_workers) - 1);
            for (int i = 1; i < m_workers; ++i) helpers.emplace_back([this] { Work(); });
        } catch (const std::exception&) {
            // Fewer threads do the same work: every task can run on any of them.
            LOGF(5, "BuildBlockList: %zu of %d worker threads", helpers.size() + 1, m_workers);
        }
        Work();
    }
    const ssize_t got = m_failedRead;
    if (m_readFailed && !ERROR_CHECK_BOOL(got >= 0)) return E_FAIL;
    if (!ERROR_CHECK_BOOL(!m_digestFailed) || !ERROR_CHECK_BOOL(!m_outOfMemory)) return E_FAIL;
    m_records.resize(static_cast<size_t>(m_limit));
    blocks = std::move(m_records);
    if (!ERROR_CHECK_BOOL(m_whole.FinishHex(fileSha1))) return E_FAIL;
    return S_OK;
}

HRESULT BuildBlockListParallel(File& file, int workers, std::vector<BlockRecord>& blocks, std::string& fileSha1) {
    try {
        auto pipeline = std::make_unique<BlockListPipeline>(file.Fd(), workers);
        return pipeline->Run(blocks, fileSha1);
    } catch (const std::exception&) {
        // Only the setting up allocates outside the threads' own guard.
        LOGF(5, "BuildBlockList: out of memory");
        return E_FAIL;
    }
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
