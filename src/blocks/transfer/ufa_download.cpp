#include "blocks/transfer/ufa_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <future>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/temp_folder_check.h"
#include "blocks/transfer/ufa_file.h"
#include "blocks/transfer/ufa_io.h"
#include "blocks/transfer/ufa_pool.h"
#include "blocks/transfer/ufa_progress.h"
#include "common/xml_helper.h"
#include "remotestorage/http_call.h"
#include "httpclient/connection_pool.h"
#include "httpclient/curl_wrapper.h"
#include "blocks/transfer/speed_reporter.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/io.h"

void DownloadRequester::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE(previousVersion ? "DownloadRequester::PerformDownload_PrevVer" : "DownloadRequester::PerformDownload",
                &hr, "Id = %s", fileId.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("fileId", fileId);
    std::string text = HttpRequestPost(
        *wrapper, ServiceUrl(previousVersion ? "/osvr/requestDownloadPreviousVer/" : "/osvr/requestDownload/"),
        ufa::ApiHeaders(), ToXml(request));
    RecordTree answer = ufa::ParseXmlAnswer(text, "DownloadRequester::_Perform");
    stub = ufa::AnswerField(answer, "stub");
    url = ufa::AnswerField(answer, "url");
    fileVer = ufa::AnswerField(answer, "fileVer");
    sha1 = ufa::AnswerField(answer, "sha1");
    modTime = ufa::AnswerField(answer, "modTime");
    opVer = std::atoi(ufa::AnswerField(answer, "opVer").c_str());
    // The file's size, when the answer gives it as plain decimal digits (files above 4 GiB too).
    const std::string sizeText = ufa::AnswerField(answer, "size");
    if (!sizeText.empty() && sizeText.size() <= 18 && sizeText.find_first_not_of("0123456789") == std::string::npos)
        fileSize = std::stoll(sizeText);
    if (!ufa::IsHttpUrl(url)) throw EXCEPT::ServerError("DownloadRequester::_Perform", "Bad block server URL: " + url);
    hr = S_OK;
}

std::string MetadataDownloader::Body() const { return "{\"stub\":\"" + JsonEscape(stub) + "\"}"; }

void MetadataDownloader::ReadBlocks(const RecordTree& answer) {
    blocks.clear();
    listed.clear();
    totalSize = 0;
    for (const RecordTree& group : answer.Children) {
        if (!ufa::IsHttpUrl(group.Key))
            throw EXCEPT::ServerError("MetadataDownloader::Perform", "Bad block server URL: " + group.Key);
        for (const RecordTree& item : group.Children) {
            BlockDownloadRecord record;
            record.url = group.Key;
            record.sha1 = item.GetAttr("sha1");
            record.id = item.GetAttr("id");
            record.blockId = item.GetAttr("blockId");
            record.fileKey = item.GetAttr("fileKey");
            const std::string indexText = item.GetAttr("index");
            if (!ufa::IsValidBlockId(record.blockId))
                throw EXCEPT::ServerError("MetadataDownloader::Perform", "Bad block identifier: " + record.blockId);
            if (!ufa::ParseIndex(indexText, record.index) || record.index < 1)
                throw EXCEPT::ServerError("MetadataDownloader::Perform", "Bad block index: " + indexText);
            record.size = BlockIdSize(record.blockId);
            listed.push_back({record.index, record.blockId});
            if (blocks.emplace(record.index, record).second) totalSize += record.size;
        }
    }
}

void MetadataDownloader::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("MetadataDownloader::Perform", &hr, "Stub = %s URL = %s", stub.c_str(), url.c_str());
    std::string text = HttpRequestPost(*wrapper, url + "downloadMetadata2", ufa::BlockServerHeaders(), Body());
    ReadBlocks(ufa::ParseJsonAnswer(text, "MetadataDownloader::Perform"));
    hr = S_OK;
}

std::string BlockDownloader::Body() const {
    return "{\"stub\":\"" + JsonEscape(stub) + "\",\"id\":\"" + JsonEscape(id) + "\"}";
}

