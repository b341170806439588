#include <gtest/gtest.h>

#include <string>

#include "app/config.h"
#include "support/testutil.h"

namespace {

struct TLoaded {
  bool ok;
  std::string log;  // stamps masked
};

TLoaded Load(CConverterConfig& config, const std::string& text) {
  std::string path = TestUtil::MakeTempDir("config") + "params.cfg";
  TestUtil::WriteFile(path, text);
  TestUtil::CStdoutCapture capture;
  bool ok = config.LoadConfig(path.c_str());
  return {ok, TestUtil::MaskTimestamps(capture.Finish())};
}

std::string Join(const CReallocArray<std::string>& list) {
  std::string s;
  for (const std::string& item : list) s += item + ";";
  return s;
}

}  // namespace

TEST(ParameterFile, Defaults) {
  CConverterConfig c;
  TLoaded r = Load(c, "");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.log, "");
  EXPECT_EQ(c.outputDirectory, "");
  EXPECT_EQ(c.atlasMode, AtlasModeInput);
  EXPECT_TRUE(c.compress);
  EXPECT_FALSE(c.subdirs || c.generalize || c.removeDupes || c.removeJitters || c.onlyLegalSpeed);
}

TEST(ParameterFile, LineRules) {
  CConverterConfig c;
  TLoaded r = Load(c,
                   "\xEF\xBB\xBFmap = a.mp \r\n"
                   "# comment\n"
                   "; comment\n"
                   "   \t \n"
                   "  Output =  out  \n"
                   "output=ignored\n"
                   "MAP=b=c.mp\n"
                   "map=\n"
                   "tiles=t1/\n"
                   "Tiles=t2\n"
                   "url = http://x/?a=b \n"
                   "  #x=1\n"
                   "unknown=3\n"
                   "SubDirs=01\n"
                   "subdirs=0\n");
  ASSERT_TRUE(r.ok) << r.log;
  EXPECT_EQ(Join(c.mapInputs), "a.mp;b=c.mp;");
  EXPECT_EQ(Join(c.tileInputs), "t1/;t2;");
  EXPECT_EQ(c.outputDirectory, "out/");
  EXPECT_EQ(c.url, "http://x/?a=b");
  EXPECT_TRUE(c.subdirs);
  EXPECT_EQ(r.log, "T: Wrong param \"#x\".\nT: Wrong param \"unknown\".\n");
}

TEST(ParameterFile, OutputAndEmptyFirstOccurrence) {
  struct Case {
    const char* text;
    const char* output;
  } cases[] = {{"output=out\n", "out/"},
               {"output=out\\\n", "out\\"},
               {"output=o/\n", "o/"},
               {"output=\noutput=later\n", ""},
               {"", ""}};
  for (const Case& k : cases) {
    CConverterConfig c;
    TLoaded r = Load(c, k.text);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.log, "") << k.text;
    EXPECT_EQ(c.outputDirectory, k.output) << k.text;
  }
}

TEST(ParameterFile, BooleanAndAtlasValues) {
  struct Case {
    const char* text;
    bool ok;
    const char* log;
  } cases[] = {
      {"subdirs=1\n", true, ""},
      {"compress=0\n", true, ""},
      {"SUBDIRS=2\n", false, "T: Bad \"SUBDIRS\" value.\n"},
      {"generalize=true\n", false, "T: Bad \"generalize\" value.\n"},
      {"removeDupes=-1\n", false, "T: Bad \"removeDupes\" value.\n"},
      {"removeJitters=1x\n", false, "T: Bad \"removeJitters\" value.\n"},
      {"onlyLegalSpeed=99999999999999999999\n", false, "T: Bad \"onlyLegalSpeed\" value.\n"},
      {"atlas=all\n", false, "T: Bad \"atlas\" value.\n"},
      {"ATLAS=all\nfoo=1\n", false, "T: Bad \"atlas\" value.\n"},
      {"atlas=OUTPUT\n", true, ""},
      {"atlas=None\n", true, ""},
      {"tags=/nonexistent/tags.xml\n", false, "T: Error loading tags config.\n"},
      {"layers=/nonexistent/layers.txt\n", false, "T: Error loading layers config.\n"},
  };
  for (const Case& k : cases) {
    CConverterConfig c;
    TLoaded r = Load(c, k.text);
    EXPECT_EQ(r.ok, k.ok) << k.text;
    EXPECT_EQ(r.log, k.log) << k.text;
  }
  CConverterConfig c;
  Load(c, "atlas=OUTPUT\ncompress=0\n");
  EXPECT_EQ(c.atlasMode, AtlasModeOutput);
  EXPECT_FALSE(c.compress);
}

TEST(ParameterFile, UnreadableFiles) {
  std::string dir = TestUtil::MakeTempDir("badcfg");
  struct Case {
    std::string text;
  } cases[] = {{"novalue\n"}, {"=value\n"}, {"  =value\n"}, {"  #comment\n"}};
  for (const Case& k : cases) {
    CConverterConfig c;
    TLoaded r = Load(c, k.text);
    EXPECT_FALSE(r.ok) << k.text;
    EXPECT_EQ(r.log, "T: Error loading config file.\n");
  }
  CConverterConfig c;
  TestUtil::CStdoutCapture capture;
  EXPECT_FALSE(c.LoadConfig((dir + "missing.cfg").c_str()));
  EXPECT_FALSE(c.LoadConfig(dir.c_str()));
  EXPECT_EQ(TestUtil::MaskTimestamps(capture.Finish()),
            "T: Error loading config file.\nT: Error loading config file.\n");
  // One or two bytes: no byte-order-mark test, the line still reads.
  CConverterConfig d;
  EXPECT_FALSE(Load(d, "\xEF\xBB").ok);
  EXPECT_TRUE(Load(d, "a=").ok);
}
