// The directory search behind wildcard entries: one level, the class library's calling pattern.
#include "files/file_find.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "tests/unit/ftp_test_support.h"

namespace {

using ftptest::TempDir;
using ftptest::WriteFile;

struct Match {
  std::string name;
  std::string path;
  bool directory;
  bool dots;
};

std::vector<Match> FindAll(const std::string& pattern) {
  std::vector<Match> matches;
  CFileFind finder;
  if (!finder.FindFile(pattern)) return matches;
  bool more = true;
  while (more) {
    more = finder.FindNextFile();
    matches.push_back(
        {finder.GetFileName(), finder.GetFilePath(), finder.IsDirectory(), finder.IsDots()});
  }
  return matches;
}

std::set<std::string> Names(const std::vector<Match>& matches) {
  std::set<std::string> names;
  for (const Match& match : matches) names.insert(match.name);
  return names;
}

class FileFindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.log", "b.log", "c.txt", ".hidden.log"})
      WriteFile(dir_ / name, name);
    std::filesystem::create_directory(dir_ / "sub");
    WriteFile(dir_ / "sub/d.log", "d");
  }
  TempDir dir_;
};

TEST_F(FileFindTest, ListsMatchesOfOneDirectoryOnly) {
  const std::vector<Match> matches = FindAll(dir_ / "*.log");
  EXPECT_EQ(Names(matches), (std::set<std::string>{"a.log", "b.log", ".hidden.log"}));
  for (const Match& match : matches) {
    EXPECT_EQ(match.path, dir_ / match.name);
    EXPECT_FALSE(match.directory);
    EXPECT_FALSE(match.dots);
  }
}

TEST_F(FileFindTest, StarAlsoListsTheDirectoryItsParentAndSubDirectories) {
  const std::vector<Match> matches = FindAll(dir_ / "*");
  EXPECT_EQ(Names(matches),
            (std::set<std::string>{".", "..", "a.log", "b.log", "c.txt", ".hidden.log", "sub"}));
  for (const Match& match : matches) {
    const bool isDots = match.name == "." || match.name == "..";
    EXPECT_EQ(match.dots, isDots) << match.name;
    EXPECT_EQ(match.directory, isDots || match.name == "sub") << match.name;
  }
}

TEST_F(FileFindTest, FindNextFileReportsWhetherMoreRemain) {
  CFileFind finder;
  EXPECT_FALSE(finder.FindNextFile()) << "nothing before FindFile";
  ASSERT_TRUE(finder.FindFile(dir_ / "c.*"));
  EXPECT_FALSE(finder.FindNextFile()) << "the only match is also the last";
  EXPECT_EQ(finder.GetFileName(), "c.txt");

  ASSERT_TRUE(finder.FindFile(dir_ / "?.log"));
  EXPECT_TRUE(finder.FindNextFile());
  const std::string first = finder.GetFileName();
  EXPECT_FALSE(finder.FindNextFile());
  EXPECT_NE(finder.GetFileName(), first);
  finder.Close();
  EXPECT_EQ(finder.GetFileName(), "");
}

TEST_F(FileFindTest, MatchesLettersRegardlessOfCase) {
  EXPECT_EQ(Names(FindAll(dir_ / "*.LOG")),
            (std::set<std::string>{"a.log", "b.log", ".hidden.log"}));
}

TEST_F(FileFindTest, NothingMatchesOrNoSuchDirectory) {
  CFileFind finder;
  EXPECT_FALSE(finder.FindFile(dir_ / "*.doc"));
  EXPECT_FALSE(finder.FindFile(dir_ / "missing/*"));
  EXPECT_FALSE(finder.FindNextFile());
}

TEST_F(FileFindTest, FailureReasonTellsAFolderThatCannotBeReadFromOneWithoutMatches) {
  std::filesystem::create_directory(dir_ / "locked");
  chmod(dir_.Path().c_str(), 0755);
  chmod((dir_ / "locked").c_str(), 0);
  struct Case {
    std::string pattern;
    bool asNobody;  // root reads any folder; nobody's file-system id is refused like a user's
    std::string reason;
  };
  // Each listing follows one that ended otherwise: nothing carries over.
  const Case cases[] = {
      {dir_ / "missing/*.log", false, kFolderMissingReason},
      {dir_ / "*.doc", false, ""},
      {dir_ / "c.txt/*.log", false, kFolderMissingReason},  // a file where the folder should be
      {dir_ / "*.log", false, ""},
      {dir_ / "locked/*", true, kFolderDeniedReason},
      {dir_ / "sub/*.doc", true, ""},
  };
  const uid_t me = geteuid();
  CFileFind finder;
  for (const Case& c : cases) {
    if (c.asNobody) setfsuid(65534);
    finder.FindFile(c.pattern);
    setfsuid(me);
    EXPECT_EQ(finder.FailureReason(), c.reason) << c.pattern;
  }
}

TEST_F(FileFindTest, RelativePatternsAreMadeAbsolute) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir_.Path());
  const std::string here = std::filesystem::current_path().string();
  const std::vector<Match> plain = FindAll("*.txt");
  const std::vector<Match> nested = FindAll("sub/*.log");
  std::filesystem::current_path(before);

  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].path, here + "/c.txt");
  ASSERT_EQ(nested.size(), 1u);
  EXPECT_EQ(nested[0].path, here + "/sub/d.log");
}

}  // namespace
