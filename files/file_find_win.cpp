#include "files/file_find.h"

#include <windows.h>

#include "files/no_disk_prompts_win.h"
#include "base/wide_win.h"
#include "base/system_error.h"

// The class's member names are also Windows macros that would rename them here.
#undef FindNextFile

namespace {

constexpr DWORD kFullPathChars = 32768;

// The root of the pattern's drive ("C:\" or "\\server\share\"); empty for a relative pattern.
std::wstring DriveRoot(const std::wstring& pattern) {
  if (pattern.size() >= 2 && pattern[1] == L':') return pattern.substr(0, 2) + L"\\";
  if (pattern.rfind(L"\\\\", 0) != 0) return std::wstring();
  const std::size_t server = pattern.find(L'\\', 2);
  const std::size_t share = server == std::wstring::npos ? server : pattern.find(L'\\', server + 1);
  return share == std::wstring::npos ? std::wstring() : pattern.substr(0, share + 1);
}

// Empty for a directory that was read: no match is not a failure.
std::string ReasonFor(DWORD code, const std::wstring& pattern) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NO_MORE_FILES:
      return std::string();
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME: {  // a file where a folder should be, for some file systems
      // An unplugged stick's or a dropped share's folders are not gone: the drive is.
      const std::wstring root = DriveRoot(pattern);
      const bool driveAway =
          !root.empty() && GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES;
      return driveAway ? kDriveNotReadyReason : kFolderMissingReason;
    }
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
      return kFolderDeniedReason;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_INVALID_DRIVE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETNAME_DELETED:
      return kDriveNotReadyReason;
    default:
      return SystemErrorText(code);
  }
}

}  // namespace

struct CFileFind::Listing {
  HANDLE search = INVALID_HANDLE_VALUE;
  std::string root;  // absolute, ending with a backslash
  WIN32_FIND_DATAW current{};
  WIN32_FIND_DATAW next{};
  bool hasNext = false;

  ~Listing() {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
};

CFileFind::CFileFind() = default;

CFileFind::~CFileFind() = default;

bool CFileFind::FindFile(const std::string& pattern) {
  Close();
  failureReason_.clear();
  const std::wstring widePattern = WideFromUtf8(pattern);
  const NoDiskPrompts quiet;
  auto listing = std::make_unique<Listing>();
  listing->search = FindFirstFileW(widePattern.c_str(), &listing->next);
  if (listing->search == INVALID_HANDLE_VALUE) {
    failureReason_ = ReasonFor(GetLastError(), widePattern);
    return false;
  }
  listing->hasNext = true;
  // The directory part of the pattern, made absolute against the current directory.
  std::wstring full(kFullPathChars, L'\0');
  wchar_t* namePart = nullptr;
  const DWORD length = GetFullPathNameW(widePattern.c_str(), kFullPathChars, &full[0], &namePart);
  std::string root;
  if (length > 0 && length < kFullPathChars) {
    full.resize(namePart != nullptr ? static_cast<std::size_t>(namePart - full.data()) : length);
    root = Utf8FromWide(full);
  } else {
    root = pattern.substr(0, pattern.find_last_of("\\/") + 1);
  }
  if (!root.empty() && root.back() != '\\' && root.back() != '/') root += '\\';
  listing->root = root;
  listing_ = std::move(listing);
  return true;
}

bool CFileFind::FindNextFile() {
  if (!listing_ || !listing_->hasNext) return false;
  listing_->current = listing_->next;
  const NoDiskPrompts quiet;
  listing_->hasNext = ::FindNextFileW(listing_->search, &listing_->next) != FALSE;
  if (!listing_->hasNext) failureReason_ = ReasonFor(GetLastError(), std::wstring());
  return listing_->hasNext;
}

std::string CFileFind::GetFilePath() const {
  return listing_ ? listing_->root + GetFileName() : std::string();
}

std::string CFileFind::GetFileName() const {
  return listing_ ? Utf8FromWide(std::wstring(listing_->current.cFileName)) : std::string();
}

bool CFileFind::IsDirectory() const {
  return listing_ && (listing_->current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CFileFind::IsDots() const {
  const std::string name = GetFileName();
  return name == "." || name == "..";
}

void CFileFind::Close() { listing_.reset(); }
