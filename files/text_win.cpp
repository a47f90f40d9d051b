#include "files/text.h"

#include <windows.h>

#include "base/wide_win.h"

std::string AnsiToUtf8(const std::string& ansi) { return Utf8FromWide(WideFromAnsi(ansi)); }

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  if (utf8.empty()) {
    ansi->clear();
    return true;
  }
  // A system set to UTF-8 as its ANSI code page holds every name (and refuses lpUsedDefaultChar).
  if (GetACP() == CP_UTF8) {
    *ansi = utf8;
    return true;
  }
  const std::wstring wide = WideFromUtf8(utf8);
  if (wide.empty()) return false;
  const int size = static_cast<int>(wide.size());
  // Without WC_NO_BEST_FIT_CHARS "ā" would quietly become "a" and name another file.
  BOOL usedDefault = FALSE;
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                                        nullptr, &usedDefault);
  if (bytes <= 0 || usedDefault) return false;
  std::string converted(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, &converted[0], bytes,
                      nullptr, &usedDefault);
  if (usedDefault) return false;
  *ansi = std::move(converted);
  return true;
}
