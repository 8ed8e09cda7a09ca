// The remote-storage object: one method per service operation, each turning its
// input record into exactly one HTTP request and the answer into a RecordTree
// and an HRESULT.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"
#include "remotestorage/taskdata.h"
#include "remotestorage/records.h"
#include "transport/transport.h"

class ConnectionPool;

// Interface identifiers understood by QueryInterface.
inline constexpr std::string_view IID_IUnknown = "IUnknown";
inline constexpr std::string_view IID_IRemoteStorage = "IRemoteStorage";

// The slot order below is fixed; never reorder or insert in the middle.
class IRemoteStorage {
public:
    // 0-2
    virtual HRESULT QueryInterface(std::string_view iid, void** ppv) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // 3-4
    virtual HRESULT Initialize() = 0;
    virtual HRESULT Uninitialize() = 0;
    // 5-10: account and session
    virtual HRESULT Login(const TaskData_Login& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    virtual HRESULT ReLogin(const TaskData_ReLogin& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    virtual HRESULT Get189LoginReqValue(std::string& value) = 0;
    virtual HRESULT TeleUdbLogin(const TaskData_TeleUdbLogin& TaskData, RecordTree& answer) = 0;
    virtual HRESULT GetSpace(const TaskData_GetSpace& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    virtual HRESULT GetMaxVers(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    // 11
    virtual HRESULT PushNotify(const TaskData_PushNotify& TaskData, ProgressCallback cb, void* ctx,
                               RecordTree& answer) = 0;
    // 12-17: change feeds and share list
    virtual HRESULT GetNormalItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                          RecordTree& answer) = 0;
    virtual HRESULT GetDeletedItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                           RecordTree& answer) = 0;
    virtual HRESULT GetAllShareFile(const TaskData_AllShareFile& TaskData, ProgressCallback cb, void* ctx,
                                    RecordTree& answer) = 0;
    virtual HRESULT SyncSharers(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                RecordTree& answer) = 0;
    virtual HRESULT GetNormalShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                        RecordTree& answer) = 0;
    virtual HRESULT GetDeletedShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                         RecordTree& answer) = 0;
    // 18-25: items
    virtual HRESULT Dir(const TaskData_Dir& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    virtual HRESULT Delete(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx) = 0;
    virtual HRESULT DeleteEx(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) = 0;
    virtual HRESULT DeleteVerTree(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) = 0;
    virtual HRESULT Rename(const TaskData_Rename& TaskData, ProgressCallback cb, void* ctx) = 0;
    virtual HRESULT Move(const TaskData_Move& TaskData, ProgressCallback cb, void* ctx) = 0;
    virtual HRESULT NewFolder(const TaskData_DirectoryAdd& TaskData, ProgressCallback cb, void* ctx,
                              RecordTree& answer) = 0;
    virtual HRESULT GetItemInfo(const TaskData_GetItemInfo& TaskData, ProgressCallback cb, void* ctx,
                                RecordTree& answer) = 0;
    // 26-30: sharing
    virtual HRESULT ShareFile(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                              bool writable, bool sendMail, std::string_view szMailContent, ProgressCallback cb,
                              void* ctx, int32_t timeoutSec, std::string& answerText) = 0;
    virtual HRESULT ShareCancel(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                                bool unused, ProgressCallback cb, void* ctx, int32_t timeoutSec,
                                std::string& answerText) = 0;
    virtual HRESULT RegistAndShare(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                                   bool writable, bool sendMail, std::string_view szMailContent, ProgressCallback cb,
                                   void* ctx, int32_t timeoutSec, std::string& answerText) = 0;
    virtual HRESULT GetSharedFileInfo(std::string_view szToken, std::string_view szFileId, ProgressCallback cb,
                                      void* ctx, int32_t timeoutSec, std::string& answerText) = 0;
    virtual HRESULT ExitShare(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    // 31-33
    virtual HRESULT SetFileModTime(const TaskData_SetModTime& TaskData, ProgressCallback cb, void* ctx,
                                   RecordTree& answer) = 0;
    virtual HRESULT SetUserProp(std::string_view szToken, std::string_view szKey, std::string_view szValue,
                                ProgressCallback cb, void* ctx, RecordTree& answer) = 0;
    virtual HRESULT GetUserProp(std::string_view szToken, std::string_view szKey, ProgressCallback cb, void* ctx,
                                RecordTree& answer) = 0;
    // 34-40: auxiliary
    virtual HRESULT SubmitServerCommandData(std::string_view szPath, std::string_view szData, ProgressCallback cb,
                                            void* ctx, RecordTree& answer) = 0;
    virtual HRESULT UploadServerCommandFile(std::string_view szFileId, std::string_view szUser, std::string_view szPath,
                                            std::string_view szUrl, ProgressCallback cb, void* ctx, RecordTree& answer,
                                            bool command) = 0;
    virtual HRESULT GetInvideURL(std::string_view szToken, std::string_view szEmail, ProgressCallback cb, void* ctx,
                                 RecordTree& answer) = 0;
    virtual HRESULT GetMessages(std::string_view szUserId, std::string_view szEmail, std::string_view szVersion,
                                RecordTree& answer) = 0;
    // The argument is not used by the probe.
    virtual HRESULT CheckProxyServer(std::string_view unused) = 0;
    virtual HRESULT ForkToken(std::string_view szToken, std::string_view szDeviceId, std::string_view szClientName,
                              RecordTree& answer) = 0;
    virtual HRESULT QueryNetSpeedLimit(std::string_view szUserId, ProgressCallback cb, void* ctx,
                                       RecordTree& answer) = 0;
    // 41: raw request; the answer text is returned unjudged. A null body makes a GET.
    virtual HRESULT HttpRequest(std::string_view szUri, const std::string* body, ProgressCallback cb, void* ctx,
                                std::string& answerText, int32_t timeoutSec) = 0;

protected:
    // 42: objects are destroyed through Release only.
    virtual ~IRemoteStorage() = default;
};

class CRemoteStorage final : public IRemoteStorage {
public:
    CRemoteStorage();
    CRemoteStorage(const CRemoteStorage&) = delete;
    CRemoteStorage& operator=(const CRemoteStorage&) = delete;

    HRESULT QueryInterface(std::string_view iid, void** ppv) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT Initialize() override;
    HRESULT Uninitialize() override;

    HRESULT Login(const TaskData_Login& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT ReLogin(const TaskData_ReLogin& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT Get189LoginReqValue(std::string& value) override;
    HRESULT TeleUdbLogin(const TaskData_TeleUdbLogin& TaskData, RecordTree& answer) override;
    HRESULT GetSpace(const TaskData_GetSpace& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT GetMaxVers(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT PushNotify(const TaskData_PushNotify& TaskData, ProgressCallback cb, void* ctx,
                       RecordTree& answer) override;
    HRESULT GetNormalItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                  RecordTree& answer) override;
    HRESULT GetDeletedItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                   RecordTree& answer) override;
    HRESULT GetAllShareFile(const TaskData_AllShareFile& TaskData, ProgressCallback cb, void* ctx,
                            RecordTree& answer) override;
    HRESULT SyncSharers(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT GetNormalShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                RecordTree& answer) override;
    HRESULT GetDeletedShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                 RecordTree& answer) override;
    HRESULT Dir(const TaskData_Dir& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT Delete(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx) override;
    HRESULT DeleteEx(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) override;
    HRESULT DeleteVerTree(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) override;
    HRESULT Rename(const TaskData_Rename& TaskData, ProgressCallback cb, void* ctx) override;
    HRESULT Move(const TaskData_Move& TaskData, ProgressCallback cb, void* ctx) override;
    HRESULT NewFolder(const TaskData_DirectoryAdd& TaskData, ProgressCallback cb, void* ctx,
                      RecordTree& answer) override;
    HRESULT GetItemInfo(const TaskData_GetItemInfo& TaskData, ProgressCallback cb, void* ctx,
                        RecordTree& answer) override;
    HRESULT ShareFile(std::string_view szToken, std::string_view szFileId, std::string_view szSharers, bool writable,
                      bool sendMail, std::string_view szMailContent, ProgressCallback cb, void* ctx, int32_t timeoutSec,
                      std::string& answerText) override;
    HRESULT ShareCancel(std::string_view szToken, std::string_view szFileId, std::string_view szSharers, bool unused,
                        ProgressCallback cb, void* ctx, int32_t timeoutSec, std::string& answerText) override;
    HRESULT RegistAndShare(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                           bool writable, bool sendMail, std::string_view szMailContent, ProgressCallback cb, void* ctx,
                           int32_t timeoutSec, std::string& answerText) override;
    HRESULT GetSharedFileInfo(std::string_view szToken, std::string_view szFileId, ProgressCallback cb, void* ctx,
                              int32_t timeoutSec, std::string& answerText) override;
    HRESULT ExitShare(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT SetFileModTime(const TaskData_SetModTime& TaskData, ProgressCallback cb, void* ctx,
                           RecordTree& answer) override;
    HRESULT SetUserProp(std::string_view szToken, std::string_view szKey, std::string_view szValue, ProgressCallback cb,
                        void* ctx, RecordTree& answer) override;
    HRESULT GetUserProp(std::string_view szToken, std::string_view szKey, ProgressCallback cb, void* ctx,
                        RecordTree& answer) override;
    HRESULT SubmitServerCommandData(std::string_view szPath, std::string_view szData, ProgressCallback cb, void* ctx,
                                    RecordTree& answer) override;
    HRESULT UploadServerCommandFile(std::string_view szFileId, std::string_view szUser, std::string_view szPath,
                                    std::string_view szUrl, ProgressCallback cb, void* ctx, RecordTree& answer,
                                    bool command) override;
    HRESULT GetInvideURL(std::string_view szToken, std::string_view szEmail, ProgressCallback cb, void* ctx,
                         RecordTree& answer) override;
    HRESULT GetMessages(std::string_view szUserId, std::string_view szEmail, std::string_view szVersion,
                        RecordTree& answer) override;
    HRESULT CheckProxyServer(std::string_view unused) override;
    HRESULT ForkToken(std::string_view szToken, std::string_view szDeviceId, std::string_view szClientName,
                      RecordTree& answer) override;
    HRESULT QueryNetSpeedLimit(std::string_view szUserId, ProgressCallback cb, void* ctx, RecordTree& answer) override;
    HRESULT HttpRequest(std::string_view szUri, const std::string* body, ProgressCallback cb, void* ctx,
                        std::string& answerText, int32_t timeoutSec) override;

    // The factory used for every request's transport object (tests swap it).
    void SetTransportFactory(TransportFactory factory) { m_pfnTransport = factory; }

    // The three flags of _HttpRequest.
    struct CallFlags {
        bool reportTimeout;
        bool fold;
        bool checkResult;
    };

    // The shared pipeline: one request, the answer parsed into `answer`, judged
    // and possibly folded. A null body makes a GET.
    HRESULT _HttpRequest(ProgressCallback cb, void* ctx, const std::string& header, const std::string& url,
                         const std::string* body, RecordTree& answer, int32_t timeoutSec, CallFlags flags);

private:
    ~CRemoteStorage() override;

    // A fresh transport object for one request, with the callback installed
    // when one is given; logs and returns the factory's failure.
    // `repeatable`: the request only reads, so any transient fault may be retried.
    HRESULT MakeTransport(ProgressCallback cb, void* ctx, TransportPtr& transport, bool repeatable = false);

    std::atomic<uint32_t> m_refCount{1};
    TransportFactory m_pfnTransport;
    // The object's requests share connections; made with the first transport.
    std::shared_ptr<ConnectionPool> m_connections;
    std::string m_str;  // unused narrow string kept with the object
};

// Creates a CRemoteStorage with a reference count of 1.
HRESULT CreateRemoteStorage(IRemoteStorage** pp);

// Number of CRemoteStorage objects alive in this module.
long LiveObjectCount();
