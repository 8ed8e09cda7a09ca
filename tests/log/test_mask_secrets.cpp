// Credentials never reach the log file, in whatever form a request, an answer
// or a URL carries them; everything else of the line stays as written.
#include "log/mask_secrets.h"

#include "log_fixture.h"

TEST(MaskSecrets, MasksEveryWrittenFormOfACredential) {
    const std::string key(64, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"<Orvel><token>T1</token><password>p w</password><userId>7</userId></Orvel>",
         "<Orvel><token>***</token><password>***</password><userId>7</userId></Orvel>"},
        {"<stub>S</stub><fileKey>" + key + "</fileKey>", "<stub>***</stub><fileKey>***</fileKey>"},
        {R"({"stub":"S\"x","id":"b2","fileKey" : "k"})", R"({"stub":"***","id":"b2","fileKey" : "***"})"},
        {"<Orvel token=\"T\" result='ok' Password='x'>", "<Orvel token=\"***\" result='ok' Password='***'>"},
        {"token=T&uid=1&password=P", "token=***&uid=1&password=***"},
        {"http://h/blk/uploadBlock?stub=S1&sha1=ab&index=2", "http://h/blk/uploadBlock?stub=***&sha1=ab&index=2"},
        {"CTraceStack In, MetadataDownloader::Perform : Stub = S URL = http://h/a/",
         "CTraceStack In, MetadataDownloader::Perform : Stub = *** URL = http://h/a/"},
        {"Url = u, Stub = S1, BlockSHA1 = x", "Url = u, Stub = ***, BlockSHA1 = x"},
        {"ProxyServerPassword: hunter2\r\nX-Token: t", "ProxyServerPassword: ***\r\nX-Token: ***"},
        {R"({"keys":{"0000ffabc":")" + key + R"("}})", R"({"keys":{"0000ffabc":"***"}})"},
        {"cut at the limit <token>abc", "cut at the limit <token>***"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(out, MaskSecrets(in)) << in;
    // Names of calls and checks, identifiers and hashes are not credentials.
    for (const std::string& text : std::initializer_list<std::string>{
             "CTraceStack In, CRemoteStorage::ForkToken() : ", "*ASSERT*: !IsStrEmpty(TaskData.strToken)",
             "ERROR_CHECK_BOOLEX:!IsStrEmpty(strToken)", "<token></token>", "clientTokenExpired", "token",
             "Get Register Key/Value HKEY_CURRENT_USER\\Software\\Tavik\\ProxyServerPassword Failed!",
             "BlockId=00000a" + std::string(40, 'f') + ", sha1=" + std::string(40, 'e'), std::string(63, 'a'),
             std::string(65, 'a')})
        EXPECT_EQ(text, MaskSecrets(text));
}

TEST_F(LogTest, TheWrittenLineCarriesTheMaskedMessage) {
    orvel::logtest::SetThreshold(9);
    LOGF(0, "unknown xml: %s", "<Orvel><token>secret-T</token></Orvel>");
    const std::string text = LogText();
    EXPECT_NE(text.find("unknown xml: <Orvel><token>***</token></Orvel>"), std::string::npos) << text;
    EXPECT_EQ(text.find("secret-T"), std::string::npos);
}

TEST(MaskSecrets, ALimitKeepsTheSameHeadAndStopsSoonAfter) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "token=T" + std::to_string(i) + "&" + std::string(64, 'c') + " word ";
    const std::string whole = MaskSecrets(text);
    for (size_t limit : {size_t{0}, size_t{5}, size_t{1100}, size_t{4096}}) {
        const std::string head = MaskSecrets(text, limit);
        ASSERT_GT(head.size(), limit);
        EXPECT_LT(head.size(), limit + 80) << limit;
        EXPECT_EQ(whole.substr(0, head.size()), head) << limit;
    }
    EXPECT_EQ(whole, MaskSecrets(text, whole.size()));
}
