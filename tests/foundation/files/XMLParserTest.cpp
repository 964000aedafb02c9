#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "foundation/files/XMLParser.h"

using Vel::XMLParser;

namespace {

std::vector<std::string> Texts(const XMLParser& parser, const std::string& expression) {
    std::vector<std::string> out;
    const auto result = parser.GetRootNode().Select(expression);
    for (std::size_t i = 0; i < result.GetCount(); ++i) out.push_back(result.GetNode(i).GetText());
    return out;
}

template <typename F>
std::chrono::milliseconds Timed(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace

TEST(XMLParser, TextThatDoesNotParseGivesANullRootAndAnEmptySelection) {
    for (const char* text : {"", "not xml", "<a><b></a>", "<a>&undeclared;</a>", "<a/><b/>"}) {
        const XMLParser parser(text);
        EXPECT_FALSE(parser.IsValid()) << text;
        EXPECT_TRUE(parser.GetRootNode().IsNull()) << text;
        EXPECT_EQ(parser.GetRootNode().Select("*").GetCount(), 0u) << text;
        EXPECT_EQ(parser.GetRootNode().GetText(), "") << text;
    }
}

TEST(XMLParser, ServerListBehindACommentAndADoctype) {
    const XMLParser parser(
        "<?xml version=\"1.0\"?>\n"
        "<!-- the content servers, in the order of trial -->\n"
        "<!DOCTYPE downloadServers>\n"
        "<downloadServers>\n"
        "  <downloadServer>http://a.example/</downloadServer>\n"
        "  <group><downloadServer>http://nested.example/</downloadServer></group>\n"
        "  <downloadServer>http://b.example/?x=1&amp;y=&#50;</downloadServer>\n"
        "  <downloadServer><![CDATA[http://c.example/]]></downloadServer>\n"
        "</downloadServers>\n");
    ASSERT_TRUE(parser.IsValid());
    EXPECT_EQ(Texts(parser, "downloadServer"),
              (std::vector<std::string>{"http://a.example/", "http://b.example/?x=1&y=2", "http://c.example/"}));

    // Text nodes are not handed out as nodes.
    const auto texts = parser.GetRootNode().Select("downloadServer/text()");
    EXPECT_EQ(texts.GetCount(), 3u);
    EXPECT_TRUE(texts.GetNode(0).IsNull());
    EXPECT_TRUE(texts.GetNode(7).IsNull());
    // Attributes are; a result that is not a node set counts 0.
    const XMLParser withAttribute("<r a=\"v\"/>");
    EXPECT_FALSE(withAttribute.GetRootNode().Select("@a").GetNode(0).IsNull());
    EXPECT_EQ(withAttribute.GetRootNode().Select("count(*)").GetCount(), 0u);
    EXPECT_EQ(withAttribute.GetRootNode().Select("((").GetCount(), 0u);
}

TEST(XMLParser, RegisteredNamespacesAreUsableInQueries) {
    XMLParser parser("<r xmlns:s=\"urn:servers\"><s:item>1</s:item><item>2</item></r>");
    parser.AddNamespace("q", "urn:servers");
    EXPECT_EQ(Texts(parser, "q:item"), std::vector<std::string>{"1"});
}

TEST(XMLParser, HostileDocumentsAreRefusedQuickly) {
    // Entity expansion: ten levels of ten references each.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e0 \"lollollollollol\">";
    for (int level = 1; level <= 10; ++level) {
        bomb += "<!ENTITY e" + std::to_string(level) + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&e" + std::to_string(level - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><r><downloadServer>&e10;</downloadServer></r>";

    std::string nested;
    nested.reserve(100000 * 7);
    for (int i = 0; i < 100000; ++i) nested += "<a>";
    for (int i = 0; i < 100000; ++i) nested += "</a>";

    // An external entity is never fetched, from a file or the network.
    const std::string external =
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r><downloadServer>&x;</downloadServer></r>";

    for (const std::string* text : std::vector<const std::string*>{&bomb, &nested, &external}) {
        std::vector<std::string> servers;
        const auto took = Timed([&] {
            const XMLParser parser(*text);
            servers = Texts(parser, "downloadServer");
        });
        for (const auto& s : servers) EXPECT_LT(s.size(), 100u) << "an entity was expanded";
        EXPECT_LT(took, std::chrono::seconds(5)) << text->substr(0, 60);
    }
    EXPECT_FALSE(XMLParser(nested).IsValid()) << "deeper than the parser's limit";
    // Only the predefined entities are text; a declared one adds nothing.
    const XMLParser declared("<!DOCTYPE r [<!ENTITY a \"http://elsewhere/\">]><r><downloadServer>x&a;&lt;</downloadServer></r>");
    EXPECT_EQ(Texts(declared, "downloadServer"), std::vector<std::string>{"x<"});
}
