#include "common/kv_helper.h"
#include "common/recordtree.h"
#include "common/xml_helper.h"
#include "common_fixture.h"

using RecordTreeTest = CommonTest;

TEST_F(RecordTreeTest, ValuesAttributesAndChildren) {
    RecordTree tree("Orvel");
    EXPECT_FALSE(tree.IsEmpty());
    EXPECT_TRUE(RecordTree().IsEmpty());
    tree.AddValue("fileId", "7");
    tree.AddValue("FILEID", "8");
    tree.SetAttr("result", "ok");
    tree.SetAttr("result", "serverBusy");  // overwrites
    tree.SetAttr("Alpha", "a");
    EXPECT_EQ(tree.GetValue("fileid"), "7");  // any case, first match
    EXPECT_EQ(tree.GetValue("missing"), "");
    EXPECT_EQ(tree.GetAttr("result"), "serverBusy");
    EXPECT_EQ(tree.GetAttr("RESULT"), "");  // attributes are case-sensitive
    ASSERT_EQ(tree.ValueCount(), 2u);
    EXPECT_EQ(tree[1].Key, "FILEID");

    std::vector<std::pair<std::string, std::string>> attrs;
    tree.GetAttrs(attrs);
    ASSERT_EQ(attrs.size(), 2u);
    EXPECT_EQ(attrs[0].first, "Alpha");  // key order
    tree.GetAttrs(attrs);                // not empty: asserted, and appended all the same
    EXPECT_EQ(attrs.size(), 4u);
    EXPECT_TRUE(Logged("*ASSERT*: vtAttrs.empty()"));

    RecordTree& child = tree.AddChild("item");
    child.AddValue("name", "a.txt");
    RecordTree copy = tree;
    copy.Children[0].Values[0].Value = "changed";
    EXPECT_EQ(tree.Children[0].GetValue("name"), "a.txt");  // deep copy
}

TEST_F(RecordTreeTest, ToXmlExactText) {
    RecordTree tree("Orvel");
    tree.SetAttr("b", "say \"x\" & <y>");
    tree.SetAttr("a", "1");
    tree.AddValue("user", "u<1>&\"q\"");
    tree.AddValue("password", "");
    tree.AddChild("empty");
    tree.AddChild("sub").AddValue("k", "v");
    EXPECT_EQ(ToXml(tree),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel a=\"1\" b=\"say &quot;x&quot; &amp; &lt;y&gt;\">"
              "<user>u&lt;1&gt;&amp;\"q\"</user><password></password><empty></empty><sub><k>v</k></sub></Orvel>");
    EXPECT_EQ(ToXml(RecordTree()), "<?xml version=\"1.0\" encoding=\"utf-8\" ?><></>");
}

TEST_F(RecordTreeTest, FromXmlParsingRules) {
    RecordTree tree;
    ASSERT_EQ(FromXml("<?xml version=\"1.0\"?><!-- c --><answer result=\"ok\" z=\"&amp;\">\n"
                      "  <fileId>7</fileId>\n"
                      "  <empty/>\n"
                      "  <closed></closed>\n"
                      "  <nested><x>1</x><deeper><y>2</y></deeper></nested>\n"
                      "  <mixed>text<inner>dropped</inner>more</mixed>\n"
                      "  <spaced>  a   b  </spaced>\n"
                      "  <!-- skipped -->\n"
                      "  <name>\xE4\xB8\xAD &lt;x&gt;</name>\n"
                      "</answer>",
                      tree),
              S_OK);
    EXPECT_EQ(tree.Key, "answer");
    EXPECT_EQ(tree.GetAttr("result"), "ok");
    EXPECT_EQ(tree.GetAttr("z"), "&");
    ASSERT_EQ(tree.ValueCount(), 4u);
    EXPECT_EQ(tree[0].Key, "fileId");
    EXPECT_EQ(tree[0].Value, "7");
    EXPECT_EQ(tree.GetValue("mixed"), "text");
    EXPECT_EQ(tree.GetValue("spaced"), "a b");  // white space collapsed
    EXPECT_EQ(tree.GetValue("name"), "\xE4\xB8\xAD <x>");
    ASSERT_EQ(tree.Children.size(), 3u);
    EXPECT_EQ(tree.Children[0].Key, "empty");
    EXPECT_TRUE(tree.Children[0].Values.empty());
    EXPECT_EQ(tree.Children[1].Key, "closed");
    EXPECT_EQ(tree.Children[2].GetValue("x"), "1");
    EXPECT_EQ(tree.Children[2].Children[0].GetValue("y"), "2");
}

