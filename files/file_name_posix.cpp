#include "files/file_name.h"

#include "files/text.h"

std::string LongFileName(const std::string& utf8Path) {
  const std::size_t slash = utf8Path.rfind('/');
  return slash == std::string::npos ? utf8Path : utf8Path.substr(slash + 1);
}

bool AnsiPathOf(const std::string& utf8Path, std::string* ansiPath) {
  return Utf8ToAnsi(utf8Path, ansiPath);
}
