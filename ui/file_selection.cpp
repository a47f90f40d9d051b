#include "ui/file_selection.h"

#include <cstring>

std::vector<std::string> SelectedPaths(const char* buffer, std::size_t size) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < size && buffer[at] != '\0') {
    std::size_t length = strnlen(buffer + at, size - at);
    parts.emplace_back(buffer + at, length);
    at += length + 1;
  }
  if (parts.size() <= 1) return parts;

  std::string directory = parts.front();
  if (directory.back() != '\\') directory += '\\';
  std::vector<std::string> paths;
  for (std::size_t i = 1; i < parts.size(); ++i) paths.push_back(directory + parts[i]);
  return paths;
}
