#include "net/system_error.h"

#include <windows.h>

std::string SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    result.resize(static_cast<std::size_t>(bytes > 0 ? bytes : 0));
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], bytes, nullptr,
                          nullptr);
    }
  }
  LocalFree(text);
  if (result.empty()) result = "System error " + std::to_string(code);
  while (!result.empty() &&
         (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}
