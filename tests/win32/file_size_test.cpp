// The size the upload pool decides by, for names the ANSI code page cannot hold and for files
// past 4 GiB, whose size no longer fits one 32-bit half.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "files/file_size.h"
#include "base/wide_win.h"

namespace {

const std::string kCyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82";  // Отчёт

TEST(LocalFileSize, ReadsEverySizeUnderAnyName) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::string base = Utf8FromWide(std::wstring(temp)) + kCyrillic + "-" +
                           std::to_string(GetCurrentProcessId()) + "-";
  const std::uint64_t sizes[] = {0, 12345, (std::uint64_t{5} << 30) + 3};
  for (const std::uint64_t expected : sizes) {
    const std::string path = base + std::to_string(expected) + ".bin";
    const std::wstring wide = WideFromUtf8(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(expected);
    // Only the end is set: the file stays sparse, nothing is written.
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    std::uint64_t size = 1;
    EXPECT_TRUE(LocalFileSize(path, &size)) << expected;
    EXPECT_EQ(size, expected);
    DeleteFileW(wide.c_str());
  }
  std::uint64_t untouched = 7;
  EXPECT_FALSE(LocalFileSize(base + "gone.bin", &untouched));
  EXPECT_EQ(untouched, 7u);
}

}  // namespace
