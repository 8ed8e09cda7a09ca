// Secure URLs are verified: an untrusted certificate and a certificate for another
// host name both fail; the same server passes once its certificate is trusted.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <thread>

#include "httpclient/curl_helper.h"
#include "httpclient/http_fixture.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* c) const { X509_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

// Writes a self-signed certificate whose subject alternative name is `san`
// ("IP:127.0.0.1" or "DNS:other.example") and its key as PEM files.
void MakeCertificate(const std::string& san, const std::string& certPath, const std::string& keyPath) {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key);
    std::unique_ptr<X509, X509Free> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("orvel test"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (auto [nid, value] :
         {std::pair{NID_subject_alt_name, san}, std::pair{NID_basic_constraints, std::string("critical,CA:TRUE")}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        ASSERT_NE(nullptr, ext);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
    std::unique_ptr<BIO, BioFree> certOut(BIO_new_file(certPath.c_str(), "w"));
    std::unique_ptr<BIO, BioFree> keyOut(BIO_new_file(keyPath.c_str(), "w"));
    ASSERT_TRUE(certOut && keyOut);
    PEM_write_bio_X509(certOut.get(), cert.get());
    PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

class HttpsTest : public HttpTest {
protected:
    void StartServer(const std::string& san) {
        m_cert = m_dir->File("cert.pem");
        std::string key = m_dir->File("key.pem");
        MakeCertificate(san, m_cert, key);
        m_server = std::make_unique<LoopbackServer>(m_cert, key);
        m_server->Http().Get("/secure", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("secret answer", "text/plain");
        });
        m_server->Start();
        m_port = m_server->Port();
        ASSERT_EQ(1, m_helper.InitHandle());
        m_helper.Reset(true);
    }
    void TearDown() override {
        m_server.reset();
        HttpTest::TearDown();
    }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/secure"; }

    std::unique_ptr<LoopbackServer> m_server;
    std::string m_cert;
    int m_port = 0;
    CCurlHelper m_helper;
};

TEST_F(HttpsTest, AnUntrustedCertificateIsRefused) {
    StartServer("IP:127.0.0.1");
    EXPECT_EQ(NetworkFailure, m_helper.Request_URL_GET(Url(), 10));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 60"));
    EXPECT_TRUE(m_helper.GetResponseText().empty());
    // Trusting the server's certificate makes the same request pass.
    m_helper.Reset(true);
    ASSERT_EQ(S_OK, m_helper.SetOption(CURLOPT_CAINFO, m_cert.c_str()));
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(Url(), 10));
    EXPECT_EQ("secret answer", m_helper.GetResponseText());
}

TEST_F(HttpsTest, ACertificateForAnotherHostIsRefused) {
    StartServer("DNS:other.example");
    ASSERT_EQ(S_OK, m_helper.SetOption(CURLOPT_CAINFO, m_cert.c_str()));
    EXPECT_EQ(NetworkFailure, m_helper.Request_URL_GET(Url(), 10));
    EXPECT_EQ(NetworkFailure, m_helper.SimpleDownLoadFile(Url(), m_dir->File("f"), 10));
    m_helper.AddFormField(FormCopyContents, "a", "1");
    EXPECT_EQ(NetworkFailure, m_helper.PostMutiForm(Url(), 10));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 60"));
}

}  // namespace
}  // namespace orvel::httptest
