// Answers announced as gzip: header detection, inflation of gzip and zlib
// wrappers, and the cut at the first zero byte.
#include <zlib.h>

#include <atomic>

#include "httpclient/curl_helper.h"
#include "httpclient/gzip_body.h"
#include "httpclient/http_fixture.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

// windowBits 15 + 16 gives a gzip wrapper, 15 a zlib wrapper.
std::string Deflate(std::string_view text, int windowBits) {
    z_stream zs{};
    EXPECT_EQ(Z_OK, deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY));
    std::string out(deflateBound(&zs, text.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&zs, Z_FINISH));
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string LongText() {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "<item id=\"" + std::to_string(i) + "\">n\xC3\xA4me</item>";
    return text;
}

TEST(GzipHeader, DetectsOnlyTheExactValueAfterColonAndBlank) {
    EXPECT_TRUE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 3\r\n\r\n"));
    EXPECT_TRUE(HeaderAnnouncesGzip("Content-Encoding: gzip"));  // no line end
    EXPECT_FALSE(HeaderAnnouncesGzip(""));
    EXPECT_FALSE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\nContent-Encoding: GZIP\r\n\r\n"));
    EXPECT_FALSE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\nContent-Encoding: gzip, deflate\r\n\r\n"));
    EXPECT_FALSE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\nContent-Encoding:gzip\r\n\r\n"));
    EXPECT_FALSE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\ncontent-encoding: gzip\r\n\r\n"));
    EXPECT_FALSE(HeaderAnnouncesGzip("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n"));
}

TEST(GzipHeader, ANameInsideALongerNameIsSkipped) {
    EXPECT_TRUE(HeaderAnnouncesGzip("X-Content-Encoding-Hint: none\r\nContent-Encoding: gzip\r\n\r\n"));
    EXPECT_FALSE(HeaderAnnouncesGzip("X-Content-Encoding-Hint: gzip\r\n\r\n"));
    // The first real occurrence decides.
    EXPECT_FALSE(HeaderAnnouncesGzip("Content-Encoding: br\r\nContent-Encoding: gzip\r\n\r\n"));
}

TEST(GzipInflate, InflatesBothWrappers) {
    std::string text = LongText();
    EXPECT_EQ(text, InflateBody(Deflate(text, 15 + 16)));
    EXPECT_EQ(text, InflateBody(Deflate(text, 15)));
}

TEST(GzipInflate, ABrokenStreamKeepsWhatWasProducedBefore) {
    std::string text = LongText();
    std::string packed = Deflate(text, 15 + 16);
    std::string truncated = InflateBody(std::string_view(packed).substr(0, packed.size() / 2));
    EXPECT_FALSE(truncated.empty());
    EXPECT_LT(truncated.size(), text.size());
    EXPECT_EQ(text.substr(0, truncated.size()), truncated);
    EXPECT_TRUE(InflateBody("not compressed at all").empty());
}

class GzipAnswerTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        ASSERT_EQ(1, m_helper.InitHandle());
        m_helper.Reset(true);
    }
    std::string Fetch(std::string_view body, std::string_view headers) {
        RawServer raw([&](const std::string&) { return RawServer::Response(200, body, headers); });
        m_helper.Reset(true);
        EXPECT_EQ(Ok, m_helper.Request_URL_GET(raw.Url("/z"), 10));
        return m_helper.GetResponseText();
    }
    CCurlHelper m_helper;
};

TEST_F(GzipAnswerTest, AnnouncedGzipIsInflatedWithEitherWrapper) {
    std::string text = LongText();
    EXPECT_EQ(text, Fetch(Deflate(text, 15 + 16), "Content-Encoding: gzip\r\n"));
    EXPECT_EQ(text, Fetch(Deflate(text, 15), "Content-Encoding: gzip\r\n"));
    EXPECT_TRUE(m_helper.IsGzipResponse());
}

TEST_F(GzipAnswerTest, OtherValuesLeaveTheBodyAsReceived) {
    std::string packed = Deflate("plain text", 15 + 16);
    std::string upToZero = packed.substr(0, packed.find('\0'));
    EXPECT_EQ(upToZero, Fetch(packed, "Content-Encoding: GZIP\r\n"));
    EXPECT_EQ(upToZero, Fetch(packed, "Content-Encoding: gzip, deflate\r\n"));
    EXPECT_EQ(upToZero, Fetch(packed, "Content-Encoding:gzip\r\n"));
    EXPECT_EQ("plain text",
              Fetch(Deflate("plain text", 15 + 16), "X-Content-Encoding-Hint: none\r\nContent-Encoding: gzip\r\n"));
}

