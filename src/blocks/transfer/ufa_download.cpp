#include "blocks/transfer/ufa_download.h"

#include <cstdio>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/ufa_file.h"
#include "blocks/transfer/ufa_fused.h"
#include "blocks/transfer/ufa_io.h"
#include "common/xml_helper.h"
#include "remotestorage/http_call.h"
#include "httpclient/connection_pool.h"
#include "httpclient/curl_wrapper.h"
#include "infocollection/info_collection.h"
#include "log/log.h"
#include "platform/clock.h"

void DownloadRequester::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE(previousVersion ? "DownloadRequester::PerformDownload_PrevVer"
                                : "DownloadRequester::PerformDownload",
                &hr, "Id = %s", fileId.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("fileId", fileId);
    CurlWrapper wrapper;
    std::string text = HttpRequestPost(
        wrapper,
        ServiceUrl(previousVersion ? "/osvr/requestDownloadPreviousVer/" : "/osvr/requestDownload/"),
        ufa::ApiHeaders(), ToXml(request));
    RecordTree answer = ufa::ParseXmlAnswer(text, "DownloadRequester::_Perform");
    stub = ufa::AnswerField(answer, "stub");
    url = ufa::AnswerField(answer, "url");
    fileVer = ufa::AnswerField(answer, "fileVer");
    sha1 = ufa::AnswerField(answer, "sha1");
    modTime = ufa::AnswerField(answer, "modTime");
    opVer = std::atoi(ufa::AnswerField(answer, "opVer").c_str());
    if (!ufa::IsHttpUrl(url))
        throw EXCEPT::ServerError("DownloadRequester::_Perform", "Bad block server URL: " + url);
    hr = S_OK;
}

std::string MetadataDownloader::Body() const
{
    return "{\"stub\":\"" + JsonEscape(stub) + "\"}";
}

void MetadataDownloader::ReadBlocks(const RecordTree& answer)
{
    blocks.clear();
    totalSize = 0;
    for (const RecordTree& group : answer.Children) {
        if (!ufa::IsHttpUrl(group.Key))
            throw EXCEPT::ServerError("MetadataDownloader::Perform",
                                      "Bad block server URL: " + group.Key);
        for (const RecordTree& item : group.Children) {
            BlockDownloadRecord record;
            record.url = group.Key;
            record.sha1 = item.GetAttr("sha1");
            record.id = item.GetAttr("id");
            record.blockId = item.GetAttr("blockId");
            record.fileKey = item.GetAttr("fileKey");
            const std::string indexText = item.GetAttr("index");
            if (!ufa::IsValidBlockId(record.blockId))
                throw EXCEPT::ServerError("MetadataDownloader::Perform",
                                          "Bad block identifier: " + record.blockId);
            if (!ufa::ParseIndex(indexText, record.index) || record.index < 1)
                throw EXCEPT::ServerError("MetadataDownloader::Perform",
                                          "Bad block index: " + indexText);
            record.size = BlockIdSize(record.blockId);
            if (blocks.emplace(record.index, record).second)
                totalSize += record.size;
        }
    }
}

void MetadataDownloader::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("MetadataDownloader::Perform", &hr, "Stub = %s URL = %s", stub.c_str(), url.c_str());
    CurlWrapper wrapper;
    std::string text =
        HttpRequestPost(wrapper, url + "downloadMetadata2", ufa::BlockServerHeaders(), Body());
    ReadBlocks(ufa::ParseJsonAnswer(text, "MetadataDownloader::Perform"));
    hr = S_OK;
}

std::string BlockDownloader::Body() const
{
    return "{\"stub\":\"" + JsonEscape(stub) + "\",\"id\":\"" + JsonEscape(id) + "\"}";
}

void BlockDownloader::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("BlockDownloader::Perform", &hr, "Id = %-s Stub = %s", id.c_str(), stub.c_str());
    CurlWrapper wrapper(ufa::DownloadProgressAdapter, state);
    const uint32_t start = GetTickCountMs();
    HttpDownloadFile(wrapper, url + "downloadBlock2", path, ufa::BlockServerHeaders(), Body());
    const int64_t size = ufa::FileSize(path);
    if (size >= 0)
        ReportSpeedNumbers(GetSpeedReporter(), url, static_cast<int>(GetTickCountMs() - start),
                           static_cast<int>(size));
    hr = S_OK;
}

