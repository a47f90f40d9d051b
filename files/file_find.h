// Lists the entries of one directory that match a file-name pattern ("C:\data\*.txt"), with the
// class library's calling pattern: FindFile, then FindNextFile before reading each match.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Windows' headers make FindNextFile a macro (FindNextFileA). Dropping it here, and answering to
// the A spelling as well, keeps the member's meaning whatever the include order.
#undef FindNextFile

class CFileFind {
 public:
  CFileFind();
  ~CFileFind();
  CFileFind(const CFileFind&) = delete;
  CFileFind& operator=(const CFileFind&) = delete;

  // Starts a listing; false when nothing matches (or the directory cannot be read).
  bool FindFile(const std::string& pattern);
  // Moves to the next match. Returns true while more matches remain after the one it moved to;
  // the match it moved to is valid either way.
  bool FindNextFile();
  bool FindNextFileA() { return FindNextFile(); }
  // The pattern's directory made absolute, a separator, and the match's name.
  std::string GetFilePath() const;
  std::string GetFileName() const;
  bool IsDirectory() const;
  // "." or "..".
  bool IsDots() const;
  void Close();

 private:
  struct Listing;
  std::unique_ptr<Listing> listing_;
};
