// Text to and from the UTF-16 the Windows wide API takes. Windows only (defined in wide_win.cpp).
#pragma once

#include <cstddef>
#include <string>

std::wstring WideFromUtf8(const std::string& utf8);
// From the system code page, as the window, the list box and the registry hold text.
std::wstring WideFromAnsi(const std::string& ansi);
std::string Utf8FromWide(const wchar_t* wide, std::size_t length);
inline std::string Utf8FromWide(const std::wstring& wide) {
  return Utf8FromWide(wide.data(), wide.size());
}
