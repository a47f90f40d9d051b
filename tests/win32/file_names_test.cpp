// File names the ANSI code page cannot hold, through the conversions, the directory search and the
// file reading the transfer run uses, and the short form the backup list keeps them under.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "files/file_find.h"
#include "files/file_name.h"
#include "files/local_file.h"
#include "files/text.h"
#include "files/wide_win.h"

namespace {

const std::string kCyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";    // Отчёт.txt
const std::string kChinese = "\xE6\x8A\xA5\xE5\x91\x8A.log";                     // 报告.log
const std::string kFolder = "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5";  // Данные

// The cases are those of the Western code page the tests run under.
class Cp1252Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page is " << GetACP();
  }
};

TEST_F(Cp1252Test, TextsSurviveTheCodePageOrAreRefusedWhole) {
  struct Case {
    std::string utf8;
    bool survives;
    std::string ansi;
  };
  const Case cases[] = {
      {"", true, ""},
      {"C:\\logs\\plain.txt", true, "C:\\logs\\plain.txt"},
      {"caf\xC3\xA9 \xE2\x82\xAC.txt", true, "caf\xE9 \x80.txt"},  // café €
      {"what?.txt", true, "what?.txt"},  // a "?" of its own is no sign of loss
      {kCyrillic, false, ""},
      {kChinese, false, ""},
      {"\xC4\x81.txt", false, ""},      // ā, which a best fit would make "a"
      {"\xE2\x88\x9E.txt", false, ""},  // ∞, which a best fit would make "8"
  };
  for (const Case& c : cases) {
    std::string ansi = "untouched";
    EXPECT_EQ(Utf8ToAnsi(c.utf8, &ansi), c.survives) << c.utf8;
    EXPECT_EQ(ansi, c.survives ? c.ansi : "untouched") << c.utf8;
    if (c.survives) {
      EXPECT_EQ(AnsiToUtf8(c.ansi), c.utf8);
    }
  }
  // Every byte the code page defines comes back as it was.
  for (int byte = 1; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    std::string back;
    EXPECT_TRUE(Utf8ToAnsi(AnsiToUtf8(one), &back)) << byte;
    EXPECT_EQ(back, one) << byte;
  }
}

class NonAnsiFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    base_ = Utf8FromWide(std::wstring(temp)) + "quillory-names-" +
            std::to_string(GetCurrentProcessId());
    dir_ = base_ + "\\" + kFolder;
    CreateDirectoryW(WideFromUtf8(base_).c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(dir_).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    for (const auto& [name, content] : files_) Write(dir_ + "\\" + name, content);
  }
  void TearDown() override {
    for (const auto& file : files_) DeleteFileW(WideFromUtf8(dir_ + "\\" + file.first).c_str());
    RemoveDirectoryW(WideFromUtf8(dir_).c_str());
    RemoveDirectoryW(WideFromUtf8(base_).c_str());
  }

  static void Write(const std::string& path, const std::string& content) {
    const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
  }
  static std::string Read(const std::string& path) {
    LocalFile file;
    std::string error;
    if (!file.Open(path, &error)) return "<" + error + ">";
    char buffer[256];
    const long got = file.Read(buffer, sizeof buffer, &error);
    return got < 0 ? "<" + error + ">" : std::string(buffer, static_cast<std::size_t>(got));
  }

  std::string base_;
  std::string dir_;
  const std::map<std::string, std::string> files_ = {
      {kCyrillic, "cyrillic"}, {kChinese, "chinese"}, {"plain.log", "plain"}};
};

TEST_F(NonAnsiFilesTest, AreListedAndReadUnderTheirOwnNames) {
  std::map<std::string, std::string> found;
  CFileFind finder;
  ASSERT_TRUE(finder.FindFile(dir_ + "\\*"));
  for (bool more = true; more;) {
    more = finder.FindNextFile();
    if (finder.IsDirectory()) continue;
    EXPECT_EQ(finder.GetFilePath(), dir_ + "\\" + finder.GetFileName());
    EXPECT_EQ(LongFileName(finder.GetFilePath()), finder.GetFileName());
    found[finder.GetFileName()] = Read(finder.GetFilePath());
  }
  EXPECT_EQ(finder.FailureReason(), "");
  EXPECT_EQ(found, files_);
}

TEST_F(NonAnsiFilesTest, AreKeptUnderAShortFormAndSentUnderTheirLongName) {
  for (const std::string& name : {kCyrillic, kChinese}) {
    const std::string path = dir_ + "\\" + name;
    std::string ansi;
    ASSERT_TRUE(AnsiPathOf(path, &ansi)) << path;
    // What the code page holds of the path is kept as it is; only the other parts are shortened.
    std::string ansiBase;
    ASSERT_TRUE(Utf8ToAnsi(base_, &ansiBase));
    EXPECT_EQ(ansi.rfind(ansiBase + "\\", 0), 0u) << ansi;
    EXPECT_EQ(ansi.find('?'), std::string::npos) << ansi;
    const std::string stored = AnsiToUtf8(ansi);
    EXPECT_EQ(LongFileName(stored), name) << ansi;
    EXPECT_EQ(Read(stored), files_.at(name)) << ansi;
  }
  std::string ansi;
  EXPECT_FALSE(AnsiPathOf(dir_ + "\\not-there-" + kCyrillic, &ansi)) << "no file, no short name";
  EXPECT_EQ(LongFileName(dir_ + "\\gone\\" + kChinese), kChinese);
  EXPECT_EQ(LongFileName("C:/gone/x.txt"), "x.txt");
}

TEST_F(NonAnsiFilesTest, FolderThatCannotBeListedIsToldFromOneWithoutMatches) {
  std::string absentDrive = "?:";
  const DWORD drives = GetLogicalDrives();
  for (char letter = 'Q'; letter <= 'Y' && absentDrive[0] == '?'; ++letter) {
    if ((drives & (1u << (letter - 'A'))) == 0) absentDrive[0] = letter;
  }
  struct Case {
    std::string pattern;
    std::string reason;
  };
  const Case cases[] = {
      {dir_ + "\\*.none", ""},
      {dir_ + "\\gone\\*.log", kFolderMissingReason},
      {dir_ + "\\gone\\deeper\\*.log", kFolderMissingReason},
      {dir_ + "\\plain.log\\*.log", kFolderMissingReason},
      {absentDrive + "\\logs\\*.log", kDriveNotReadyReason},
  };
  CFileFind finder;
  for (const Case& c : cases) {
    EXPECT_FALSE(finder.FindFile(c.pattern)) << c.pattern;
    EXPECT_EQ(finder.FailureReason(), c.reason) << c.pattern;
  }
}

}  // namespace