TEST_F(RecordTreeTest, RoundTrip) {
    RecordTree tree("Orvel");
    tree.SetAttr("result", "ok");
    tree.AddValue("token", "t&<>\"'");
    tree.AddValue("token", "second");
    RecordTree& item = tree.AddChild("item");
    item.SetAttr("id", "1");
    item.AddValue("fileName", "\xE6\x96\x87 name");
    item.AddChild("sub").AddValue("a", "b");
    RecordTree back;
    ASSERT_EQ(FromXml(ToXml(tree), back), S_OK);
    EXPECT_EQ(ToXml(back), ToXml(tree));
    EXPECT_EQ(back.Values.size(), 2u);
    EXPECT_EQ(back.Children[0].Children[0].GetValue("a"), "b");
}

TEST_F(RecordTreeTest, BadXmlFailsAndLeavesTreeUntouched) {
    orvel::logtest::SetThreshold(5);
    const std::string inputs[] = {
        "", "not xml", "<a><b></a>", "<a>", std::string("\x00\x01\xFF\xFE<\x00>", 7), "<?xml version=\"1.0\"?>",
    };
    for (const auto& input : inputs) {
        RecordTree tree("keep");
        tree.AddValue("k", "v");
        EXPECT_EQ(FromXml(input, tree), E_FAIL) << input;
        EXPECT_EQ(tree.Key, "keep");
        EXPECT_EQ(tree.ValueCount(), 1u);
    }
    EXPECT_TRUE(Logged("ERROR_CHECK_BOOLEX:bRet"));
}

TEST_F(RecordTreeTest, DeepNestingFailsWithoutCrashing) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    RecordTree tree;
    EXPECT_EQ(FromXml(deep, tree), E_FAIL);
    std::string closed;
    for (int i = 0; i < 300; ++i) closed += "<a>";
    for (int i = 0; i < 300; ++i) closed += "</a>";
    EXPECT_EQ(FromXml(closed, tree), E_FAIL);
    EXPECT_TRUE(tree.IsEmpty());

    std::string shallow;
    for (int i = 0; i < 50; ++i) shallow += "<a>";
    shallow += "<v>1</v>";
    for (int i = 0; i < 50; ++i) shallow += "</a>";
    EXPECT_EQ(FromXml(shallow, tree), S_OK);
}

TEST_F(RecordTreeTest, LargeDocumentParses) {
    std::string big = "<r>";
    for (int i = 0; i < 20000; ++i) big += "<item><fileId>" + std::to_string(i) + "</fileId></item>";
    big += "</r>";
    RecordTree tree;
    ASSERT_EQ(FromXml(big, tree), S_OK);
    ASSERT_EQ(tree.Children.size(), 20000u);
    EXPECT_EQ(tree.Children.back().GetValue("fileId"), "19999");
}

TEST_F(RecordTreeTest, ToKvJoinsValuesInOrderUnencoded) {
    RecordTree tree("Orvel");
    tree.SetAttr("ignored", "1");
    tree.AddChild("ignored");
    tree.AddValue("token", "a b&c");
    tree.AddValue("id", "=");
    EXPECT_EQ(ToKv(tree), "token=a b&c&id==");
    EXPECT_FALSE(Logged("ASSERT"));

    RecordTree odd;
    EXPECT_EQ(ToKv(odd), "");
    EXPECT_TRUE(Logged("*ASSERT*: !RecordTree.IsEmpty()"));
    RecordTree noKey("x");
    noKey.AddValue("", "v");
    EXPECT_EQ(ToKv(noKey), "=v");
    EXPECT_TRUE(Logged("*ASSERT*: !IsStrEmpty(RecordTree[i].Key)"));
}