void BlockDownloader::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("BlockDownloader::Perform", &hr, "Id = %-s Stub = %s", id.c_str(), stub.c_str());
    const uint32_t start = GetTickCountMs();
    overflowed =
        !HttpDownloadBuffer(*wrapper, url + "downloadBlock2", ufa::BlockServerHeaders(), Body(), limit, *out, *pace);
    if (!overflowed)
        ReportSpeedNumbers(GetSpeedReporter(), url, static_cast<int>(GetTickCountMs() - start),
                           static_cast<int>(out->size()));
    hr = S_OK;
}

namespace {

constexpr HRESULT kDropped = E_OV_NETWORK_ERROR;

enum class BlockOutcome { Done, Dropped, DecodeFailed };

void LogDecodeFailure(const BlockDownloadRecord& block) {
    LOGF(0, "Fatal error on decode block. BlockId=%s, BlockCheckSHA1=%s", block.blockId.c_str(), block.sha1.c_str());
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t n) {
    platform::UniqueFd fd = platform::ActiveFileSystem().OpenWrite(path, platform::WriteMode::Exclusive);
    return fd.valid() && platform::WriteAll(fd.get(), data, n) && fd.Close();
}

// A block of this call: fetched and decoded now, or found done by an earlier
// (or a concurrent) run. Its plain bytes live in the call's own claim file,
// a hard link of (or the origin of) the shared "<blockId>.done".
struct BlockJob {
    const BlockDownloadRecord* block = nullptr;
    ufa::BufferPool* buffers = nullptr;  // where its buffers come from and go back to
    std::vector<uint8_t> stored;         // the answer as received
    std::vector<uint8_t> plain;          // the decoded block (filled on a worker)
    BlockOutcome outcome = BlockOutcome::Done;
};

// Checks the stored bytes against their listed SHA-1, decodes them and writes
// the claim file once. Runs on a worker; raises nothing.
BlockOutcome Decode(BlockJob& job, const std::string& claim, const std::string& tempFolder);

// Decodes, then shares the block under its identifier so that a rerun (also
// after a failure elsewhere in this one) finds it done.
BlockOutcome CheckAndDecode(BlockJob& job, const std::string& claim, const std::string& done,
                            const std::string& tempFolder) {
    const BlockOutcome outcome = Decode(job, claim, tempFolder);
    if (outcome == BlockOutcome::Done && !platform::ActiveFileSystem().Link(claim, done) && errno != EEXIST)
        LOGF(5, "UFA_FILE::Download Block %d not kept for a rerun (errno %d)", job.block->index, errno);
    return outcome;
}

BlockOutcome Decode(BlockJob& job, const std::string& claim, const std::string& tempFolder) {
    const BlockDownloadRecord& block = *job.block;
    const std::string stored = platform::Digest::Hex(platform::DigestKind::Sha1, job.stored.data(), job.stored.size());
    if (!ufa::HexEqualsNoCase(stored, block.sha1)) {
        LOGF(5, "UFA_FILE::Download Block %d dropped: SHA-1 %s, listed %s", block.index, stored.c_str(),
             block.sha1.c_str());
        return BlockOutcome::Dropped;
    }
    const std::string_view plainSha1 = std::string_view(block.blockId).substr(6);
    job.plain = job.buffers->Take();
    switch (DecodeBlockMemory(job.stored.data(), job.stored.size(), block.fileKey, block.size, plainSha1, job.plain)) {
        case MemoryDecode::Ok:
            break;
        case MemoryDecode::Failed:
            LogDecodeFailure(block);
            return BlockOutcome::DecodeFailed;
        case MemoryDecode::NotHandled: {
            // A legacy block: its archive reader works on files.
            platform::ScopedFile fetched(TempPath(tempFolder));
            platform::ScopedFile decoded(TempPath(tempFolder));
            int64_t size = 0;
            std::string sha1;
            if (!WriteWholeFile(fetched.path(), job.stored.data(), job.stored.size()) ||
                FAILED(DecodeFile(decoded.path(), block.fileKey, fetched.path())) ||
                !ufa::HashFile(decoded.path(), size, sha1) || size != block.size || sha1 != plainSha1) {
                LogDecodeFailure(block);
                return BlockOutcome::DecodeFailed;
            }
            if (!platform::ActiveFileSystem().Rename(decoded.path(), claim)) return BlockOutcome::DecodeFailed;
            decoded.Keep();
            job.buffers->Give(std::move(job.stored));
            ufa::FileReader reader(claim);
            job.plain.resize(static_cast<size_t>(block.size));
            if (reader.Read(job.plain.data(), job.plain.size()) != job.plain.size()) return BlockOutcome::DecodeFailed;
            return BlockOutcome::Done;
        }
    }
    job.buffers->Give(std::move(job.stored));
    if (WriteWholeFile(claim, job.plain.data(), job.plain.size())) return BlockOutcome::Done;
    // A full disk, most likely: the download fails and says why.
    LOGF(0, "UFA_FILE::Download Block %d not kept: writing it failed (errno %d)", block.index, errno);
    return BlockOutcome::DecodeFailed;
}

// The whole-file SHA-1, fed on the workers in block order: the job with
// sequence number n waits until the n jobs before it have had their turn.
// Jobs are queued in that order and the pool takes them first come first
// served, so the one whose turn it is has always started.
class OrderedHash {
public:
    template <class Feed>
    void Turn(size_t seq, Feed&& feed) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_turn.wait(guard, [&] { return m_next == seq; });
        try {
            if (!m_broken) feed(m_whole);
        } catch (...) {
            m_broken = true;
            Advance();
            throw;
        }
        Advance();
    }
    // A block that will not be part of the file: the hash is void from here.
    void Skip(size_t seq) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_turn.wait(guard, [&] { return m_next == seq; });
        m_broken = true;
        Advance();
    }
    // The download ends without this hash: the turns still queued pass at once.
    void Abandon() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_broken = true;
    }
    // Call once every job had its turn.
    std::string HexDigest() { return m_whole.HexDigest(); }

