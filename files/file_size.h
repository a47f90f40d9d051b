// The size of a local file, read from the directory without opening the file.
#pragma once

#include <cstdint>
#include <string>

// path in UTF-8. False when the file cannot be looked at (missing, no access), with size unchanged.
bool LocalFileSize(const std::string& path, std::uint64_t* size);
