// The block servers' JSON reader and the JSON texts and queries we send.
#include <gtest/gtest.h>

#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/ufa_common.h"
#include "blocks/transfer/ufa_download.h"
#include "blocks/transfer/ufa_upload.h"
#include "common/xml_helper.h"
#include "test_support.h"

namespace {

HRESULT Read(const std::string& text, RecordTree& tree) { return ReadJson(text, tree); }

bool Accepts(const std::string& text) {
    RecordTree tree;
    return SUCCEEDED(ReadJson(text, tree));
}

TEST(JsonReader, StringsObjectsAndArraysLandInTheTree) {
    RecordTree tree;
    ASSERT_EQ(S_OK, Read(R"({"result":"ok","keys":{"a":"1","b":"2"},"list":[{"x":"y"},{}]})", tree));
    EXPECT_EQ("ok", tree.GetAttr("result"));
    ASSERT_EQ(2u, tree.Children.size());
    EXPECT_EQ("keys", tree.Children[0].Key);
    EXPECT_EQ("1", tree.Children[0].GetAttr("a"));
    EXPECT_EQ("2", tree.Children[0].GetAttr("b"));
    const RecordTree& list = tree.Children[1];
    EXPECT_EQ("list", list.Key);
    ASSERT_EQ(2u, list.Children.size());
    EXPECT_EQ("", list.Children[0].Key);
    EXPECT_EQ("y", list.Children[0].GetAttr("x"));
    EXPECT_TRUE(list.Children[1].Attrs.empty());
    EXPECT_TRUE(tree.Values.empty());
}

TEST(JsonReader, RepeatedKeyKeepsTheLastValue) {
    RecordTree tree;
    ASSERT_EQ(S_OK, Read(R"({"code":"serverError","code":"ok"})", tree));
    EXPECT_EQ("ok", tree.GetAttr("code"));
    EXPECT_EQ(1u, tree.Attrs.size());
}

TEST(JsonReader, SpacesAreTheOnlyWhiteSpace) {
    EXPECT_TRUE(Accepts(R"(   { "a" : "b" , "c" : [ { } ] }   )"));
    EXPECT_FALSE(Accepts("{\"a\":\t\"b\"}"));
    EXPECT_FALSE(Accepts("{\"a\":\"b\"}\n"));
    EXPECT_FALSE(Accepts("\n{\"a\":\"b\"}"));
    EXPECT_FALSE(Accepts("{\r\"a\":\"b\"}"));
}

TEST(JsonReader, OnlyStringsObjectsAndArraysOfObjectsAreValues) {
    EXPECT_FALSE(Accepts(R"({"index":1})"));
    EXPECT_FALSE(Accepts(R"({"index":-1})"));
    EXPECT_FALSE(Accepts(R"({"ok":true})"));
    EXPECT_FALSE(Accepts(R"({"ok":false})"));
    EXPECT_FALSE(Accepts(R"({"ok":null})"));
    EXPECT_FALSE(Accepts(R"({"list":["a"]})"));
    EXPECT_FALSE(Accepts(R"({"list":[[]]})"));
    EXPECT_TRUE(Accepts(R"({"list":[]})"));
    EXPECT_TRUE(Accepts(R"({})"));
}

TEST(JsonReader, EscapesAcceptedAndRefused) {
    RecordTree tree;
    ASSERT_EQ(S_OK, Read(R"({"s":"a\"b\/c\\d\ne\rf"})", tree));
    EXPECT_EQ("a\"b/c\\d\ne\rf", tree.GetAttr("s"));
    EXPECT_FALSE(Accepts(R"({"s":"\t"})"));
    EXPECT_FALSE(Accepts(R"({"s":"\u0041"})"));
    EXPECT_FALSE(Accepts(R"({"s":"\b"})"));
    EXPECT_FALSE(Accepts("{\"s\":\"raw\ttab\"}"));
    EXPECT_FALSE(Accepts(R"({"s":"unterminated\"})"));
}

TEST(JsonReader, MalformedDocumentsFail) {
    for (const char* text :
         {"", " ", "[]", "\"a\"", "{", "}", "{\"a\"}", "{\"a\":}", "{\"a\":\"b\",}", "{,}", "{\"a\":\"b\"\"c\":\"d\"}",
          "{} {}", "{}x", "{\"a\":{}", "{a:\"b\"}", "{'a':'b'}", "{\"a\":[{},]}", "{\"a\":[{}"}) {
        EXPECT_FALSE(Accepts(text)) << text;
    }
}

TEST(JsonReader, HostileInputNeverCrashes) {
    // Deep nesting is refused instead of exhausting the stack.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
    EXPECT_FALSE(Accepts(deep));
    std::string deepArrays;
    for (int i = 0; i < 100000; ++i) deepArrays += "{\"a\":[";
    EXPECT_FALSE(Accepts(deepArrays));

    // Every prefix of a valid answer is refused; none crashes.
    const std::string valid =
        R"({"result":"ok","http://h/":[{"sha1":"x","id":"1","blockId":"b","fileKey":"k","index":"1"}]})";
    ASSERT_TRUE(Accepts(valid));
    for (size_t n = 0; n < valid.size(); ++n) EXPECT_FALSE(Accepts(valid.substr(0, n))) << n;
    // Random bytes spliced into it.
    const std::string noise = xfertest::RandomBytes(4096, 7);
    for (size_t i = 0; i + 8 < noise.size(); i += 8) {
        std::string text = valid;
        text.replace((i / 8) % valid.size(), 1, noise.substr(i, 8));
        RecordTree tree;
        ReadJson(text, tree);
    }
}

TEST(JsonReader, ATreeBeyondItsMemoryBudgetIsRefused) {
    // A few MiB of empty objects would cost over a GiB as a tree: refused with one line.
    const size_t count = kMaxXmlTreeBytes / (sizeof(RecordTree) * 3 / 2) + 1;
    std::string text = "{\"a\":[";
    text.reserve(count * 3 + 8);
    for (size_t i = 0; i < count; ++i) text += i == 0 ? "{}" : ",{}";
    text += "]}";
    xfertest::LogCapture log;
    EXPECT_FALSE(Accepts(text));
    EXPECT_TRUE(
        log.HasLine("Answer refused: its tree would take more than " + std::to_string(kMaxXmlTreeBytes) + " bytes"));
    // A tenth of that is an ordinary (if large) answer.
    EXPECT_TRUE(Accepts("{\"a\":[{}" + std::string(text.data() + 8, count / 10 * 3) + "]}"));
}

TEST(JsonReader, ARefusedAnswerTravelsWholeOnlyWhenSmall) {
    for (const size_t size : {size_t{100}, size_t{10000}}) {
        const std::string text(size, 'x');
        try {
            ufa::ParseJsonAnswer(text, "Here");
            ADD_FAILURE() << "no error raised";
        } catch (const EXCEPT::ServerError& e) {
            EXPECT_EQ(e.raisedIn, "Here");
            EXPECT_EQ(e.detail, text.substr(0, 4096));
        }
    }
}

TEST(JsonWriter, EscapesQuotesAndBackslashes) {
    EXPECT_EQ(R"(a\"b\\c)", JsonEscape("a\"b\\c"));
    EXPECT_EQ("plain", JsonEscape("plain"));
    RecordTree tree;
    ASSERT_EQ(S_OK, ReadJson("{\"s\":\"" + JsonEscape("x\"y\\z\nw") + "\"}", tree));
    EXPECT_EQ("x\"y\\z\nw", tree.GetAttr("s"));
}

TEST(UploadDocuments, MetadataBodyIsWrittenExactly) {
    MetadataUploader metadata;
    metadata.stub = "st\"ub";
    metadata.blocks[1] = BlockRecord{std::string(40, 'a'), std::string(32, 'b'), 4194304};
    metadata.blocks[2] = BlockRecord{std::string(40, 'c'), std::string(32, 'd'), 1};
    EXPECT_EQ("{\"stub\":\"st\\\"ub\",\"metas\":[{\"index\":1,\"md5\":\"" + std::string(32, 'b') +
                  "\",\"blockId\":\"400000" + std::string(40, 'a') + "\"},{\"index\":2,\"md5\":\"" +
                  std::string(32, 'd') + "\",\"blockId\":\"000001" + std::string(40, 'c') + "\"}]}",
              metadata.Body());
}

TEST(UploadDocuments, BlockQueryKeepsItsOrder) {
    BlockUploader uploader;
    uploader.url = "http://h:1/b/";
    uploader.stub = "S1";
    uploader.sha1 = "abc";
    uploader.size = "4194368";
    uploader.index = "3";
    EXPECT_EQ("http://h:1/b/uploadBlock?stub=S1&sha1=abc&size=4194368&index=3", uploader.RequestUrl());
}

TEST(DownloadDocuments, BodiesAreCompactJson) {
    MetadataDownloader metadata;
    metadata.stub = "a\\b";
    EXPECT_EQ(R"({"stub":"a\\b"})", metadata.Body());
    BlockDownloader block;
    block.stub = "S";
    block.id = "7";
    EXPECT_EQ(R"({"stub":"S","id":"7"})", block.Body());
}

const std::string kId1 = "000010" + std::string(40, '1');
const std::string kId2 = "400000" + std::string(40, '2');

std::string Block(const std::string& blockId, const std::string& index) {
    return R"({"sha1":"s","id":"i)" + index + R"(","blockId":")" + blockId + R"(","fileKey":"k","index":")" + index +
           "\"}";
}

