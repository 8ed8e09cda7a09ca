#include "blocks/transfer/ufa_upload.h"

#include <cinttypes>
#include <cstdio>

#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/ufa_file.h"
#include "blocks/transfer/ufa_io.h"
#include "common/kv_helper.h"
#include "common/xml_helper.h"
#include "remotestorage/http_call.h"
#include "httpclient/connection_pool.h"
#include "httpclient/curl_wrapper.h"
#include "infocollection/info_collection.h"
#include "log/log.h"
#include "platform/clock.h"

namespace {

constexpr std::string_view kTargetExist = "TargetExist";

std::string Decimal(int64_t n)
{
    return std::to_string(n);
}

}  // namespace

void UploadRequester::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("UploadRequester::Perform", &hr, "FileVer = %s, SizeOrg = %s, Id = %s, Sha1Org = %s",
                fileVer.c_str(), size.c_str(), fileId.c_str(), sha1.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("fileVer", fileVer);
    request.AddValue("size", size);
    request.AddValue("fileId", fileId);
    request.AddValue("sha1", sha1);
    request.AddValue("parentId", parentId);
    request.AddValue("name", name);
    CurlWrapper wrapper;
    std::string text = HttpRequestPost(wrapper, ServiceUrl("/osvr/requestUpload/"),
                                       ufa::ApiHeaders(), ToXml(request));
    RecordTree answer = ufa::ParseXmlAnswer(text, "UploadRequester::Perform");
    stub = ufa::AnswerField(answer, "stub");
    url = ufa::AnswerField(answer, "url");
    if (!ufa::IsHttpUrl(url))
        throw EXCEPT::ServerError("UploadRequester::Perform", "Bad block server URL: " + url);
    hr = S_OK;
}

std::string MetadataUploader::Body() const
{
    std::string body = "{\"stub\":\"" + JsonEscape(stub) + "\",\"metas\":[";
    bool first = true;
    for (const auto& [index, block] : blocks) {
        if (!first)
            body += ',';
        first = false;
        body += "{\"index\":" + std::to_string(index) + ",\"md5\":\"" + JsonEscape(block.md5) +
                "\",\"blockId\":\"" + JsonEscape(MakeBlockId(block.size, block.sha1)) + "\"}";
    }
    body += "]}";
    return body;
}

void MetadataUploader::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("MetadataUploader::Perform", &hr, "Stub = %s BlockCount = %d", stub.c_str(),
                static_cast<int>(blocks.size()));
    CurlWrapper wrapper;
    std::string text =
        HttpRequestPost(wrapper, url + "uploadMetadata", ufa::BlockServerHeaders(), Body());
    RecordTree answer = ufa::ParseJsonAnswer(text, "MetadataUploader::Perform");
    keys.clear();
    // The key table is the answer's first object-valued member, whatever its name.
    if (!answer.Children.empty())
        keys.insert(answer.Children.front().Attrs.begin(), answer.Children.front().Attrs.end());
    hr = S_OK;
}

const std::string& MetadataUploader::GetBlockKey(const std::string& blockId) const
{
    auto it = keys.find(blockId);
    if (it == keys.end())
        throw EXCEPT::ServerError("MetadataUploader::GetBlockKey",
                                  "Block key not returned - Block info: " + blockId);
    return it->second;
}

std::string BlockUploader::RequestUrl() const
{
    RecordTree query;
    query.AddValue("stub", stub);
    query.AddValue("sha1", sha1);
    query.AddValue("size", size);
    query.AddValue("index", index);
    return url + "uploadBlock?" + ToKv(query);
}

void BlockUploader::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("BlockUploader::Perform", &hr, "Url = %s, Stub = %s, BlockSHA1 = %s Index = %s",
                url.c_str(), stub.c_str(), sha1.c_str(), index.c_str());
    CurlWrapper wrapper(ufa::UploadProgressAdapter, state);
    const uint32_t start = GetTickCountMs();
    std::string text = HttpUploadFile(wrapper, RequestUrl(), path, ufa::BlockServerHeaders());
    ReportSpeedText(GetSpeedReporter(), url, static_cast<int>(GetTickCountMs() - start), size);
    ufa::ParseJsonAnswer(text, "BlockUploader::Perform");
    hr = S_OK;
}

