#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/dirutil.h"
#include "support/testutil.h"

namespace {

// Walks and returns "entrydir|name" with the root prefix cut to "<root>".
std::vector<std::string> Walk(const std::string& root, const std::string& path, bool recursive) {
  CDirIterator it;
  std::vector<std::string> out;
  if (!it.Open(path, recursive)) return {"<not opened>"};
  std::string name;
  uint32_t attributes;
  while (it.Next(&name, &attributes)) {
    std::string dir = it.EntryDirectory();
    if (dir.compare(0, root.size(), root) == 0) dir = "<root>" + dir.substr(root.size());
    out.push_back(dir + "|" + name + ((attributes & kFileAttributeDirectory) ? "/" : ""));
  }
  return out;
}

}  // namespace

TEST(DirIterator, RecursiveAndFlatWalks) {
  std::string root = TestUtil::MakeTempDir("walk");
  std::filesystem::create_directories(root + "a/s");
  std::filesystem::create_directories(root + "a/empty");
  std::filesystem::create_directories(root + "a/t/deeper/emptier");
  TestUtil::WriteFile(root + "a/x", "");
  TestUtil::WriteFile(root + "a/s/y", "");
  TestUtil::WriteFile(root + "a/z", "");
  TestUtil::WriteFile(root + "a/t/deeper/w", "");

  EXPECT_EQ(Walk(root, root + "a", true),
            (std::vector<std::string>{"<root>a/s/|y", "<root>a/t/deeper/|w", "<root>a/|x", "<root>a/|z"}));
  EXPECT_EQ(Walk(root, root + "a/", false),
            (std::vector<std::string>{"<root>a/|empty/", "<root>a/|s/", "<root>a/|t/", "<root>a/|x", "<root>a/|z"}));
  EXPECT_EQ(Walk(root, root + "a/empty", true), std::vector<std::string>{});
  EXPECT_EQ(Walk(root, root + "a/x", true), std::vector<std::string>{"<not opened>"});
  EXPECT_EQ(Walk(root, root + "missing", true), std::vector<std::string>{"<not opened>"});
}

TEST(DirIterator, SymlinkCycleIsNotFollowedForever) {
  std::string root = TestUtil::MakeTempDir("loop");
  std::filesystem::create_directories(root + "d/sub");
  TestUtil::WriteFile(root + "d/sub/f.mp", "");
  std::filesystem::create_directory_symlink("..", root + "d/sub/up");
  std::vector<std::string> entries = Walk(root, root + "d", true);
  // The link back to d is returned as an entry, not entered.
  EXPECT_EQ(entries, (std::vector<std::string>{"<root>d/sub/|f.mp", "<root>d/sub/|up/"}));
}

TEST(DirIterator, EmptyPathIsTheCurrentDirectory) {
  std::string root = TestUtil::MakeTempDir("cwd");
  TestUtil::WriteFile(root + "only", "");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);
  std::vector<std::string> entries = Walk("/nowhere/", "", false);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(entries, std::vector<std::string>{"|only"});
}

TEST(CreatePathDirectories, CreatesEveryDirectoryBeforeTheFileName) {
  std::string root = TestUtil::MakeTempDir("mkdirs");
  CreatePathDirectories(root + "m/n/f.qx");
  EXPECT_TRUE(std::filesystem::is_directory(root + "m/n"));
  EXPECT_FALSE(std::filesystem::exists(root + "m/n/f.qx"));
  CreatePathDirectories(root + "m/n/g.qx");  // existing directories are fine
  CreatePathDirectories("");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);
  CreatePathDirectories("rel/a/b.qx");
  CreatePathDirectories("bare.qx");
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(std::filesystem::is_directory(root + "rel/a"));
  EXPECT_FALSE(std::filesystem::exists(root + "bare.qx"));
}
