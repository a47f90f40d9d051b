#include "ui/file_selection.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;
using Paths = std::vector<std::string>;

// The dialog's buffer: names separated by zeros, closed by an empty name; one name is a file's full
// path, several are a directory and the names in it.
TEST(SelectedPaths, NamesAreJoinedToTheirDirectoryInOrderWithinTheBuffer) {
  const struct {
    const char* name;
    std::string buffer;
    Paths paths;
  } cases[] = {
      {"one file", "C:\\data\\report.doc\0\0"s, Paths{"C:\\data\\report.doc"}},
      {"several", "C:\\data\0b.txt\0a.txt\0c\0\0"s,
       Paths{"C:\\data\\b.txt", "C:\\data\\a.txt", "C:\\data\\c"}},
      {"drive root: no second backslash", "C:\\\0x.txt\0y.txt\0\0"s,
       Paths{"C:\\x.txt", "C:\\y.txt"}},
      {"empty", "\0\0"s, Paths{}},
      // No closing zeros at all: the walk stops at the end of the buffer.
      {"unterminated", "C:\\dir\0name"s, Paths{"C:\\dir\\name"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectedPaths(c.buffer.data(), c.buffer.size()), c.paths) << c.name;
  }
}

}  // namespace
