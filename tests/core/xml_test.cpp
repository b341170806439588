#include "core/xml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/testutil.h"

using XML::CWrongXMLException;
using XML::CXMLParser;
using XML::TXMLNode;

namespace {

// Each parse gets an exact-size heap copy, so the sanitizers see any read past the end.
std::unique_ptr<TXMLNode> Parse(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  CXMLParser parser;
  return parser.Parse(text.empty() ? nullptr : copy.get(), text.size());
}

// The line of the fault, or 0 when the text parses.
uint32_t ErrorLine(const std::string& text) {
  try {
    Parse(text);
  } catch (const CWrongXMLException& e) {
    return e.line;
  }
  return 0;
}

std::u16string Value(const XML::TXMLAttribute* a) {
  return a ? std::u16string(a->value.GetText(), a->value.Length()) : u"<none>";
}

class CMemoryLog : public CLog {
 public:
  void Write(const char* text, size_t length) override { lines.push_back(std::string(text, length)); }
  std::vector<std::string> lines;
};

TEST(XmlParser, AcceptedSubset) {
  auto root = Parse(
      "\xEF\xBB\xBF<?XmL version=\"1.0\" encoding='utf-8'?>\n"
      "<!-- before the root -->\n"
      "<Tags version=\"1.00\" Empty='' q='say \"hi\"'>\n"
      "  <!-- between children -->\n"
      "  <poi type='0x2a00-0x2a02, 17'>\n"
      "    <tag>  caf\xC3\xA9 &amp; bar  </tag>\n"
      "    <tag text=\"x\"/>\n"
      "  </POI>\n"
      "  <empty></empty>\n"
      "  <commented><!-- only a comment --></commented>\n"
      "  <spaced a = \"1\"\tb\n=\n'2'  ></spaced>\n"
      "</tags>\n"
      "trailing bytes are not examined <<<");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, "Tags");
  EXPECT_EQ(root->line, 3u);
  EXPECT_EQ(root->hasText, 0);
  ASSERT_EQ(root->attributes.Size(), 3u);
  EXPECT_EQ(Value(root->FindAttribute("VERSION")), u"1.00");
  EXPECT_EQ(Value(root->FindAttribute("empty")), u"");
  EXPECT_EQ(Value(root->FindAttribute("q")), u"say \"hi\"");
  EXPECT_EQ(root->FindAttribute("missing"), nullptr);
  ASSERT_EQ(root->children.Size(), 4u);

  const TXMLNode& poi = *root->children[0];
  EXPECT_EQ(poi.name, "poi");
  EXPECT_EQ(poi.line, 5u);
  EXPECT_EQ(poi.attributes[0].line, 5u);
  ASSERT_EQ(poi.children.Size(), 2u);
  const TXMLNode& tag = *poi.children[0];
  EXPECT_EQ(tag.hasText, 1);
  EXPECT_EQ(tag.children.Size(), 0u);
  EXPECT_EQ(Value(tag.FindAttribute("text")), u"  café &amp; bar  ");  // spaces kept, no entities
  EXPECT_EQ(tag.FindAttribute("text")->line, 6u);
  const TXMLNode& selfClosed = *poi.children[1];
  EXPECT_EQ(selfClosed.hasText, 0);
  EXPECT_EQ(Value(selfClosed.FindAttribute("TEXT")), u"x");

  const TXMLNode& empty = *root->children[1];
  EXPECT_EQ(empty.hasText, 1);
  EXPECT_EQ(Value(empty.FindAttribute("text")), u"");

  const TXMLNode& commented = *root->children[2];
  EXPECT_EQ(commented.hasText, 0);
  EXPECT_EQ(commented.attributes.Size(), 0u);
  EXPECT_EQ(commented.children.Size(), 0u);

  const TXMLNode& spaced = *root->children[3];
  ASSERT_EQ(spaced.attributes.Size(), 3u);  // a, b and the (blank) text
  EXPECT_EQ(Value(spaced.FindAttribute("b")), u"2");
  EXPECT_EQ(spaced.attributes[1].line, 11u);
}

