#include "base/process.h"

#include <windows.h>

#include <vector>

std::string RunningExecutablePath() {
  // Paths can exceed MAX_PATH; the call truncates silently, so grow until the result fits.
  constexpr DWORD kInitialBufferSize = MAX_PATH;
  constexpr DWORD kMaxBufferSize = 32768;
  for (DWORD size = kInitialBufferSize; size <= kMaxBufferSize; size *= 2) {
    std::vector<char> buffer(size);
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return std::string();
    if (length < size) return std::string(buffer.data(), length);
  }
  return std::string();
}

std::string ProcessCommandLine() {
  const char* commandLine = GetCommandLineA();
  return commandLine != nullptr ? std::string(commandLine) : std::string();
}
