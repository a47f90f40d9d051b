// Turns the open-file dialog's selection buffer into full paths.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// `buffer` holds either one full path, or a directory followed by file names, each ended by a zero,
// the list ended by an empty string. Several names are joined to the directory with one backslash
// (none added when the directory already ends with one, as a drive root does).
std::vector<std::string> SelectedPaths(const char* buffer, std::size_t size);