namespace {

constexpr HRESULT kDropped = E_OV_NETWORK_ERROR;

enum class BlockOutcome { Done, Dropped, DecodeFailed };

void LogDecodeFailure(const BlockDownloadRecord& block)
{
    LOGF(0, "Fatal error on decode block. BlockId=%s, BlockCheckSHA1=%s", block.blockId.c_str(),
         block.sha1.c_str());
}

// Decodes a downloaded block into its done file and checks the plain bytes
// against the identifier (size and SHA-1). S_OK, or the failure with no done file left.
HRESULT DecodeBlock(const BlockDownloadRecord& block, const std::string& doneFile,
                    const std::string& downloadFile)
{
    HRESULT hr = DecodeFile(doneFile, block.fileKey, downloadFile);
    if (SUCCEEDED(hr)) {
        int64_t size = 0;
        std::string sha1;
        if (!ufa::HashFile(doneFile, size, sha1) || size != block.size ||
            sha1 != std::string_view(block.blockId).substr(6))
            hr = E_FAIL;
    }
    if (FAILED(hr)) {
        ufa::RemoveFile(doneFile);
        LogDecodeFailure(block);
    }
    return hr;
}

// Checks a downloaded block against its listed SHA-1 and decodes it into its
// done file. Plain current-format blocks take one fused pass; the rest go
// through the general decoder.
BlockOutcome CheckAndDecode(const BlockDownloadRecord& block, const std::string& doneFile,
                            const std::string& downloadFile)
{
    const std::string_view plainSha1 = std::string_view(block.blockId).substr(6);
    switch (ufa::DecodePlainBlock(downloadFile, block.fileKey, block.sha1, doneFile, block.size,
                                  plainSha1)) {
    case ufa::FusedDecode::Ok:
        return BlockOutcome::Done;
    case ufa::FusedDecode::Dropped:
        LOGF(5, "UFA_FILE::Download Block %d dropped: its SHA-1 is not the listed %s", block.index,
             block.sha1.c_str());
        return BlockOutcome::Dropped;
    case ufa::FusedDecode::Failed:
        LogDecodeFailure(block);
        return BlockOutcome::DecodeFailed;
    case ufa::FusedDecode::NotHandled:
        break;
    }
    int64_t size = 0;
    std::string stored;
    if (!ufa::HashFile(downloadFile, size, stored) || !ufa::HexEqualsNoCase(stored, block.sha1)) {
        LOGF(5, "UFA_FILE::Download Block %d dropped: SHA-1 %s, listed %s", block.index,
             stored.c_str(), block.sha1.c_str());
        return BlockOutcome::Dropped;
    }
    return SUCCEEDED(DecodeBlock(block, doneFile, downloadFile)) ? BlockOutcome::Done
                                                                 : BlockOutcome::DecodeFailed;
}

// Concatenates the done files into a file beside the target, checks the
// whole-file SHA-1 and only then replaces the target.
HRESULT Assemble(const std::vector<std::string>& doneFiles, const std::string& targetPath,
                 const std::string& expectedSha1)
{
    ufa::ScopedFile assembled(SiblingPath(targetPath, TempName()));
    ufa::Sha1 hash;
    {
        ufa::FileWriter out(assembled.path());
        std::vector<char> buffer(kChunkSize);
        for (const std::string& done : doneFiles) {
            ufa::FileReader in(done);
            for (;;) {
                size_t n = in.Read(buffer.data(), buffer.size());
                if (n == 0)
                    break;
                hash.Update(buffer.data(), n);
                out.Write(buffer.data(), n);
            }
        }
        out.Close();
    }
    const std::string sha1 = hash.HexDigest();
    if (!ufa::HexEqualsNoCase(sha1, expectedSha1)) {
        LOGF(0, "UFA_FILE::Download The assembled file does not match its SHA-1 (got %s, want %s); "
                "target left unchanged",
             sha1.c_str(), expectedSha1.c_str());
        // The blocks themselves are suspect: the next run fetches them again.
        for (const std::string& done : doneFiles)
            ufa::RemoveFile(done);
        return kDropped;
    }
    if (std::rename(assembled.path().c_str(), targetPath.c_str()) != 0)
        throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + targetPath, E_FAIL);
    assembled.Release();
    return S_OK;
}

