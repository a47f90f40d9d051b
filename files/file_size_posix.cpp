#include "files/file_size.h"

#include <sys/stat.h>

bool LocalFileSize(const std::string& path, std::uint64_t* size) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}
