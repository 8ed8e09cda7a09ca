// Transfers over real networks: HTTPS end to end with a private CA, one
// connection per transfer, and transient faults ridden out by retries.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"
#include "httpclient/network_error.h"
#include "httpclient/retry_policy.h"
#include "remotestorage/remote_storage.h"
#include "support/emulator_process.h"
#include "support/tls_certs.h"
#include "test_support.h"

using namespace xfertest;
using orvel::testsupport::EmulatorProcess;
using orvel::testsupport::TestCertificates;

namespace {

class NetworkTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!EmulatorAvailable()) GTEST_SKIP() << "orvel-emulator is not available";
        SetRetryWaitScaleForTesting(0.01);  // the planned waits are still logged in full
    }
    void TearDown() override { SetRetryWaitScaleForTesting(1.0); }

    void StartEmulator(const std::vector<std::string>& args) {
        emulator = std::make_unique<EmulatorProcess>(ORVEL_EMULATOR_PATH);
        std::string error;
        ASSERT_TRUE(emulator->Start(args, error)) << error;
    }

    HRESULT Login(const std::string& root, std::string& outToken) {
        UseServiceRoot(root, extraSettings);
        IRemoteStorage* storage = nullptr;
        EXPECT_EQ(S_OK, CreateRemoteStorage(&storage));
        TaskData_Login task;
        task.strUser = "demo";
        task.strPassword = "demo";
        task.strDeviceId = "dev";
        task.strClientName = "test";
        task.strClientVersion = "1.0.0.0";
        RecordTree answer;
        HRESULT hr = storage->Login(task, nullptr, nullptr, answer);
        if (hr == S_OK) {
            outToken = answer.GetValue("token");
            TaskData_Dir dir;
            dir.strToken = outToken;
            dir.strDirId = "0";
            RecordTree listing;
            hr = storage->Dir(dir, nullptr, nullptr, listing);
        }
        storage->Release();
        return hr;
    }

    HRESULT Upload(const std::string& bytes, const std::string& name, std::string& id) {
        const std::string path = files.File(name);
        WriteFileBytes(path, bytes);
        std::vector<BlockRecord> blocks;
        std::string sha1;
        EXPECT_EQ(S_OK, BuildBlockList(path, blocks, sha1));
        TransferResult result;
        const HRESULT hr = UploadFileGuarded(
            NewUpload(token, name, path, static_cast<int64_t>(bytes.size()), blocks, sha1, temp.Path()), result);
        id = result.fileId;
        return hr;
    }

    HRESULT Download(const std::string& id, const std::string& target) {
        TransferResult result;
        return DownloadGuarded({.token = token,
                                .fileId = id,
                                .targetPath = target,
                                .tempFolder = temp.Path(),
                                .previousVersion = false,
                                .callback = nullptr,
                                .context = nullptr},
                               result);
    }

    std::string TodaysLog() const { return log.Text(); }

    std::unique_ptr<EmulatorProcess> emulator;
    std::string token, extraSettings;
    TempDir files, temp, out, certs;
    LogCapture log;
};