TEST_F(RecordTreeTest, FromXmlReadsTheAnswerFormsDirectly) {
    RecordTree tree;
    ASSERT_EQ(FromXml("\xEF\xBB\xBF<!DOCTYPE a>junk<a x = 'q&quot;&#65;' y=\"&lt;\">"
                      "<c><![CDATA[ <raw> &amp; ]]></c><n>&#x4E2D;&#65;</n><z>a&#0;b</z>"
                      "<u><!x><!--c--><v>1</v></u><w/></a><!-- after -->",
                      tree),
              S_OK);
    EXPECT_EQ(tree.GetAttr("x"), "q\"A");
    EXPECT_EQ(tree.GetAttr("y"), "<");
    EXPECT_EQ(tree.GetValue("c"), " <raw> &amp; ");  // CDATA as written
    EXPECT_EQ(tree.GetValue("n"),
              "\xE4\xB8\xAD"
              "A");
    EXPECT_EQ(tree.GetValue("z"), "a");  // a reference to character zero ends the text
    ASSERT_EQ(tree.Children.size(), 2u);
    EXPECT_EQ(tree.Children[0].GetValue("v"), "1");
    EXPECT_EQ(tree.Children[1].Key, "w");

    for (const char* bad : {"<a x='1' x='2'/>", "<a x=1/>", "<a/>trailing", "<a></ a>", "<1a/>", "<a><b x='1'></b>",
                            "<a/><?pi?>", "<a><b>text<c></b></a>", "<a><![CDATA[ open</a>"}) {
        RecordTree t;
        EXPECT_EQ(FromXml(bad, t), E_FAIL) << bad;
    }
    // Nesting: 98 levels are read, 99 are refused.
    for (int levels : {98, 99}) {
        std::string doc;
        for (int i = 0; i < levels; ++i) doc += "<a>";
        for (int i = 0; i < levels; ++i) doc += "</a>";
        RecordTree t;
        EXPECT_EQ(FromXml(doc, t), levels == 98 ? S_OK : E_FAIL) << levels;
    }
}

TEST_F(RecordTreeTest, AnAnswerWhoseTreeWouldOutgrowItsBudgetIsRefused) {
    orvel::logtest::SetThreshold(5);
    // Small elements cost far more as a tree than as text: two million of them (8 MB of
    // text) would take a quarter of a GiB and more while the children's vector grows.
    auto dense = [](size_t count) {
        std::string doc = "<Orvel result=\"ok\">";
        doc.reserve(count * 4 + 32);
        for (size_t i = 0; i < count; ++i) doc += "<a/>";
        return doc + "</Orvel>";
    };
    RecordTree tree("keep");
    EXPECT_EQ(FromXml(dense(2000000), tree), E_FAIL);
    EXPECT_EQ(tree.Key, "keep");
    EXPECT_TRUE(Logged("Answer refused: its tree would take more than " + std::to_string(kMaxXmlTreeBytes) + " bytes"));
    RecordTree fits;
    EXPECT_EQ(FromXml(dense(300000), fits), S_OK);
    EXPECT_EQ(fits.Children.size(), 300000u);
}

TEST_F(RecordTreeTest, AnAnswerWhoseDocumentWouldOutgrowItsBoundIsRefusedBeforeParsing) {
    orvel::logtest::SetThreshold(5);
    // Three million empty elements: 12 MB of text, over 300 MB as parsed nodes.
    std::string dense = "<Orvel result=\"ok\">";
    dense.reserve(3000000 * 4 + 32);
    for (int i = 0; i < 3000000; ++i) dense += "<a/>";
    dense += "</Orvel>";
    RecordTree tree("keep");
    EXPECT_EQ(FromXml(dense, tree), E_FAIL);
    EXPECT_EQ(tree.Key, "keep");
    EXPECT_TRUE(
        Logged("Answer refused: its document would take more than " + std::to_string(kMaxXmlDocumentBytes) + " bytes"));
    EXPECT_FALSE(Logged("Answer refused: its tree"));  // refused before any node was built
    EXPECT_FALSE(Logged("ERROR_CHECK_BOOLEX"));
}

