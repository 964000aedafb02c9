#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <random>
#include <sstream>

#include "foundation/files/BoundedXml.h"

namespace pt = boost::property_tree;
using Vel::XmlElementDepth;

namespace {

// Element levels of a tree the reader built (the root element is 1).
std::size_t TreeDepth(const pt::ptree& tree) {
    std::size_t deepest = 0;
    for (const auto& [name, child] : tree)
        if (name != "<xmlattr>" && name != "<xmlcomment>") deepest = std::max(deepest, 1 + TreeDepth(child));
    return deepest;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST(BoundedXml, DepthFollowsTheReadersMarkupRules) {
    const std::string deep = Repeat("<a>", 40);  // elements to the reader in every case below
    struct Case {
        const char* what;
        std::string text;
        std::size_t depth;
    };
    const Case cases[] = {
        {"nothing", "", 0},
        {"one empty element", "<a/>", 1},
        {"self-closing leaf counts", "<?xml version='1.0'?><!-- c --><a><b><c/></b></a>", 3},
        {"siblings", "<a><b></b><b><c></c></b></a><z/>", 3},
        {"BOM and whitespace", "\xEF\xBB\xBF \n<a k = 'v' ><b\t/></a>", 2},
        {"tags in a comment", "<r><!-- " + deep + " --></r>", 1},
        {"tags in CDATA", "<r><![CDATA[" + deep + "]]></r>", 1},
        {"tags in a processing instruction", "<r><?p " + deep + "?></r>", 1},
        {"tags in an attribute value", "<r k=\"" + deep + "\" j='" + deep + "'/>", 1},
        {"a comment that does not close at its own dashes", "<!--->" + deep + "-->", 0},
        {"nothing after a NUL", std::string("<a>\0", 4) + deep, 1},
        // Places where a scanner that honours quotes or brackets where the reader does not
        // would lose sight of the levels that follow.
        {"\">\" in an attribute value", "<r k=\"x>\">" + deep, 41},
        {"a quote in an element name", "<r\">" + deep + "\"", 41},
        {"a quote in text", "<r>\"" + deep + "\"", 41},
        {"a quote in a comment", "<r><!-- \" -->" + deep, 41},
        {"a quoted \">\" in the document type", "<!DOCTYPE r \"x>" + deep + "\">", 40},
        {"document type with brackets", "<!DOCTYPE r [<!ELEMENT r ANY>]>" + deep, 40},
        {"another \"<!\" node", "<r><!x -- >" + deep, 41},
        {"character references", "<r>&lt;&#60;" + deep, 41},
        {"never closed", Repeat("<a>", 40000), 33},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(XmlElementDepth(c.text, 32), std::min<std::size_t>(c.depth, 33));
    }
}

TEST(BoundedXml, AgreesWithTheReaderOnMixedMarkup) {
    // Random documents from pieces that tempt a scanner out of step with the reader; wherever
    // the reader accepts one, both must see the same depth.
    const char* const pieces[] = {
        "<e>", "<e>", "</e>", "</e>", "<e/>", "<e k=\"v>\">", "<e k='\"'/>", "<e\">", "<e<e>", "<!-- <e> -->",
        "<!--", "-->", "<![CDATA[<e>", "]]>", "<?p <e>", "?>", "<!x <e>", ">", "<!DOCTYPE d [<e>]>",
        "<!DOCTYPE d \"", "\"", "'", "[", "]", "text", "&lt;", " ", "<", "/>", "<!-->",
    };
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1), count(1, 14);
    int accepted = 0;
    for (int round = 0; round < 40000; ++round) {
        std::string text;
        for (std::size_t n = count(random); n > 0; --n) text += pieces[pick(random)];
        pt::ptree tree;
        try {
            std::istringstream in(text);
            pt::read_xml(in, tree);
        } catch (const pt::ptree_error&) {
            continue;
        }
        ++accepted;
        ASSERT_EQ(XmlElementDepth(text, 1000), TreeDepth(tree)) << text;
    }
    EXPECT_GT(accepted, 500);  // the comparison ran on enough documents to mean something
}

TEST(BoundedXml, TooDeepIsAParseErrorAndKeepsTheTree) {
    pt::ptree tree;
    Vel::ReadBoundedXml("<a k=\"1\"><b>x</b><!-- c --></a>", tree);
    EXPECT_EQ(tree.get<std::string>("a.<xmlattr>.k"), "1");
    EXPECT_EQ(tree.get<std::string>("a.b"), "x");
    EXPECT_EQ(tree.get_child("a").count("<xmlcomment>"), 1u);

    const pt::ptree before = tree;
    const std::string deep = Repeat("<a>", 40000) + Repeat("</a>", 40000);
    EXPECT_THROW(Vel::ReadBoundedXml(deep, tree), pt::xml_parser_error);
    EXPECT_EQ(tree, before);
    EXPECT_THROW(Vel::ReadBoundedXml(Repeat("<a>", 4) + Repeat("</a>", 4), tree, 0, 3), pt::xml_parser_error);
    EXPECT_NO_THROW(Vel::ReadBoundedXml(Repeat("<a>", 3) + Repeat("</a>", 3), tree, 0, 3));
}
