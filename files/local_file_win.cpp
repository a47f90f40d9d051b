#include "files/local_file.h"

#include "files/no_disk_prompts_win.h"
#include "base/wide_win.h"
#include "base/system_error.h"

#include <windows.h>

namespace {

// ReadFile takes a DWORD count; a smaller cap keeps the result inside a 32-bit long.
constexpr std::size_t kMaxRead = 0x40000000;
const char* const kNotAFileText = "Not a regular file";

// The system speaks the ANSI code page; everything beside a file name here is UTF-8.
std::string SystemText(DWORD code) { return SystemErrorText(code); }

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool LocalFile::Open(const std::string& path, std::string* error) {
  Close();
  const NoDiskPrompts quiet;
  // Full sharing: a file another program keeps open for writing (a log) must still be readable.
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = SystemText(GetLastError());
    return false;
  }
  // Device names (CON, a pipe) open like files but would block or never end.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    *error = kNotAFileText;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

long LocalFile::Read(char* buffer, std::size_t size, std::string* error) {
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(size < kMaxRead ? size : kMaxRead);
  if (!ReadFile(AsHandle(handle_), buffer, wanted, &got, nullptr)) {
    *error = SystemText(GetLastError());
    return -1;
  }
  return static_cast<long>(got);
}

void LocalFile::Close() {
  if (handle_ == kClosed) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}