TEST(XmlParser, SmallDocuments) {
  auto root = Parse("<a/>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->attributes.Size(), 0u);
  EXPECT_EQ(root->hasText, 0);

  root = Parse("<a b='1'c=\"2\"/>");  // no blank needed between attributes
  ASSERT_EQ(root->attributes.Size(), 2u);
  EXPECT_EQ(root->attributes[1].name, "c");

  root = Parse("<A:B1>\r\n<c/>\r\n</a:b1>");  // closing names match ignoring case
  ASSERT_EQ(root->children.Size(), 1u);
  EXPECT_EQ(root->children[0]->line, 2u);

  root = Parse("<a>x</a>");
  EXPECT_EQ(Value(root->FindAttribute("text")), u"x");
  // An element's own attribute comes before its text in document order.
  root = Parse("<a text='attr'>content</a>");
  EXPECT_EQ(Value(root->FindAttribute("text")), u"attr");
  EXPECT_EQ(root->attributes.Size(), 2u);

  root = Parse("<a><b><c>deep</c></b><b/></a>");
  ASSERT_EQ(root->children.Size(), 2u);
  EXPECT_EQ(Value(root->children[0]->children[0]->FindAttribute("text")), u"deep");
}

TEST(XmlParser, MalformedInputAndItsLine) {
  const struct {
    const char* text;
    uint32_t line;
  } cases[] = {
      {"", 1},
      {"   \n  ", 1},                                   // the search for a tag began on line 1
      {"<?xml version='1.0'?>\n\n  ", 1},
      {"<?xml\nversion='1.0'\n?>\n\n", 3},               // where the declaration ends
      {"\n\n<?xml version='1.0'", 3},                    // not a declaration: "<?" is a bad tag
      {"<?xml version='1.0'", 1},                        // the declaration never ends
      {"\xEF\xBB\xBF<?xml ?", 1},
      {"text", 1},
      {"<a", 1},
      {"\n<ab", 2},
      {"<a ", 1},
      {"<a\n", 1},
      {"<a/", 1},
      {"<a/x>", 1},
      {"<a>", 1},
      {"<a>\n<b>", 2},                                   // no '<' after b's '>'
      {"<a>\n<b\n>", 3},
      {"<a_b/>", 1},
      {"<a-b/>", 1},
      {"<a\nb_c='1'/>", 2},
      {"<a b/>", 1},
      {"<a b\n/>", 1},
      {"<a b=", 1},
      {"<a b=\n1/>", 1},
      {"<a b='1/>", 1},
      {"<a b=\"\n\n", 1},
      {"<a>\n</b>", 2},
      {"<a>\n<b>\n</a>\n</b>", 3},
      {"<a>\n</a >", 2},
      {"<a>text\n<b/></a>", 1},
      {"<a>\n<b/>\ntext\n<c/></a>", 2},                  // text between elements
      {"<a>\n<!-- open\n\n", 2},
      {"<a>\n<!-- c -->\n\nx</a>", 2},
      {"<a>\n</a\n", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorLine(c.text), c.line) << '"' << c.text << '"';
  }
}

TEST(XmlParser, ErrorPositionAndLine) {
  try {
    Parse("<a>\n\n<b c='1' d/>\n</a>");
    FAIL() << "no error";
  } catch (const CWrongXMLException& e) {
    EXPECT_EQ(e.position, 15u);  // just after the name d
    EXPECT_EQ(e.line, 3u);
  }
}

TEST(XmlParser, NestingDepthIsBounded) {
  auto nested = [](unsigned depth, bool selfClose) {
    std::string s;
    for (unsigned i = 0; i < depth; i++) s += "<n>";
    if (selfClose) s += "<leaf/>";
    for (unsigned i = 0; i < depth; i++) s += "</n>";
    return s;
  };
  EXPECT_EQ(ErrorLine(nested(CXMLParser::kMaxDepth, false)), 0u);
  EXPECT_EQ(ErrorLine(nested(CXMLParser::kMaxDepth - 1, true)), 0u);
  EXPECT_EQ(ErrorLine(nested(CXMLParser::kMaxDepth, true)), 1u);
  EXPECT_EQ(ErrorLine(nested(CXMLParser::kMaxDepth + 1, false)), 1u);

  std::string hostile;
  for (int i = 0; i < 200000; i++) hostile += "<a>\n";
  EXPECT_EQ(ErrorLine(hostile), CXMLParser::kMaxDepth + 1);

  auto root = Parse(nested(CXMLParser::kMaxDepth, false));
  unsigned depth = 0;
  for (const TXMLNode* n = root.get(); n; n = n->children.Size() ? n->children[0].get() : nullptr) depth++;
  EXPECT_EQ(depth, CXMLParser::kMaxDepth);
}

// Every prefix of a document is either malformed or, at full length, the document.
TEST(XmlParser, TruncatedInput) {
  const std::string doc =
      "\xEF\xBB\xBF<?xml version='1.0'?><!-- c --><tags version=\"1.00\">\n"
      " <poi type='1'><tag>a b</tag><tag text=\"c\"/></poi>\n <!---->\n</tags>";
  for (size_t n = 0; n < doc.size(); n++) {
    EXPECT_NE(ErrorLine(doc.substr(0, n)), 0u) << n;
  }
  EXPECT_EQ(ErrorLine(doc), 0u);
}

TEST(XmlParser, RandomMutationsNeverCrash) {
  const std::string doc =
      "<?xml version='1.0'?>\n<tags version=\"1.00\">\n <poi type='1'>\n  <tag>a b</tag>\n"
      "  <tag text=\"c\"/>\n </poi>\n <!-- x -->\n</tags>\n";
  const char alphabet[] = "<>/='\"!-? \nab";
  std::mt19937 rng(1115);
  int parsed = 0;
  for (int i = 0; i < 3000; i++) {
    std::string s = doc;
    int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); e++) {
      size_t at = rng() % s.size();
      switch (rng() % 3) {
        case 0: s[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
        case 1: s.erase(at, 1 + rng() % 3); break;
        default: s.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
      }
    }
    if (ErrorLine(s) == 0) parsed++;
  }
  EXPECT_GT(parsed, 0);
}

