// Reads a local file in chunks, for uploads of any size without holding the file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class LocalFile {
 public:
  LocalFile() = default;
  ~LocalFile() { Close(); }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  // Opens an existing regular file (path in UTF-8) for reading. Another program may hold the file
  // open for writing (a log being written) and it is still read. On failure `error` gets the
  // system's text, in UTF-8.
  bool Open(const std::string& path, std::string* error);
  // Returns the number of bytes read, 0 at the end of the file, or -1 on a failure.
  long Read(char* buffer, std::size_t size, std::string* error);
  void Close();
  bool IsOpen() const { return handle_ != kClosed; }

 private:
  // Wide enough for a Windows HANDLE and for a POSIX descriptor; -1 is "invalid" for both.
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};