HRESULT Download(ProgressCallback callback, void* context, std::string_view token,
                 std::string_view fileId, std::string& modTime, const std::string& targetPath,
                 std::string& sha1, std::string& fileVer, int32_t& opVer,
                 const std::string& tempFolder, bool previousVersion)
{
    DownloadRequester requester;
    requester.token = token;
    requester.fileId = fileId;
    requester.previousVersion = previousVersion;
    ufa::PerformWithRetry([&] { requester.Perform(); });
    fileVer = requester.fileVer;
    sha1 = requester.sha1;
    modTime = requester.modTime;
    opVer = requester.opVer;

    MetadataDownloader metadata;
    metadata.stub = requester.stub;
    metadata.url = requester.url;
    ufa::PerformWithRetry([&] { metadata.Perform(); });

    ufa::ProgressState progress;
    progress.dlTotal = static_cast<double>(metadata.totalSize);
    progress.callback = callback;
    progress.context = context;
    bool allGood = true;
    std::vector<std::string> doneFiles;
    for (const auto& [index, block] : metadata.blocks) {
        std::string doneFile = tempFolder + "/" + block.blockId + ".done";
        doneFiles.push_back(doneFile);
        const int64_t doneSize = ufa::FileSize(doneFile);
        if (doneSize == block.size) {
            progress.dlBase += block.size;  // decoded by an earlier run
            continue;
        }
        if (doneSize >= 0)
            ufa::RemoveFile(doneFile);  // not what a finished block looks like

        ufa::ScopedFile downloadFile(TempPath(tempFolder));
        BlockDownloader downloader;
        downloader.stub = requester.stub;
        downloader.url = block.url;
        downloader.id = block.id;
        downloader.path = downloadFile.path();
        downloader.state = &progress;
        ufa::PerformWithRetry([&] { downloader.Perform(); });

        // Decoded under a fresh name and renamed: a done file is always whole,
        // also for another download sharing the temporary folder.
        ufa::ScopedFile decoded(TempPath(tempFolder));
        switch (CheckAndDecode(block, decoded.path(), downloadFile.path())) {
        case BlockOutcome::Done:
            if (std::rename(decoded.path().c_str(), doneFile.c_str()) != 0)
                throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + doneFile, E_FAIL);
            decoded.Release();
            progress.dlBase += block.size;
            break;
        case BlockOutcome::Dropped:
            allGood = false;
            break;
        case BlockOutcome::DecodeFailed:
            return E_FAIL;
        }
    }
    if (!allGood) {
        LOGF(0, "UFA_FILE::Download Some blocks dropped because of network error.");
        return kDropped;
    }
    HRESULT hr = Assemble(doneFiles, targetPath, requester.sha1);
    if (FAILED(hr))
        return hr;
    for (const std::string& done : doneFiles)
        ufa::RemoveFile(done);
    return S_OK;
}

}  // namespace

HRESULT DownloadGuarded(ProgressCallback callback, void* context, std::string_view token,
                        std::string_view fileId, std::string& modTime,
                        const std::string& targetPath, std::string& sha1, std::string& fileVer,
                        int32_t& opVer, const std::string& tempFolder, bool previousVersion)
{
    try {
        ConnectionScope connections;  // every request of the download shares its connections
        return Download(callback, context, token, fileId, modTime, targetPath, sha1, fileVer, opVer,
                        tempFolder, previousVersion);
    } catch (...) {
        return ufa::ResultForTransferFailure("UFADownloadFailed", nullptr);
    }
}
