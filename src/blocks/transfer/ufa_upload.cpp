#include "blocks/transfer/ufa_upload.h"

#include <fcntl.h>

#include <cinttypes>
#include <deque>
#include <future>
#include <cstdio>

#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/temp_folder_check.h"
#include "blocks/transfer/ufa_file.h"
#include "blocks/transfer/ufa_io.h"
#include "blocks/transfer/ufa_pool.h"
#include "blocks/transfer/ufa_progress.h"
#include "common/kv_helper.h"
#include "common/xml_helper.h"
#include "remotestorage/http_call.h"
#include "httpclient/connection_pool.h"
#include "httpclient/curl_wrapper.h"
#include "blocks/transfer/speed_reporter.h"
#include "log/log.h"
#include "platform/clock.h"

namespace {

constexpr std::string_view kTargetExist = "TargetExist";

std::string Decimal(int64_t n) { return std::to_string(n); }

}  // namespace

void UploadRequester::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("UploadRequester::Perform", &hr, "FileVer = %s, SizeOrg = %s, Id = %s, Sha1Org = %s", fileVer.c_str(),
                size.c_str(), fileId.c_str(), sha1.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("fileVer", fileVer);
    request.AddValue("size", size);
    request.AddValue("fileId", fileId);
    request.AddValue("sha1", sha1);
    request.AddValue("parentId", parentId);
    request.AddValue("name", name);
    std::string text = HttpRequestPost(*wrapper, ServiceUrl("/osvr/requestUpload/"), ufa::ApiHeaders(), ToXml(request));
    RecordTree answer = ufa::ParseXmlAnswer(text, "UploadRequester::Perform");
    stub = ufa::AnswerField(answer, "stub");
    url = ufa::AnswerField(answer, "url");
    if (!ufa::IsHttpUrl(url)) throw EXCEPT::ServerError("UploadRequester::Perform", "Bad block server URL: " + url);
    hr = S_OK;
}

std::string MetadataUploader::Body() const {
    std::string body = "{\"stub\":\"" + JsonEscape(stub) + "\",\"metas\":[";
    bool first = true;
    for (const auto& [index, block] : blocks) {
        if (!first) body += ',';
        first = false;
        body += "{\"index\":" + std::to_string(index) + ",\"md5\":\"" + JsonEscape(block.md5) + "\",\"blockId\":\"" +
                JsonEscape(MakeBlockId(block.size, block.sha1)) + "\"}";
    }
    body += "]}";
    return body;
}

void MetadataUploader::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("MetadataUploader::Perform", &hr, "Stub = %s BlockCount = %d", stub.c_str(),
                static_cast<int>(blocks.size()));
    std::string text = HttpRequestPost(*wrapper, url + "uploadMetadata", ufa::BlockServerHeaders(), Body());
    RecordTree answer = ufa::ParseJsonAnswer(text, "MetadataUploader::Perform");
    keys.clear();
    // The key table is the answer's first object-valued member, whatever its name.
    if (!answer.Children.empty())
        keys.insert(answer.Children.front().Attrs.begin(), answer.Children.front().Attrs.end());
    hr = S_OK;
}

const std::string& MetadataUploader::GetBlockKey(const std::string& blockId) const {
    auto it = keys.find(blockId);
    if (it == keys.end())
        throw EXCEPT::ServerError("MetadataUploader::GetBlockKey", "Block key not returned - Block info: " + blockId);
    return it->second;
}

std::string BlockUploader::RequestUrl() const {
    RecordTree query;
    query.AddValue("stub", stub);
    query.AddValue("sha1", sha1);
    query.AddValue("size", size);
    query.AddValue("index", index);
    return url + "uploadBlock?" + ToKv(query);
}

void BlockUploader::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("BlockUploader::Perform", &hr, "Url = %s, Stub = %s, BlockSHA1 = %s Index = %s", url.c_str(),
                stub.c_str(), sha1.c_str(), index.c_str());
    const uint32_t start = GetTickCountMs();
    std::string text = HttpUploadBuffer(*wrapper, RequestUrl(), body->data(), body->size(), *pace);
    ReportSpeedText(GetSpeedReporter(), url, static_cast<int>(GetTickCountMs() - start), size);
    ufa::ParseJsonAnswer(text, "BlockUploader::Perform");
    hr = S_OK;
}

