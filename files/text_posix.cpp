#include "files/text.h"

// Native file names are bytes, taken to be UTF-8 already: there is no second code page here.
std::string AnsiToUtf8(const std::string& ansi) { return ansi; }

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  *ansi = utf8;
  return true;
}
