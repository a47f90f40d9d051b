#include "files/file_name.h"

#include <windows.h>

#include <vector>

#include "files/no_disk_prompts_win.h"
#include "files/text.h"
#include "base/wide_win.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::string AfterLastSeparator(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// GetLongPathNameW or GetShortPathNameW, with a buffer as large as the answer needs; empty when
// the path names no file.
std::wstring ConvertedPath(DWORD(WINAPI* convert)(LPCWSTR, LPWSTR, DWORD),
                           const std::wstring& path) {
  const NoDiskPrompts quiet;
  DWORD size = convert(path.c_str(), nullptr, 0);
  for (int tries = 0; size > 0 && tries < 2; ++tries) {
    std::wstring result(size, L'\0');
    const DWORD length = convert(path.c_str(), &result[0], size);
    if (length == 0) break;
    if (length < size) {
      result.resize(length);
      return result;
    }
    size = length;  // the path was renamed into a longer one between the two calls
  }
  return std::wstring();
}

// The parts between separators, and each part's separator before it (none for the first part).
struct PathParts {
  std::vector<std::wstring> names;
  std::vector<std::wstring> separators;
};

PathParts Split(const std::wstring& path) {
  PathParts parts;
  std::size_t at = 0;
  std::wstring separator;
  for (;;) {
    std::size_t end = at;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    parts.separators.push_back(separator);
    parts.names.push_back(path.substr(at, end - at));
    if (end == path.size()) return parts;
    separator = path.substr(end, 1);
    at = end + 1;
  }
}

}  // namespace

std::string LongFileName(const std::string& utf8Path) {
  const std::wstring longPath = ConvertedPath(GetLongPathNameW, WideFromUtf8(utf8Path));
  return AfterLastSeparator(longPath.empty() ? utf8Path : Utf8FromWide(longPath));
}

bool AnsiPathOf(const std::string& utf8Path, std::string* ansiPath) {
  if (Utf8ToAnsi(utf8Path, ansiPath)) return true;
  const std::wstring longPath = WideFromUtf8(utf8Path);
  const std::wstring shortPath = ConvertedPath(GetShortPathNameW, longPath);
  if (shortPath.empty()) return false;
  const PathParts longParts = Split(longPath);
  const PathParts shortParts = Split(shortPath);
  // Long names where they survive keep the entry readable; the short path itself is the fallback
  // when the two do not line up part for part.
  if (longParts.names.size() != shortParts.names.size()) {
    return Utf8ToAnsi(Utf8FromWide(shortPath), ansiPath);
  }
  std::string result;
  for (std::size_t i = 0; i < shortParts.names.size(); ++i) {
    std::string part;
    if (!Utf8ToAnsi(Utf8FromWide(longParts.names[i]), &part) &&
        !Utf8ToAnsi(Utf8FromWide(shortParts.names[i]), &part)) {
      return false;
    }
    result += Utf8FromWide(shortParts.separators[i]) + part;
  }
  *ansiPath = result;
  return true;
}