void Committer::Perform() {
    HRESULT hr = E_FAIL;
    TRACE_SCOPE("Committer::Perform", &hr, "Stub = %s", stub.c_str());
    RecordTree request("Orvel");
    request.AddValue("token", token);
    request.AddValue("stub", stub);
    request.AddValue("modTime", modTime);
    // A commit changes state: it is sent again only when it never reached the service.
    std::string text = HttpRequestPost(*wrapper, ServiceUrl("/osvr/commit/"), ufa::ApiHeaders(), ToXml(request),
                                       RequestKind::ChangesState);
    RecordTree answer = ufa::ParseXmlAnswer(text, "Committer::Perform");
    fileVer = ufa::AnswerField(answer, "fileVer");
    fileId = ufa::AnswerField(answer, "fileId");
    hr = S_OK;
}

namespace {

// A block cut, checked and encoded, ready for the wire: `cut` says whether it
// could be read as listed, `hr` whether it encoded.
struct PreparedBlock {
    int32_t index = 0;
    ufa::CutResult cut = ufa::CutResult::Ok;
    HRESULT hr = S_OK;
    EncodedBlock encoded;
};

// Reads block `index` of the source, checks it against the block list and
// encodes it in memory. Runs on a worker; raises nothing.
PreparedBlock PrepareBlock(int fd, std::string_view name, int32_t index, const BlockRecord& block,
                           const std::string& key, ufa::BufferPool& buffers) {
    PreparedBlock out;
    out.index = index;
    std::vector<uint8_t> plain = buffers.Take();
    const int64_t offset = static_cast<int64_t>(index - 1) * kBlockSize;
    out.cut = ufa::ReadAndCheckBlock(fd, offset, block.size, block.sha1, plain);
    if (out.cut == ufa::CutResult::Ok) {
        const bool compress = CompressPolicyBuffer(name, plain.data(), plain.size());
        out.encoded.bytes = buffers.Take();
        out.hr = EncodeBlockMemory(plain.data(), plain.size(), compress, block.sha1, key, out.encoded);
    }
    buffers.Give(std::move(plain));
    return out;
}

void UploadFile(const UploadRequest& args, std::string& outFileId, std::string& outFileVer) {
    // One connection object for every request of the transfer.
    CurlWrapper wrapper;
    const BlockPace pace = ReadBlockPace();
    // The caller hears from the transfer steadily from its first request on:
    // nothing done yet of the local file's size, until the block list is known.
    ufa::TransferMeter meter(args.callback, args.context, false, static_cast<double>(args.fileSize));
    wrapper.SetProgressCallback(&ufa::TransferMeter::OnIdleProgress, &meter);

    UploadRequester requester;
    requester.wrapper = &wrapper;
    requester.token = args.token;
    requester.fileVer = args.fileVer;
    requester.size = Decimal(args.fileSize);
    requester.fileId = args.fileId.empty() ? std::string("0") : std::string(args.fileId);
    requester.sha1 = args.sha1;
    requester.parentId = args.sendEmptyParentId ? std::string() : std::string(args.parentId);
    requester.name = args.name;
    ufa::PerformWithRetry([&] { requester.Perform(); });

    MetadataUploader metadata;
    metadata.wrapper = &wrapper;
    metadata.token = args.token;
    metadata.stub = requester.stub;
    metadata.url = requester.url;
    for (size_t i = 0; i < args.blocks.size(); ++i)
        metadata.blocks.emplace(static_cast<int32_t>(i + 1), args.blocks[i]);
    ufa::PerformWithRetry([&] { metadata.Perform(); });

    // The blocks to send, in index order; held ones count as done at once.
    std::vector<std::pair<int32_t, const std::string*>> toSend;
    for (const auto& [index, block] : metadata.blocks) {
        const std::string& key = metadata.GetBlockKey(MakeBlockId(block.size, block.sha1));
        if (key == kTargetExist)
            meter.AddPlain(block.size);  // the service already holds it
        else
            toSend.emplace_back(index, &key);
    }

    if (!toSend.empty()) {
        platform::UniqueFd source = platform::ActiveFileSystem().OpenRead(args.localPath);
        if (!source.valid()) throw EXCEPT::FileSysError("UFA_FILE::UploadFile", "Cut block");
        // Workers encode the blocks ahead of the one on the wire; at most
        // (workers + 2) blocks are in memory at once.
        ufa::BufferPool buffers;  // before the workers: they end first
        ufa::WorkerPool pool(TransferWorkerThreads());
        // One worker: each block finished before the next request, as written.
        const size_t window = pool.Workers() > 1 ? static_cast<size_t>(pool.Workers()) + 1 : 1;
        std::deque<std::future<PreparedBlock>> ahead;
        ufa::DrainOnExit drain(ahead);
        size_t next = 0;
        wrapper.SetProgressCallback(&ufa::TransferMeter::OnBlockProgress, &meter);
        for (size_t sent = 0; sent < toSend.size(); ++sent) {
            while (next < toSend.size() && ahead.size() < window) {
                const int32_t index = toSend[next].first;
                const BlockRecord& block = metadata.blocks.at(index);
                const std::string& key = *toSend[next].second;
                const int fd = source.get();
                const std::string_view name = args.name;
                ahead.push_back(pool.Submit([fd, name, index, &block, &key, &buffers] {
                    return PrepareBlock(fd, name, index, block, key, buffers);
                }));
                ++next;
            }
            PreparedBlock prepared = ufa::WaitTicking(ahead.front(), meter, "UFA_FILE::UploadFile");
            ahead.pop_front();
            switch (prepared.cut) {
                case ufa::CutResult::Ok:
                    break;
                case ufa::CutResult::IoError:
                    throw EXCEPT::FileSysError("UFA_FILE::UploadFile", "Cut block");
                case ufa::CutResult::Changed:
                    // Sending it would commit bytes that do not match the block list.
                    LOGF(0,
                         "UFA_FILE::UploadFile Block %d of %s no longer matches the block list "
                         "(the file changed since the list was made); upload stopped",
                         prepared.index, args.localPath.c_str());
                    throw EXCEPT::FileSysError("UFA_FILE::UploadFile", "Block changed since the block list");
            }
            if (FAILED(prepared.hr)) throw EXCEPT::FileReadError("UFA_FILE_UploadFile", "Encode block", prepared.hr);
            const BlockRecord& block = metadata.blocks.at(prepared.index);
            BlockUploader uploader;
            uploader.stub = requester.stub;
            uploader.url = requester.url;
            uploader.size = Decimal(static_cast<int64_t>(prepared.encoded.bytes.size()));
            uploader.sha1 = prepared.encoded.sha1;
            uploader.index = Decimal(prepared.index);
            uploader.body = &prepared.encoded.bytes;
            uploader.wrapper = &wrapper;
            uploader.pace = &pace;
            meter.StartBlock(block.size, static_cast<double>(prepared.encoded.bytes.size()));
            ufa::PerformWithRetry([&] { uploader.Perform(); });
            meter.FinishBlock();
            buffers.Give(std::move(prepared.encoded.bytes));
            if (meter.Report() == E_FAIL) throw EXCEPT::TaskCancel("UFA_FILE::UploadFile");
        }
        wrapper.SetProgressCallback(&ufa::TransferMeter::OnIdleProgress, &meter);
    }

    Committer committer;
    committer.wrapper = &wrapper;
    committer.token = args.token;
    committer.stub = requester.stub;
    committer.modTime = args.modTime;
    ufa::PerformWithRetry([&] { committer.Perform(); });
    outFileVer = committer.fileVer;
    outFileId = committer.fileId;
    meter.Finish();
}

}  // namespace

HRESULT UploadFileGuarded(const UploadRequest& request, TransferResult& result) {
    if (HRESULT hr = CheckTempFolder(request.tempFolder); FAILED(hr)) return hr;
    try {
        ConnectionScope connections;  // every request of the upload shares its connections
        UploadFile(request, result.fileId, result.fileVer);
        return S_OK;
    } catch (...) {
        return ufa::ResultForTransferFailure("UFAUploadFailed", &result.conflict);
    }
}
