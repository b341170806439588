#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "support/testutil.h"

TEST(Driver, MapFileNames) {
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {{"a.b.mp", "a.b.qx"}, {"noext", "noext.qx"}, {".mp", ".qx"},  {"dir/x.mp", "x.qx"},
               {"d.x\\y", "y.qx"},   {"d.x/y", "y.qx"},     {"in/s.MP", "s.qx"}};
  for (const Case& c : cases) EXPECT_EQ(MapFileName(c.path), c.name) << c.path;
}

TEST(Driver, ElapsedTimeArithmetic) {
  EXPECT_EQ(FormatElapsed(3725900, 3726400), "Ok (01:02:05 / 01:02:06).");
  EXPECT_EQ(FormatElapsed(0, 999), "Ok (00:00:00 / 00:00:00).");
  EXPECT_EQ(FormatElapsed(360000000, 4294967295u), "Ok (100:00:00 / 1193:02:47).");
}

TEST(Driver, Extensions) {
  EXPECT_TRUE(HasExtension("a.mp", ".mp"));
  EXPECT_TRUE(HasExtension("B.MP", ".mp"));
  EXPECT_TRUE(HasExtension(".mp", ".mp"));
  EXPECT_TRUE(HasExtension("x.mp", ".mp"));
  EXPECT_FALSE(HasExtension("mp", ".mp"));
  EXPECT_FALSE(HasExtension("a.mpx", ".mp"));
  EXPECT_TRUE(HasExtension("m.qx", ".qx"));
}

namespace {

std::vector<std::string> Inputs(const std::string& root, const std::string& input, bool recursive, bool* ok) {
  std::vector<std::string> out;
  bool stop = false;
  *ok = ForEachMapInput(input, recursive, &stop, [&](const std::string& file, const std::string& rel) {
    std::string f = file.compare(0, root.size(), root) == 0 ? "<root>" + file.substr(root.size()) : file;
    out.push_back(f + " -> [" + rel + "]");
  });
  return out;
}

}  // namespace

TEST(Driver, MapInputsAndMirroredOutputDirectories) {
  std::string root = TestUtil::MakeTempDir("inputs");
  std::filesystem::create_directories(root + "in/sub/deep");
  std::filesystem::create_directories(root + "in/empty");
  std::filesystem::create_directories(root + "in/d.mp");  // a directory with a map name
  TestUtil::WriteFile(root + "in/a.mp", "");
  TestUtil::WriteFile(root + "in/readme.txt", "");
  TestUtil::WriteFile(root + "in/sub/b.MP", "");
  TestUtil::WriteFile(root + "in/sub/deep/c.Mp", "");
  std::filesystem::create_directory_symlink("../..", root + "in/sub/deep/loop.mp");
  bool ok;
  EXPECT_EQ(Inputs(root, root + "in", true, &ok),
            (std::vector<std::string>{"<root>in/a.mp -> []", "<root>in/sub/b.MP -> [sub/]",
                                      "<root>in/sub/deep/c.Mp -> [sub/deep/]",
                                      "<root>in/sub/deep/loop.mp -> [sub/deep/]"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Inputs(root, root + "in/", false, &ok),
            (std::vector<std::string>{"<root>in/a.mp -> []", "<root>in/d.mp -> []"}));
  EXPECT_EQ(Inputs(root, root + "in/a.mp", true, &ok), std::vector<std::string>{"<root>in/a.mp -> []"});
  EXPECT_EQ(Inputs(root, root + "missing.mp", true, &ok), std::vector<std::string>{"<root>missing.mp -> []"});
  EXPECT_TRUE(ok);
  EXPECT_EQ(Inputs(root, root + "nodir/", true, &ok), std::vector<std::string>{});
  EXPECT_FALSE(ok);
  EXPECT_EQ(Inputs(root, root + "nodir\\", true, &ok), std::vector<std::string>{});
  EXPECT_FALSE(ok);
}

TEST(Driver, WrittenMapsListEachOutputOnce) {
  std::string root = TestUtil::MakeTempDir("written");
  std::filesystem::create_directories(root + "a");
  std::filesystem::create_directories(root + "b");
  std::string samplePath = ORLUMO_SOURCE_DIR;
  samplePath += "/examples/maps/harbour.mp";
  std::string sample = TestUtil::ReadFile(samplePath);
  TestUtil::WriteFile(root + "a/m.mp", sample);
  TestUtil::WriteFile(root + "b/m.mp", sample);
  TestUtil::WriteFile(root + "bad.mp", "no header here\n");
  CConverterConfig config;
  CReallocArray<std::string> written;
  bool stop = false;
  TestUtil::CStdoutCapture capture;
  EXPECT_TRUE(ConvertMap(root + "a/m.mp", root + "out/", config, true, written, &stop, 0));
  EXPECT_TRUE(ConvertMap(root + "b/m.mp", root + "out/", config, true, written, &stop, 0));
  ASSERT_EQ(written.Size(), 1u);
  EXPECT_EQ(written[0], root + "out/m.qx");
  // A failed write of the same name removes the file, and the list forgets it.
  TestUtil::WriteFile(root + "b/m.mp", "[IMG ID]\nName=x\n[END-IMG ID]\n");  // no level table: cannot be written
  EXPECT_FALSE(ConvertMap(root + "b/m.mp", root + "out/", config, true, written, &stop, 0));
  EXPECT_EQ(written.Size(), 0u);
  EXPECT_FALSE(TestUtil::FileExists(root + "out/m.qx"));
  // A map that does not load touches no file and no list.
  EXPECT_FALSE(ConvertMap(root + "bad.mp", root + "out/", config, true, written, &stop, 0));
  std::string log = TestUtil::MaskTimestamps(capture.Finish());
  EXPECT_NE(log.find("T: No header\n"), std::string::npos) << log;
}
