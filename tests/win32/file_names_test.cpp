// File names the ANSI code page cannot hold, through the conversions, the directory search, the
// file reading and the short form the backup list keeps them under.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "files/file_find.h"
#include "files/file_name.h"
#include "files/local_file.h"
#include "files/text.h"
#include "base/wide_win.h"

namespace {

const std::string kCyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";  // Отчёт.txt
const std::string kChinese = "\xE6\x8A\xA5\xE5\x91\x8A.log";                   // 报告.log

std::string Read(const std::string& path) {
  LocalFile file;
  std::string error;
  char buffer[256];
  const long got = file.Open(path, &error) ? file.Read(buffer, sizeof buffer, &error) : -1;
  return got < 0 ? "<" + error + ">" : std::string(buffer, static_cast<std::size_t>(got));
}

TEST(AnsiText, SurvivesTheCodePageWholeOrIsRefused) {
  if (GetACP() != 1252) GTEST_SKIP() << "the cases are those of code page 1252";
  const std::pair<std::string, const char*> cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC?.txt", "caf\xE9 \x80?.txt"},  // a "?" of its own is no loss
      {kCyrillic, nullptr},
      {kChinese, nullptr},
      {"\xC4\x81\xE2\x88\x9E", nullptr},  // "a8" to a best fit
  };
  for (const auto& [utf8, expected] : cases) {
    std::string ansi = "untouched";
    EXPECT_EQ(Utf8ToAnsi(utf8, &ansi), expected != nullptr) << utf8;
    EXPECT_EQ(ansi, expected != nullptr ? expected : "untouched") << utf8;
  }
  for (int byte = 1; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    std::string back;
    EXPECT_TRUE(Utf8ToAnsi(AnsiToUtf8(one), &back) && back == one) << byte;
  }
}

TEST(NonAnsiFiles, AreListedReadKeptUnderShortNamesAndSentUnderLongOnes) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::string dir =
      Utf8FromWide(std::wstring(temp)) + "\xD0\x94-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(dir).c_str(), nullptr));
  const std::map<std::string, std::string> files = {{kCyrillic, "cyrillic"}, {kChinese, "chinese"}};
  for (const auto& [name, content] : files) {
    const HANDLE file = CreateFileW(WideFromUtf8(dir + "\\" + name).c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
  }

  std::map<std::string, std::string> found;
  CFileFind finder;
  ASSERT_TRUE(finder.FindFile(dir + "\\*.*"));
  for (bool more = true; more;) {
    more = finder.FindNextFile();
    if (!finder.IsDirectory()) found[finder.GetFileName()] = Read(finder.GetFilePath());
  }
  EXPECT_EQ(found, files);
  for (const auto& [name, content] : files) {
    std::string ansi;
    ASSERT_TRUE(AnsiPathOf(dir + "\\" + name, &ansi)) << name;
    EXPECT_EQ(ansi.find('?'), std::string::npos) << ansi;
    EXPECT_EQ(LongFileName(AnsiToUtf8(ansi)), name) << ansi;
    EXPECT_EQ(Read(AnsiToUtf8(ansi)), content) << ansi;
  }

  std::string ansi;
  EXPECT_FALSE(AnsiPathOf(dir + "\\gone-" + kCyrillic, &ansi)) << "no file, no short name";

  for (const auto& file : files) DeleteFileW(WideFromUtf8(dir + "\\" + file.first).c_str());
  RemoveDirectoryW(WideFromUtf8(dir).c_str());
}

}  // namespace