TEST_F(GzipAnswerTest, TextEndsAtTheFirstZeroByte) {
    EXPECT_EQ("abc", Fetch(std::string("abc\0def", 7), ""));
    EXPECT_EQ(7u, m_helper.Body().size());
    EXPECT_EQ("in", Fetch(Deflate(std::string("in\0side", 7), 15 + 16), "Content-Encoding: gzip\r\n"));
}

TEST_F(GzipAnswerTest, TakenTextLeavesNothingBehind) {
    Fetch(std::string("abc\0def", 7), "");
    EXPECT_EQ("abc", m_helper.TakeResponseText());
    EXPECT_TRUE(m_helper.Body().empty());
    EXPECT_TRUE(m_helper.GetResponseText().empty());
    Fetch(Deflate("zipped", 15 + 16), "Content-Encoding: gzip\r\n");
    EXPECT_EQ("zipped", m_helper.TakeResponseText());
    EXPECT_TRUE(m_helper.Body().empty());
    EXPECT_TRUE(m_helper.TakeResponseText().empty());
}

TEST_F(GzipAnswerTest, TheTextIsKeptUntilTheNextReset) {
    EXPECT_EQ("first", Fetch("first", ""));
    const std::string& text = m_helper.GetResponseText();
    EXPECT_EQ(&text, &m_helper.GetResponseText());
    m_helper.Reset(false);
    EXPECT_TRUE(m_helper.GetResponseText().empty());
}

// A hostile service: an endless plain answer, and a small gzip answer that
// inflates far beyond the cap. Both are dropped with one log line and read as
// an empty answer, which every layer above already refuses as a bad answer.
TEST_F(GzipAnswerTest, AnswersBeyondTheCapAreDroppedWithOneLine) {
    LoopbackServer server;
    std::atomic<size_t> sent = 0;  // counted on the server's thread
    server.Http().Get("/endless", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/xml", [&](size_t, httplib::DataSink& sink) {
            static const std::string chunk(1 << 20, 'x');
            sent += chunk.size();
            return sent <= (size_t{1} << 30) && sink.write(chunk.data(), chunk.size());  // up to 1 GiB
        });
    });
    const std::string bomb = Deflate(std::string(kMaxAnswerBytes + 4096, 'a'), 15 + 16);
    ASSERT_LT(bomb.size(), size_t{1} << 20);
    server.Http().Get("/bomb", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(bomb, "text/xml");
    });
    const std::string fits = Deflate(std::string(kMaxAnswerBytes, 'b'), 15 + 16);
    server.Http().Get("/fits", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(fits, "text/xml");
    });
    server.Start();

    EXPECT_EQ(Ok, m_helper.Request_URL_GET(server.Url("/endless"), 30));
    EXPECT_TRUE(m_helper.AnswerTooLarge());
    EXPECT_TRUE(m_helper.Body().empty());
    EXPECT_TRUE(m_helper.GetResponseText().empty());
    EXPECT_LT(sent, size_t{256} << 20);  // the transfer stopped at the cap
    EXPECT_EQ(1u, LogCount("Answer refused: more than " + std::to_string(kMaxAnswerBytes) + " bytes"));
    EXPECT_EQ(0u, LogCount("CCurlHelper Visit Network Failded. CURLcode = 23"));

    m_helper.Reset(true);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(server.Url("/bomb"), 30));
    EXPECT_FALSE(m_helper.AnswerTooLarge());
    EXPECT_TRUE(m_helper.GetResponseText().empty());
    EXPECT_TRUE(m_helper.GetResponseText().empty());  // asked twice, inflated and logged once
    EXPECT_TRUE(m_helper.AnswerTooLarge());
    EXPECT_EQ(1u, LogCount("Answer refused: more than " + std::to_string(kMaxAnswerBytes) + " bytes once inflated"));

    // Exactly at the cap is still taken.
    m_helper.Reset(true);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(server.Url("/fits"), 30));
    EXPECT_EQ(kMaxAnswerBytes, m_helper.GetResponseText().size());
    EXPECT_FALSE(m_helper.AnswerTooLarge());

    bool tooLarge = false;
    EXPECT_TRUE(InflateBody(bomb, 1000, &tooLarge).empty());
    EXPECT_TRUE(tooLarge);
    EXPECT_EQ(std::string(1000, 'a'), InflateBody(Deflate(std::string(1000, 'a'), 15), 1000, &tooLarge));
    EXPECT_FALSE(tooLarge);
    server.Stop();  // before the answers its handlers serve go away
}

}  // namespace
}  // namespace orvel::httptest