private:
    void Advance() {
        ++m_next;
        m_turn.notify_all();
    }
    std::mutex m_lock;
    std::condition_variable m_turn;
    size_t m_next = 0;
    bool m_broken = false;
    platform::Digest m_whole{platform::DigestKind::Sha1};
};

void HashFileInto(const std::string& path, platform::Digest& hash) {
    ufa::FileReader reader(path);
    std::vector<char> buffer(1 << 20);
    for (size_t n; (n = reader.Read(buffer.data(), buffer.size())) > 0;) hash.Update(buffer.data(), n);
}

// A fetched block on a worker: checked, decoded, its claim written, its
// plain bytes hashed in turn. Whatever happens, its turn passes.
BlockOutcome FetchedJob(BlockJob& job, size_t seq, OrderedHash& whole, const std::string& claim,
                        const std::string& done, const std::string& tempFolder) {
    BlockOutcome outcome = BlockOutcome::DecodeFailed;
    try {
        outcome = CheckAndDecode(job, claim, done, tempFolder);
    } catch (...) {
        whole.Skip(seq);
        throw;
    }
    if (outcome == BlockOutcome::Done)
        whole.Turn(seq, [&](platform::Digest& hash) { hash.Update(job.plain.data(), job.plain.size()); });
    else
        whole.Skip(seq);
    job.buffers->Give(std::move(job.plain));  // hashed and on disk: on to the next block
    return outcome;
}