TEST(XmlDocument, LoadKeepsTheOldRootOnFailure) {
  std::string dir = TestUtil::MakeTempDir("xml");
  TestUtil::WriteFile(dir + "good.xml", "<tags version='1.00'/>");
  TestUtil::WriteFile(dir + "bad.xml", "<tags>\n<poi>\n</tags>");
  TestUtil::WriteFile(dir + "empty.xml", "");

  XML::CXMLDocument doc;
  EXPECT_EQ(doc.Load((dir + "missing.xml").c_str()), nullptr);
  EXPECT_EQ(doc.Load(dir.c_str()), nullptr);  // a directory is refused
  TXMLNode* root = doc.Load((dir + "good.xml").c_str());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root, doc.root.get());
  EXPECT_EQ(root->name, "tags");

  EXPECT_EQ(doc.Load((dir + "missing.xml").c_str()), nullptr);
  EXPECT_EQ(doc.root.get(), root);

  CMemoryLog log;
  try {
    doc.Load((dir + "bad.xml").c_str());
    FAIL() << "no error";
  } catch (const XML::CXMLException& e) {
    e.Print(log, doc.fileName.c_str());
  }
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "Wrong xml structure at " + dir + "bad.xml:3");
  EXPECT_EQ(doc.root.get(), root);

  try {
    doc.Load((dir + "empty.xml").c_str());
    FAIL() << "no error";
  } catch (const CWrongXMLException& e) {
    EXPECT_EQ(e.line, 1u);
  }
  EXPECT_EQ(doc.root.get(), root);
}

}  // namespace
