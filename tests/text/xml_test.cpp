// The XML reader: what parses, what the tree holds, and what fails.
#include <gtest/gtest.h>

#include <string>

#include "text/xml.hpp"

namespace qx {
namespace {

TEST(Xml, SingleQuotedAttributeWithQuotes) {
  const std::string doc = "<a x='1 &quot;2&quot;'/>";
  auto root = xml_parse(doc);
  ASSERT_TRUE(root);
  const XmlNode* a = xml_child(*root, "a");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->attributes.size(), 1u);
  EXPECT_EQ(a->attributes[0].name, "x");
  EXPECT_EQ(a->attributes[0].value, "1 \"2\"");
  EXPECT_TRUE(a->children.empty());
}

TEST(Xml, DeclarationAndCommentBeforeTheRoot) {
  const std::string doc = "<?xml version=\"1.0\" encoding='UTF-8'?>\n<!-- made <by> hand -->\n<r><s>1</s></r>\n";
  auto root = xml_parse(doc);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->children.size(), 1u);
  TextView t;
  EXPECT_TRUE(xml_grandchild_text(*root, "r", "s", t));
  EXPECT_EQ(t, "1");
}

TEST(Xml, TextsAndLookups) {
  const std::string doc = "<r>\n <a>1 &lt; 2</a><b/><c>x<d/></c><a>second</a><e> plain </e></r>";
  auto root = xml_parse(doc);
  ASSERT_TRUE(root);
  const XmlNode* r = xml_child(*root, "r");
  ASSERT_TRUE(r);
  TextView t;
  EXPECT_TRUE(xml_child_text(*r, "a", t));
  EXPECT_EQ(t, "1 < 2");
  EXPECT_FALSE(xml_child_text(*r, "b", t));  // no text
  EXPECT_FALSE(xml_child_text(*r, "c", t));  // text and an element
  EXPECT_FALSE(xml_child_text(*r, "A", t));  // names match exactly
  EXPECT_TRUE(xml_child_text(*r, "e", t));
  EXPECT_EQ(t, " plain ");
  // The unchanged text is a view into the input.
  EXPECT_GE(t.data(), doc.data());
  EXPECT_LT(t.data(), doc.data() + doc.size());
  EXPECT_EQ(r->children.size(), 5u);
}

TEST(Xml, OpenElementsAtTheEndStay) {
  auto root = xml_parse("<r><a>1</a>");
  ASSERT_TRUE(root);
  TextView t;
  EXPECT_TRUE(xml_grandchild_text(*root, "r", "a", t));
}

TEST(Xml, Refused) {
  const char* const kBad[] = {
      "<a>&#60;</a>",          // numeric reference
      "<a>&#x3c;</a>",
      "<a x='&lt;'/>",         // a text escape in an attribute
      "<a>&quot;</a>",         // an attribute escape in text
      "<a>&amp</a>",
      "<a></b>",               // mismatched end tag
      "<a><b></a>",
      "</a>",
      "<a>1 > 2</a>",          // '>' in text
      "<!DOCTYPE a><a/>",
      "<![CDATA[x]]>",
      "<a",                    // input ending inside a tag
      "<a x='1'",
      "<a x='1",
      "<!-- open",             // or inside a comment
      "<?xml version='1.0'",
      "<>",
      "<'a'/>",
      "<=a/>",
      "<a=1/>",
      "<a x=1/>",              // unquoted value
      "<a x/>",
      "<a / x>",
      "<a \"x\"='1'/>",
      "<a>\xff</a>",           // invalid UTF-8
      "<a>\xc3</a>",
  };
  for (const char* bad : kBad) EXPECT_FALSE(xml_parse(bad)) << bad;
}

TEST(Xml, NestingIsBounded) {
  std::string deep;
  for (uint32_t i = 0; i < kXmlMaxDepth; ++i) deep += "<a>";
  EXPECT_TRUE(xml_parse(deep));
  EXPECT_FALSE(xml_parse(deep + "<a>"));
  std::string closed;
  for (uint32_t i = 0; i < kXmlMaxDepth * 4; ++i) closed += "<a></a>";
  EXPECT_TRUE(xml_parse(closed));
}

}  // namespace
}  // namespace qx