HRESULT Download(ProgressCallback callback, void* context, std::string_view token, std::string_view fileId,
                 std::string& modTime, const std::string& targetPath, std::string& sha1, std::string& fileVer,
                 int32_t& opVer, const std::string& tempFolder, bool previousVersion) {
    // One connection object for every request of the transfer.
    CurlWrapper wrapper;
    const BlockPace pace = ReadBlockPace();
    // The caller hears from the transfer steadily from its first request on:
    // 0 of 0 until the checked block list gives the size.
    ufa::TransferMeter meter(callback, context, true, 0);
    wrapper.SetProgressCallback(&ufa::TransferMeter::OnIdleProgress, &meter);

    DownloadRequester requester;
    requester.wrapper = &wrapper;
    requester.token = token;
    requester.fileId = fileId;
    requester.previousVersion = previousVersion;
    ufa::PerformWithRetry([&] { requester.Perform(); });
    fileVer = requester.fileVer;
    sha1 = requester.sha1;
    modTime = requester.modTime;
    opVer = requester.opVer;

    MetadataDownloader metadata;
    metadata.wrapper = &wrapper;
    metadata.stub = requester.stub;
    metadata.url = requester.url;
    ufa::PerformWithRetry([&] { metadata.Perform(); });
    if (const std::string why = CheckBlockList(metadata.listed, requester.fileSize); !why.empty()) {
        LOGF(5, "Bad block list: %s", why.c_str());
        throw EXCEPT::ServerError("MetadataDownloader::Perform", "Bad block list: " + why);
    }

    meter.SetTotal(static_cast<double>(metadata.totalSize));
    // The call's own names for its blocks: a concurrent download through the
    // same folder may remove a shared done file, never a claim of this call.
    const std::string tag = TempName();
    std::vector<std::unique_ptr<platform::ScopedFile>> claims;
    std::vector<std::string> doneFiles;
    OrderedHash whole;  // fed in block order, on the workers
    size_t sequence = 0;
    bool allGood = true;

    ufa::BufferPool buffers;
    ufa::WorkerPool pool(TransferWorkerThreads());  // after `whole` and `buffers`: its jobs end first
    // One worker: each block finished before the next request, as written.
    const size_t window = pool.Workers() > 1 ? static_cast<size_t>(pool.Workers()) + 1 : 1;
    std::set<std::string> seen;  // block identifiers met so far
    // The jobs outlive the futures' drain: workers may still be on them.
    std::deque<std::unique_ptr<BlockJob>> jobs;
    std::deque<std::future<BlockOutcome>> futures;  // drained on any exit
    ufa::DrainOnExit drain(futures);
    // Destroyed before `drain` waits: blocks queued behind a failure or a cancel
    // are not hashed for nothing.
    struct AbandonOnExit {
        OrderedHash& hash;
        ~AbandonOnExit() { hash.Abandon(); }
    } abandon{whole};

    // Takes the oldest block off the pipeline with its outcome.
    auto complete = [&]() -> HRESULT {
        const BlockOutcome outcome = ufa::WaitTicking(futures.front(), meter, "UFA_FILE::Download");
        futures.pop_front();
        jobs.pop_front();  // only now: its worker is through with it
        switch (outcome) {
            case BlockOutcome::Done:
                return S_OK;
            case BlockOutcome::Dropped:
                allGood = false;
                return S_OK;
            case BlockOutcome::DecodeFailed:
                break;
        }
        return E_FAIL;
    };
    // A block done before (by an earlier run, or earlier in this file): its
    // claim is hashed in turn.
    auto queueDone = [&](std::unique_ptr<BlockJob> job, const std::string& claim) {
        jobs.push_back(std::move(job));
        const size_t seq = sequence++;
        futures.push_back(pool.Submit([seq, claim, &whole] {
            whole.Turn(seq, [&](platform::Digest& hash) { HashFileInto(claim, hash); });
            return BlockOutcome::Done;
        }));
    };

    for (const auto& [index, block] : metadata.blocks) {
        std::string doneFile = tempFolder + "/" + block.blockId + ".done";
        std::string claim = tempFolder + "/" + block.blockId + "." + tag;
        doneFiles.push_back(doneFile);
        auto job = std::make_unique<BlockJob>();
        job->block = &block;
        job->buffers = &buffers;
        if (!seen.insert(block.blockId).second) {
            // The same block twice in one file: the first one's claim serves both.
            meter.AddPlain(block.size);
            queueDone(std::move(job), claim);
            continue;
        }
        platform::FileSystem& fs = platform::ActiveFileSystem();
        const bool haveClaim = fs.Link(doneFile, claim);
        if (haveClaim) {
            if (fs.Size(claim) == block.size) {
                claims.push_back(std::make_unique<platform::ScopedFile>(claim));
                meter.AddPlain(block.size);  // decoded by an earlier run
                queueDone(std::move(job), claim);
                continue;
            }
            // Not what a finished block looks like.
            fs.Remove(claim);
            fs.Remove(doneFile);
        }
        claims.push_back(std::make_unique<platform::ScopedFile>(claim));

        BlockDownloader downloader;
        downloader.stub = requester.stub;
        downloader.url = block.url;
        downloader.id = block.id;
        downloader.limit = static_cast<size_t>(MaxBlockFileSize(block.size));
        job->stored = buffers.Take();
        downloader.out = &job->stored;
        downloader.wrapper = &wrapper;
        downloader.pace = &pace;
        wrapper.SetProgressCallback(&ufa::TransferMeter::OnBlockProgress, &meter);
        meter.StartBlock(block.size, 0);
        ufa::PerformWithRetry([&] { downloader.Perform(); });
        wrapper.SetProgressCallback(&ufa::TransferMeter::OnIdleProgress, &meter);
        meter.FinishBlock();  // its bytes are in; checking and decoding follow behind
        if (meter.Report() == E_FAIL) throw EXCEPT::TaskCancel("UFA_FILE::Download");
        if (downloader.overflowed) {
            LOGF(5,
                 "UFA_FILE::Download Block %d dropped: the answer is longer than any block file of "
                 "%d bytes",
                 block.index, block.size);
            allGood = false;
            whole.Abandon();  // the file cannot be whole; a repeat of this block has no claim to hash
            buffers.Give(std::move(job->stored));
            continue;
        }
        BlockJob* raw = job.get();
        jobs.push_back(std::move(job));
        const size_t seq = sequence++;
        futures.push_back(pool.Submit([raw, seq, claim, doneFile, &tempFolder, &whole] {
            return FetchedJob(*raw, seq, whole, claim, doneFile, tempFolder);
        }));
        // Completed blocks leave the pipeline; at most `window` wait behind the wire.
        while (futures.size() >= window) {
            if (FAILED(complete())) return E_FAIL;
        }
    }
    while (!jobs.empty()) {
        if (FAILED(complete())) return E_FAIL;
    }
    if (!allGood) {
        LOGF(0, "UFA_FILE::Download Some blocks dropped because of network error.");
        return kDropped;
    }

    const std::string got = whole.HexDigest();
    if (!ufa::HexEqualsNoCase(got, requester.sha1)) {
        LOGF(0,
             "UFA_FILE::Download The assembled file does not match its SHA-1 (got %s, want %s); "
             "target left unchanged",
             got.c_str(), requester.sha1.c_str());
        // The blocks themselves are suspect: the next run fetches them again.
        for (const std::string& done : doneFiles) platform::ActiveFileSystem().Remove(done);
        return kDropped;
    }
    // Assembled beside the target from the claims, and renamed only when whole.
    platform::FileSystem& fs = platform::ActiveFileSystem();
    platform::ScopedFile assembled(SiblingPath(targetPath, TempName()));
    {
        platform::UniqueFd out = fs.OpenWrite(assembled.path(), platform::WriteMode::Truncate);
        if (!out.valid())
            throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + assembled.path(), E_FAIL);
        for (const auto& [index, block] : metadata.blocks) {
            const std::string claim = tempFolder + "/" + block.blockId + "." + tag;
            platform::UniqueFd in = fs.OpenRead(claim);
            if (!in.valid()) throw EXCEPT::FileReadError("FileReader::FileReader", "Open path: " + claim, E_FAIL);
            if (!platform::AppendAll(out.get(), in.get(), fs))
                throw EXCEPT::FileWriteError("FileWriter::Write", "Append block", E_FAIL);
            if (meter.Report() == E_FAIL)  // a large file takes a while: keep ticking
                throw EXCEPT::TaskCancel("UFA_FILE::Download");
        }
        if (!out.Close()) throw EXCEPT::FileWriteError("FileWriter::Write", "Close", E_FAIL);
    }
    if (!fs.Rename(assembled.path(), targetPath))
        throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + targetPath, E_FAIL);
    assembled.Keep();
    for (const std::string& done : doneFiles) platform::ActiveFileSystem().Remove(done);
    meter.Finish();
    return S_OK;
}

}  // namespace

HRESULT DownloadGuarded(const DownloadRequest& request, TransferResult& result) {
    if (HRESULT hr = CheckTempFolder(request.tempFolder); FAILED(hr)) return hr;
    try {
        ConnectionScope connections;  // every request of the download shares its connections
        return Download(request.callback, request.context, request.token, request.fileId, result.modTime,
                        request.targetPath, result.sha1, result.fileVer, result.opVer, request.tempFolder,
                        request.previousVersion);
    } catch (...) {
        return ufa::ResultForTransferFailure("UFADownloadFailed", nullptr);
    }
}