TEST(DownloadDocuments, GroupsAreReadByIndexWithTheirServer) {
    RecordTree answer;
    ASSERT_EQ(S_OK, ReadJson(R"({"result":"ok","http://b/":[)" + Block(kId1, "2") + R"(],"https://a/":[)" +
                                 Block(kId2, "1") + "," + Block(kId1, "2") + "]}",
                             answer));
    MetadataDownloader metadata;
    metadata.ReadBlocks(answer);
    ASSERT_EQ(2u, metadata.blocks.size());
    EXPECT_EQ("https://a/", metadata.blocks[1].url);
    EXPECT_EQ(kId2, metadata.blocks[1].blockId);
    EXPECT_EQ(4194304, metadata.blocks[1].size);
    EXPECT_EQ("http://b/", metadata.blocks[2].url);  // the first record of an index stays
    EXPECT_EQ(16, metadata.blocks[2].size);
    EXPECT_EQ(4194304 + 16, metadata.totalSize);
}

TEST(DownloadDocuments, UntrustworthyAnswersAreServerErrors) {
    const std::vector<std::string> bad = {
        R"({"file:///etc/":[)" + Block(kId1, "1") + "]}",
        R"({"":[)" + Block(kId1, "1") + "]}",
        R"({"http://a/":[)" + Block("../../../../etc/passwd", "1") + "]}",
        R"({"http://a/":[)" + Block("000010" + std::string(40, 'A'), "1") + "]}",
        R"({"http://a/":[)" + Block(kId1.substr(1), "1") + "]}",
        R"({"http://a/":[)" + Block(kId1, "x") + "]}",
        R"({"http://a/":[)" + Block(kId1, "0") + "]}",
        R"({"http://a/":[)" + Block(kId1, "99999999999") + "]}",
    };
    for (const std::string& text : bad) {
        RecordTree answer;
        ASSERT_EQ(S_OK, ReadJson(text, answer)) << text;
        MetadataDownloader metadata;
        EXPECT_THROW(metadata.ReadBlocks(answer), EXCEPT::ServerError) << text;
    }
}

TEST(ServiceValues, BlockIdentifiersAndUrls) {
    EXPECT_TRUE(ufa::IsValidBlockId(kId1));
    EXPECT_FALSE(ufa::IsValidBlockId(kId1 + "0"));
    EXPECT_FALSE(ufa::IsValidBlockId("00001G" + std::string(40, '1')));
    EXPECT_FALSE(ufa::IsValidBlockId("000010" + std::string(39, '1') + "/"));
    EXPECT_TRUE(ufa::IsHttpUrl("http://127.0.0.1:5/blk/"));
    EXPECT_TRUE(ufa::IsHttpUrl("https://h/"));
    EXPECT_FALSE(ufa::IsHttpUrl("ftp://h/"));
    EXPECT_FALSE(ufa::IsHttpUrl("http://"));
    EXPECT_FALSE(ufa::IsHttpUrl("http:///x"));
    EXPECT_FALSE(ufa::IsHttpUrl("http://h/ x"));
    EXPECT_FALSE(ufa::IsHttpUrl("/tmp/x"));
}

}  // namespace