void Committer::Perform()
{
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("Committer::Perform", &hr, "Stub = %s", stub.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("stub", stub);
    request.AddValue("modTime", modTime);
    CurlWrapper wrapper;
    // A commit changes state: it is sent again only when it never reached the service.
    std::string text = HttpRequestPost(wrapper, ServiceUrl("/osvr/commit/"), ufa::ApiHeaders(),
                                       ToXml(request), RequestKind::ChangesState);
    RecordTree answer = ufa::ParseXmlAnswer(text, "Committer::Perform");
    fileVer = ufa::AnswerField(answer, "fileVer");
    fileId = ufa::AnswerField(answer, "fileId");
    hr = S_OK;
}

namespace {

struct UploadArgs {
    std::string_view fileId, fileVer, sha1, parentId, token, name, modTime;
    const std::string& localPath;
    bool sendEmptyParentId;
    int64_t fileSize;
    const std::vector<BlockRecord>& blocks;
    const std::string& tempFolder;
    ProgressCallback callback;
    void* context;
};

// Cuts, checks, encodes and sends block `index` (from 1).
void SendBlock(const UploadArgs& args, const UploadRequester& session, int32_t index,
               const BlockRecord& block, const std::string& key, ufa::ProgressState& progress,
               std::vector<uint8_t>& bytes)
{
    ufa::ScopedFile blockFile(TempPath(args.tempFolder));
    const int64_t offset = static_cast<int64_t>(index - 1) * kBlockSize;
    switch (ufa::CutAndCheckBlock(args.localPath, blockFile.path(), offset, block.size, block.sha1,
                                  bytes)) {
    case ufa::CutResult::Ok:
        break;
    case ufa::CutResult::IoError:
        throw EXCEPT::FileSysError("UFA_FILE::UploadFile", "Cut block");
    case ufa::CutResult::Changed:
        // Sending it would commit bytes that do not match the block list.
        LOGF(0, "UFA_FILE::UploadFile Block %d of %s no longer matches the block list "
                "(the file changed since the list was made); upload stopped",
             index, args.localPath.c_str());
        throw EXCEPT::FileSysError("UFA_FILE::UploadFile", "Block changed since the block list");
    }

    // The block is in hand: an uncompressed block is encrypted and hashed from
    // memory in one pass (EncodeBlockBuffer); compressed ones go through EncodeFile.
    bool compress = false;
    HRESULT hr = CompressPolicy(args.name, blockFile.path(), compress);
    if (FAILED(hr))
        throw EXCEPT::FileReadError("UFA_FILE_UploadFile", "Encode block", hr);
    ufa::ScopedFile encoded(TempPath(args.tempFolder));
    int64_t encodedSize = 0;
    std::string encodedSha1;
    if (!compress) {
        hr = EncodeBlockBuffer(bytes.data(), bytes.size(), block.sha1, key, encoded.path(),
                               &encodedSha1);
        if (FAILED(hr))
            throw EXCEPT::FileReadError("UFA_FILE_UploadFile", "Encode block", hr);
        encodedSize = EncodedBlockSize(bytes.size());
    } else {
        hr = EncodeFile(key, args.name, block.size, block.sha1, blockFile.path(), encoded.path());
        if (FAILED(hr))
            throw EXCEPT::FileReadError("UFA_FILE_UploadFile", "Encode block", hr);
        if (!ufa::HashFile(encoded.path(), encodedSize, encodedSha1)) {
            ERROR_CHECK_COM(E_FAIL);
            throw EXCEPT::FileReadError("UFAFILE::UploadFile", "Get encode block sha1", E_FAIL);
        }
    }

    BlockUploader uploader;
    uploader.stub = session.stub;
    uploader.url = session.url;
    uploader.size = Decimal(encodedSize);
    uploader.sha1 = encodedSha1;
    uploader.index = Decimal(index);
    uploader.path = encoded.path();
    uploader.state = &progress;
    ufa::PerformWithRetry([&] { uploader.Perform(); });
    progress.ulBase += block.size;
}

void UploadFile(const UploadArgs& args, std::string& outFileId, std::string& outFileVer)
{
    UploadRequester requester;
    requester.token = args.token;
    requester.fileVer = args.fileVer;
    requester.size = Decimal(args.fileSize);
    requester.fileId = args.fileId.empty() ? std::string("0") : std::string(args.fileId);
    requester.sha1 = args.sha1;
    requester.parentId = args.sendEmptyParentId ? std::string() : std::string(args.parentId);
    requester.name = args.name;
    ufa::PerformWithRetry([&] { requester.Perform(); });

    MetadataUploader metadata;
    metadata.token = args.token;
    metadata.stub = requester.stub;
    metadata.url = requester.url;
    for (size_t i = 0; i < args.blocks.size(); ++i)
        metadata.blocks.emplace(static_cast<int32_t>(i + 1), args.blocks[i]);
    ufa::PerformWithRetry([&] { metadata.Perform(); });

    ufa::ProgressState progress;
    progress.ulTotal = static_cast<double>(args.fileSize);
    progress.callback = args.callback;
    progress.context = args.context;
    std::vector<uint8_t> bytes;  // the block in flight, reused: at most 4 MiB
    for (const auto& [index, block] : metadata.blocks) {
        const std::string& key = metadata.GetBlockKey(MakeBlockId(block.size, block.sha1));
        if (key == kTargetExist) {
            progress.ulBase += block.size;  // the service already holds it
            continue;
        }
        SendBlock(args, requester, index, block, key, progress, bytes);
    }

    Committer committer;
    committer.token = args.token;
    committer.stub = requester.stub;
    committer.modTime = args.modTime;
    ufa::PerformWithRetry([&] { committer.Perform(); });
    outFileVer = committer.fileVer;
    outFileId = committer.fileId;
}

}  // namespace

HRESULT UploadFileGuarded(std::string_view fileId, std::string_view fileVer, std::string_view sha1,
                          std::string_view parentId, std::string_view token, std::string_view name,
                          std::string_view modTime, const std::string& localPath,
                          bool sendEmptyParentId, int64_t fileSize, std::string& outFileId,
                          std::string& outFileVer, const std::vector<BlockRecord>& blocks,
                          const std::string& tempFolder, ProgressCallback callback, void* context,
                          RecordTree& conflict)
{
    const UploadArgs args{fileId,    fileVer,           sha1,     parentId, token,
                          name,      modTime,           localPath, sendEmptyParentId,
                          fileSize,  blocks,            tempFolder, callback, context};
    try {
        ConnectionScope connections;  // every request of the upload shares its connections
        UploadFile(args, outFileId, outFileVer);
        return S_OK;
    } catch (...) {
        return ufa::ResultForTransferFailure("UFAUploadFailed", &conflict);
    }
}
