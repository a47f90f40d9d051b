#include "files/text.h"

#include <windows.h>

#include "files/wide_win.h"

namespace {

std::wstring WideFrom(UINT codePage, const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int chars = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (chars <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], chars);
  return wide;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& utf8) { return WideFrom(CP_UTF8, utf8); }

std::string Utf8FromWide(const wchar_t* wide, std::size_t length) {
  if (length == 0) return std::string();
  const int size = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, size, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

std::string AnsiToUtf8(const std::string& ansi) { return Utf8FromWide(WideFrom(CP_ACP, ansi)); }

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
