#include "files/file_find.h"

#include <windows.h>

// The class's member names are also Windows macros that would rename them here.
#undef FindNextFile

namespace {

constexpr DWORD kFullPathChars = 32768;

}  // namespace

struct CFileFind::Listing {
  HANDLE search = INVALID_HANDLE_VALUE;
  std::string root;  // absolute, ending with a backslash
  WIN32_FIND_DATAA current{};
  WIN32_FIND_DATAA next{};
  bool hasNext = false;

  ~Listing() {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
};

CFileFind::CFileFind() = default;

CFileFind::~CFileFind() = default;

bool CFileFind::FindFile(const std::string& pattern) {
  Close();
  auto listing = std::make_unique<Listing>();
  listing->search = FindFirstFileA(pattern.c_str(), &listing->next);
  if (listing->search == INVALID_HANDLE_VALUE) return false;
  listing->hasNext = true;
  // The directory part of the pattern, made absolute against the current directory.
  std::string full(kFullPathChars, '\0');
  char* namePart = nullptr;
  const DWORD length = GetFullPathNameA(pattern.c_str(), kFullPathChars, &full[0], &namePart);
  if (length > 0 && length < kFullPathChars) {
    full.resize(namePart != nullptr ? static_cast<std::size_t>(namePart - full.data()) : length);
  } else {
    full = pattern.substr(0, pattern.find_last_of("\\/") + 1);
  }
  if (!full.empty() && full.back() != '\\' && full.back() != '/') full += '\\';
  listing->root = full;
  listing_ = std::move(listing);
  return true;
}

bool CFileFind::FindNextFile() {
  if (!listing_ || !listing_->hasNext) return false;
  listing_->current = listing_->next;
  listing_->hasNext = ::FindNextFileA(listing_->search, &listing_->next) != FALSE;
  return listing_->hasNext;
}

std::string CFileFind::GetFilePath() const {
  return listing_ ? listing_->root + listing_->current.cFileName : std::string();
}

std::string CFileFind::GetFileName() const {
  return listing_ ? std::string(listing_->current.cFileName) : std::string();
}

bool CFileFind::IsDirectory() const {
  return listing_ && (listing_->current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CFileFind::IsDots() const {
  const std::string name = GetFileName();
  return name == "." || name == "..";
}

void CFileFind::Close() { listing_.reset(); }
