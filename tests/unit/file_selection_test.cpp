#include "ui/file_selection.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

// The dialog's buffer: names separated by zeros, closed by an empty name.
std::vector<std::string> Paths(const std::string& buffer) {
  return SelectedPaths(buffer.data(), buffer.size());
}

TEST(SelectedPaths, OneFileIsItsFullPath) {
  EXPECT_EQ(Paths("C:\\data\\report.doc\0\0"s), (std::vector<std::string>{"C:\\data\\report.doc"}));
}

TEST(SelectedPaths, SeveralFilesAreJoinedToTheirDirectoryInOrder) {
  EXPECT_EQ(Paths("C:\\data\0b.txt\0a.txt\0c\0\0"s),
            (std::vector<std::string>{"C:\\data\\b.txt", "C:\\data\\a.txt", "C:\\data\\c"}));
}

TEST(SelectedPaths, DriveRootGetsNoSecondBackslash) {
  EXPECT_EQ(Paths("C:\\\0x.txt\0y.txt\0\0"s), (std::vector<std::string>{"C:\\x.txt", "C:\\y.txt"}));
}

TEST(SelectedPaths, EmptyOrUnterminatedBuffersStayInside) {
  EXPECT_TRUE(Paths("\0\0"s).empty());
  // No closing zeros at all: the walk stops at the end of the buffer.
  std::string unterminated = "C:\\dir";
  unterminated.push_back('\0');
  unterminated += "name";
  EXPECT_EQ(SelectedPaths(unterminated.data(), unterminated.size()),
            (std::vector<std::string>{"C:\\dir\\name"}));
}

}  // namespace
