// The program's two encodings of text. The list box, the edits and the registry hold ANSI text
// (the system code page); the transfer run and everything it calls speak UTF-8, so that a file name
// the code page cannot hold still travels whole.
#pragma once

#include <string>

std::string AnsiToUtf8(const std::string& ansi);
// False, with `ansi` untouched, when some character has no form of its own in the ANSI code page
// (one that would turn into "?" or into a look-alike letter).
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);