TEST(TreeBudget, CountsTheVectorsGrowthAndTheTexts) {
    RecordTree parent;
    TreeBudget budget(3 * sizeof(RecordTree));
    EXPECT_TRUE(budget.Child(parent, "a"));  // a buffer of one
    parent.AddChild("a");
    EXPECT_TRUE(budget.Child(parent, "b"));  // a buffer of two beside the old one
    parent.AddChild("b");
    EXPECT_FALSE(budget.Child(parent, "c"));  // four would not fit
    EXPECT_TRUE(budget.Exceeded());
    TreeBudget texts(200);
    EXPECT_TRUE(texts.Attr("k", "short"));
    EXPECT_FALSE(texts.Attr("k", std::string(64, 'x')));
    TreeBudget sized(8 * sizeof(RecordTree));
    EXPECT_TRUE(sized.Reserve(5, sizeof(RecordTree)));  // eight, as growing to five would take
    EXPECT_FALSE(sized.Reserve(1, sizeof(RecordTree)));
    TreeBudget tight(8 * sizeof(RecordTree) - 1);
    EXPECT_FALSE(tight.Reserve(5, sizeof(RecordTree)));
    EXPECT_TRUE(tight.Exceeded());
}

TEST_F(RecordTreeTest, ASlicedDocumentReadsExactlyAsAWholeOne) {
    // Markup that holds '>', "/>", quotes and end tags where no cut may fall, and the root's
    // own text (left out of the slices) between the children.
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<!-- lead --><!DOCTYPE Orvel>\n<Orvel result=\"ok\" note='a>b'>\n"
        "<item a=\"x/>y\" b='1>2'><name>n1</name><c><![CDATA[ </item> <x> ]]></c></item>"
        "<!-- </Orvel> > --> loose text &amp; <!x >"
        "<e/><e x='&gt;'/>" +
        std::string(600, ' ') +
        "<item><name>n&#65;2</name><k>  a   b </k><sub><v>1</v></sub></item></Orvel>\n<!-- tail -->";
    RecordTree whole;
    ASSERT_EQ(FromXmlInSlices(doc, whole, SIZE_MAX), S_OK);
    ASSERT_EQ(whole.Children.size(), 4u);
    EXPECT_EQ(whole.Children[0].GetValue("c"), " </item> <x> ");
    EXPECT_EQ(whole.GetAttr("note"), "a>b");
    for (size_t slice : {size_t{0}, size_t{1}, size_t{40}, size_t{100}}) {
        RecordTree sliced;
        EXPECT_EQ(FromXmlInSlices(doc, sliced, slice), S_OK) << slice;
        EXPECT_EQ(ToXml(sliced), ToXml(whole)) << slice;
    }
    // tinyxml2 takes attributes on an end tag: such a document is read whole, as before.
    RecordTree odd;
    EXPECT_EQ(FromXmlInSlices("<a><b>1</b x='1'><c/></a>", odd, 0), S_OK);
    EXPECT_EQ(ToXml(odd), "<?xml version=\"1.0\" encoding=\"utf-8\" ?><a><b>1</b><c></c></a>");
    // Whatever the cuts, a document tinyxml2 refuses whole is refused in slices.
    for (const std::string bad :
         {"<a><b></c><d/></a>", "<a><b/></b></a>", "<a><b/><?pi?></a>", "<a><b x='1' x='2'/></a>", "<a><b/ ><c/></a>",
          "<a><b/></a>trailing", "<a><b/><!-- open </a>", "<a><b/><![CDATA[ open </a>", "<a><b x='>'></a>",
          "<a><b/><!x</a>", "<a><b/></a><c>", "<a><r></r></r></a>"}) {
        for (size_t slice : {size_t{0}, size_t{1}, size_t{5}, SIZE_MAX}) {
            RecordTree t("keep");
            EXPECT_EQ(FromXmlInSlices(bad, t, slice), E_FAIL) << bad << " / " << slice;
            EXPECT_EQ(t.Key, "keep");
        }
    }
}
