#include "remotestorage/operation.h"

#include "common/kv_helper.h"
#include "common/xml_helper.h"
#include "infocollection/info_collection.h"
#include "log/log.h"
#include "remotestorage/http_call.h"

std::string PlainHeaders() {
    std::string header;
    BuildRequestHeaders(header, false, "2");
    return header;
}

RecordTree RequestTree(std::initializer_list<Field> fields) {
    RecordTree tree("Orvel");
    for (const auto& [key, value] : fields) tree.AddValue(key, value);
    return tree;
}

std::string BuildUrl(Root root, std::string_view path) {
    switch (root) {
        case Root::Command:
            return CommandUrl(path);
        case Root::Push:
            return PushUrl(path);
        case Root::Web:
            return WebUrl(path);
        case Root::Service:
            break;
    }
    return ServiceUrl(path);
}

HRESULT RunRequest(CRemoteStorage& self, const OpSpec& op, const std::string* body, ProgressCallback cb, void* ctx,
                   RecordTree& answer) {
    std::string header;
    BuildRequestHeaders(header, op.gzip, op.version);

    std::string url = BuildUrl(op.root, op.path);
    if (op.appendIsEnt) AppendIsEnt(url);

    HRESULT hr = self._HttpRequest(op.passCallback ? cb : nullptr, op.passCallback ? ctx : nullptr, header, url, body,
                                   answer, op.timeoutSec, op.flags);
    if (op.logFailure) ERROR_CHECK_COM(hr);
    return hr;
}

HRESULT RunOperation(CRemoteStorage& self, const OpSpec& op, const RecordTree& request, ProgressCallback cb, void* ctx,
                     RecordTree& answer) {
    if (op.body == Body::Get) return RunRequest(self, op, nullptr, cb, ctx, answer);
    const std::string body = op.body == Body::Form ? ToKv(request) : ToXml(request);
    return RunRequest(self, op, &body, cb, ctx, answer);
}

void FileFailureItem(std::string_view infotype, HRESULT hr, const RecordTree& answer) {
    const std::string detail = hr == E_OV_NETWORK_ERROR ? std::string("Network") : answer.GetAttr("result");
    CInfoCollection::Instance().CollectInfo("Detail", infotype, detail);
}
