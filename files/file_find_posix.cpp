// A stand-in for the Windows directory search, for native tests: the same one-level listing in
// the order the directory returns it, with Windows-like matching ("*" also matches names that
// start with a dot, letters match regardless of case).
#include "files/file_find.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

std::string ReasonFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kFolderMissingReason;
    case EACCES:
    case EPERM:
      return kFolderDeniedReason;
    case ENOMEDIUM:
      return kDriveNotReadyReason;
    default:
      return std::strerror(error);
  }
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

}  // namespace

struct CFileFind::Listing {
  DIR* directory = nullptr;
  std::string root;  // absolute, without a trailing separator unless it is "/"
  std::string namePattern;
  std::string current;
  std::string next;
  bool hasNext = false;

  ~Listing() {
    if (directory != nullptr) closedir(directory);
  }

  // Reads ahead to the next matching name. Returns 0, or the errno of a directory that failed.
  int Advance() {
    hasNext = false;
    for (;;) {
      // Only errno tells the end of the directory from a failure.
      errno = 0;
      const dirent* entry = readdir(directory);
      if (entry == nullptr) return errno;
      if (fnmatch(namePattern.c_str(), entry->d_name, FNM_CASEFOLD) == 0) {
        next = entry->d_name;
        hasNext = true;
        return 0;
      }
    }
  }
};

CFileFind::CFileFind() = default;

CFileFind::~CFileFind() = default;

bool CFileFind::FindFile(const std::string& pattern) {
  Close();
  failureReason_.clear();
  const std::size_t slash = pattern.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : pattern.substr(0, slash);
  if (slash == 0) directory = "/";
  if (directory.empty() || directory[0] != '/') {
    directory = directory.empty() ? CurrentDirectory() : CurrentDirectory() + "/" + directory;
  }
  auto listing = std::make_unique<Listing>();
  listing->directory = opendir(directory.c_str());
  if (listing->directory == nullptr) {
    failureReason_ = ReasonFor(errno);
    return false;
  }
  listing->root = directory;
  listing->namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  if (const int error = listing->Advance()) failureReason_ = ReasonFor(error);
  if (!listing->hasNext) return false;
  listing_ = std::move(listing);
  return true;
}

bool CFileFind::FindNextFile() {
  if (!listing_ || !listing_->hasNext) return false;
  listing_->current = listing_->next;
  if (const int error = listing_->Advance()) failureReason_ = ReasonFor(error);
  return listing_->hasNext;
}

std::string CFileFind::GetFilePath() const {
  if (!listing_) return {};
  const std::string& root = listing_->root;
  return root.back() == '/' ? root + listing_->current : root + "/" + listing_->current;
}

std::string CFileFind::GetFileName() const { return listing_ ? listing_->current : std::string(); }

bool CFileFind::IsDirectory() const {
  struct stat info {};
  return listing_ && stat(GetFilePath().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CFileFind::IsDots() const {
  const std::string name = GetFileName();
  return name == "." || name == "..";
}

void CFileFind::Close() { listing_.reset(); }
