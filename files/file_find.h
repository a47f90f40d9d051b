// Lists the entries of one directory that match a file-name pattern ("C:\data\*.txt"), with the
// class library's calling pattern: FindFile, then FindNextFile before reading each match. Patterns,
// paths and names are UTF-8, so names the ANSI code page cannot hold are listed as they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Windows' headers make FindNextFile a macro (FindNextFileA); dropping it here keeps the member's
// name in a file that includes <windows.h> before this header (file_find_win.cpp, which includes it
// after, drops it again).
#undef FindNextFile

// What FailureReason says for the usual cases; anything else is the system's own text.
extern const char* const kFolderMissingReason;
extern const char* const kFolderDeniedReason;
extern const char* const kDriveNotReadyReason;

class CFileFind {
 public:
  CFileFind();
  ~CFileFind();
  CFileFind(const CFileFind&) = delete;
  CFileFind& operator=(const CFileFind&) = delete;

  // Starts a listing; false when nothing matches or the directory cannot be read, which
  // FailureReason then tells apart.
  bool FindFile(const std::string& pattern);
  // Moves to the next match. Returns true while more matches remain after the one it moved to;
  // the match it moved to is valid either way. A directory that fails in the middle of the listing
  // ends it early, with FailureReason set.
  bool FindNextFile();
  // The pattern's directory made absolute, a separator, and the match's name.
  std::string GetFilePath() const;
  std::string GetFileName() const;
  bool IsDirectory() const;
  // "." or "..".
  bool IsDots() const;
  void Close();
  // Why the directory of the last FindFile could not be read to its end, in words the user can act
  // on ("the folder does not exist"); empty when it was read, also when nothing in it matched.
  const std::string& FailureReason() const { return failureReason_; }

 private:
  struct Listing;
  std::unique_ptr<Listing> listing_;
  std::string failureReason_;
};
