// Names of local files as the backup list keeps them and as the server gets them. Paths are UTF-8.
#pragma once

#include <string>

// The file's own, long name: the last part of the path, a short (8.3) name there replaced by the
// name it stands for. A path that names no file gives the text after its last separator ('\' or
// '/' on Windows, '/' natively), so a failure still names what the list holds.
std::string LongFileName(const std::string& utf8Path);

// An ANSI form of the path that still names the same file: the path itself when the code page
// holds it, otherwise with every part the code page cannot hold replaced by that part's short
// (8.3) name. False when a part has no short name the code page holds, or the file does not exist.
bool AnsiPathOf(const std::string& utf8Path, std::string* ansiPath);