TEST_F(NetworkTransfer, HttpsEndToEndWithAPrivateCaAndOneConnectionPerTransfer) {
    TestCertificates tls;
    std::string error;
    if (!orvel::testsupport::MakeTestCertificates(certs.Path(), tls, error))
        GTEST_SKIP() << "openssl failed: " << error;
    StartEmulator({"--tls-cert", tls.serverCert, "--tls-key", tls.serverKey});
    const std::string root = "https://" + emulator->HostPort();

    // Not trusted yet: sign-in fails and says why.
    EXPECT_EQ(E_OV_NETWORK_ERROR, Login(root, token));
    EXPECT_EQ(0u, ThreadNetworkError().rfind("certificate not trusted (" + emulator->HostPort() + "): ", 0))
        << ThreadNetworkError();
    EXPECT_NE(std::string::npos, TodaysLog().find("Network request to " + emulator->HostPort() +
                                                  " failed: SSL certificate problem: unable to get local issuer"));

    // A CaFile that cannot be read is said so.
    extraSettings = "CaFile=" + certs.File("missing.pem") + "\n";
    EXPECT_EQ(E_OV_NETWORK_ERROR, Login(root, token));
    EXPECT_NE(std::string::npos,
              TodaysLog().find("The CA file named by CaFile cannot be read: " + certs.File("missing.pem")));

    extraSettings = "CaFile=" + tls.caCert + "\n";
    const int beforeLogin = emulator->Connections();
    ASSERT_EQ(S_OK, Login(root, token));
    ASSERT_FALSE(token.empty());
    // Sign-in and listing on one remote-storage object share a connection.
    EXPECT_EQ(beforeLogin + 2, emulator->Connections());
    EXPECT_TRUE(ThreadNetworkError().empty());

    const std::string bytes = RandomBytes(3 * 4194304 + 5, 71);
    const int before = emulator->Connections();
    std::string id;
    ASSERT_EQ(S_OK, Upload(bytes, "tls.mp4", id));
    const int afterUpload = emulator->Connections();
    ASSERT_EQ(S_OK, Download(id, out.File("tls.mp4")));
    const int afterDownload = emulator->Connections();
    EXPECT_TRUE(bytes == ReadFileBytes(out.File("tls.mp4")));
    // Each query is one connection of its own; each transfer (API host and
    // block server on one port) takes exactly one more.
    EXPECT_EQ(before + 2, afterUpload);
    EXPECT_EQ(afterUpload + 2, afterDownload);
}

TEST_F(NetworkTransfer, ACertificateForAnotherHostIsRefusedEvenFromATrustedCa) {
    TestCertificates tls;
    std::string error;
    if (!orvel::testsupport::MakeTestCertificates(certs.Path(), tls, error))
        GTEST_SKIP() << "openssl failed: " << error;
    LoopbackServer server(tls.otherCert, tls.otherKey);
    server.Post(".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<Orvel result=\"ok\"/>", "text/xml");
    });
    server.Start();
    const int port = server.Port();
    extraSettings = "CaFile=" + tls.caCert + "\n";
    EXPECT_EQ(E_OV_NETWORK_ERROR, Login("https://127.0.0.1:" + std::to_string(port), token));
    EXPECT_EQ(0u, server.Requests().size());
    const std::string hostPort = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(0u, ThreadNetworkError().rfind("certificate not trusted (" + hostPort + "): ", 0))
        << ThreadNetworkError();
    EXPECT_NE(std::string::npos, TodaysLog().find("Network request to " + hostPort +
                                                  " failed: SSL: no alternative certificate subject name matches"));
}

TEST_F(NetworkTransfer, DroppedConnectionsAnd503OnBlocksAreRiddenOut) {
    StartEmulator({});
    token = emulator->Login();
    ASSERT_FALSE(token.empty());
    UseServiceRoot(emulator->HostPort());
    const std::string bytes = RandomBytes(3 * 4194304 + 9, 72);
    ASSERT_TRUE(emulator->AddFault(R"({"rules":[{"path":"uploadBlock","drop":true},
                                                {"path":"uploadBlock","status":503},
                                                {"path":"uploadMetadata","status":502}]})"));
    std::string id;
    ASSERT_EQ(S_OK, Upload(bytes, "faults.mp4", id));
    ASSERT_TRUE(emulator->AddFault(R"({"rules":[{"path":"downloadBlock2","drop":true},
                                                {"path":"downloadBlock2","status":503},
                                                {"path":"requestDownload","status":500}]})"));
    ASSERT_EQ(S_OK, Download(id, out.File("faults.mp4")));
    EXPECT_TRUE(bytes == ReadFileBytes(out.File("faults.mp4")));
    const std::string log = TodaysLog();
    EXPECT_NE(std::string::npos, log.find("after: HTTP 503 from " + emulator->HostPort()));
    EXPECT_NE(std::string::npos, log.find("after: HTTP 502 from " + emulator->HostPort()));
    EXPECT_NE(std::string::npos, log.find("Retrying network request (1 of 3) in "));

    // Without retries the first fault ends the transfer, as before.
    UseServiceRoot(emulator->HostPort(), "NetworkRetries=0\n");
    ASSERT_TRUE(emulator->AddFault(R"({"path":"downloadBlock2","drop":true})"));
    EXPECT_EQ(E_OV_NETWORK_ERROR, Download(id, out.File("again.mp4")));
}

}  // namespace
