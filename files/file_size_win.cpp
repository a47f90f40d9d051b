#include "files/file_size.h"

#include "files/no_disk_prompts_win.h"
#include "base/wide_win.h"

#include <windows.h>

bool LocalFileSize(const std::string& path, std::uint64_t* size) {
  const NoDiskPrompts quiet;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}
