// A stand-in for the Windows directory search, for native tests: the same one-level listing in
// the order the directory returns it, with Windows-like matching ("*" also matches names that
// start with a dot, letters match regardless of case).
#include "files/file_find.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

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

  // Reads ahead to the next matching name.
  void Advance() {
    hasNext = false;
    while (dirent* entry = readdir(directory)) {
      if (fnmatch(namePattern.c_str(), entry->d_name, FNM_CASEFOLD) == 0) {
        next = entry->d_name;
        hasNext = true;
        return;
      }
    }
  }
};

CFileFind::CFileFind() = default;

CFileFind::~CFileFind() = default;

bool CFileFind::FindFile(const std::string& pattern) {
  Close();
  const std::size_t slash = pattern.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : pattern.substr(0, slash);
  if (slash == 0) directory = "/";
  if (directory.empty() || directory[0] != '/') {
    directory = directory.empty() ? CurrentDirectory() : CurrentDirectory() + "/" + directory;
  }
  auto listing = std::make_unique<Listing>();
  listing->directory = opendir(directory.c_str());
  if (listing->directory == nullptr) return false;
  listing->root = directory;
  listing->namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  listing->Advance();
  if (!listing->hasNext) return false;
  listing_ = std::move(listing);
  return true;
}

bool CFileFind::FindNextFile() {
  if (!listing_ || !listing_->hasNext) return false;
  listing_->current = listing_->next;
  listing_->Advance();
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
