#include "backup/transfer_run.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "backup/certificate_trust.h"
#include "backup/run_status.h"
#include "files/file_find.h"
#include "files/file_name.h"
#include "files/text.h"
#include "ftp/internet_session.h"

const char* const kCreateDirectoryQuestion =
    "The specified destination directory cannot be found, do you wish to create it?";
const char* const kContinueInDefaultQuestion =
    "Do you still wish to continue, placing the files in a default directory?";

namespace {

constexpr unsigned kShowPauseMs = 2000;
constexpr int kRunResult = 1;
const char* const kLineBreakEntryText = "The entry contains a line break";
const char* const kSameRemoteNameText =
    "Another file of this run goes to the server under the same name: ";

// Certificates are remembered per server and port.
std::string ServerKey(const ftp::ServerAddress& server) {
  return server.host + ":" + std::to_string(server.port);
}
constexpr std::chrono::milliseconds kReportInterval(100);

struct FailedUpload {
  std::string path;
  std::string reason;
  bool folder;  // a wildcard entry whose directory could not be read
};

// One file to send, found before anything is sent so the bar can go by bytes.
struct Job {
  std::string path;
  std::string remoteName;
  std::uint64_t size;
};

std::uint64_t SizeOf(const std::string& utf8Path) {
  std::error_code failed;
  const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(utf8Path), failed);
  return failed ? 0 : static_cast<std::uint64_t>(size);
}

class Uploader {
 public:
  Uploader(CFtpConnection& connection, TransferWindow& window)
      : connection_(connection), window_(window) {}

  void Add(const std::string& localPath, const std::string& remoteName) {
    // The first file of the run to go under a name keeps it, so the later one cannot take the
    // earlier one's place; the same file listed twice is only sent twice. Names are compared as
    // the server is sent them, byte for byte: a server that ignores case would take "Notes.txt"
    // over "notes.txt" too, but folding case here would refuse files the usual case-sensitive
    // server keeps apart, and no reply tells the two kinds of server apart.
    const auto claim = remoteNames_.emplace(remoteName, localPath);
    if (claim.first->second != localPath) {
      Refuse(localPath, kSameRemoteNameText + claim.first->second);
      return;
    }
    jobs_.push_back({localPath, remoteName, SizeOf(localPath)});
    progress_.bytesTotal += jobs_.back().size;
  }
  void Refuse(const std::string& entry, const std::string& reason) {
    failures_.push_back({entry, reason, false});
    ++refused_;
  }
  void RefuseFolder(const std::string& entry, const std::string& reason) {
    failures_.push_back({entry, reason, true});
  }
  // Sends every job until the end, a stop, or too many data connections failing in a row.
  void SendAll() {
    progress_.files = static_cast<int>(jobs_.size());
    int dataFailuresInRow = 0;
    for (const Job& job : jobs_) {
      if (net::StopRequested()) return;
      ++progress_.file;
      const std::uint64_t before = progress_.bytesDone;
      window_.ShowProgress(progress_);
      connection_.SetProgress([this, before](std::uint64_t bytesOfFile) {
        progress_.bytesDone = before + bytesOfFile;
        // Each report crosses to the window's thread: one per percent, or a few a second, are
        // all the eye needs.
        const auto now = std::chrono::steady_clock::now();
        const int percent = PercentDone(progress_);
        if (percent == lastPercent_ && now - lastReport_ < kReportInterval) return;
        lastReport_ = now;
        lastPercent_ = percent;
        window_.ShowProgress(progress_);
      });
      const bool sent = connection_.PutFile(job.path, job.remoteName, kFtpTransferTypeBinary, 1);
      progress_.bytesDone = before + job.size;
      if (sent) {
        ++sent_;
        dataFailuresInRow = 0;
        continue;
      }
      if (net::StopRequested()) return;
      failures_.push_back({job.path, connection_.LastError(), false});
      dataFailuresInRow = connection_.DataConnectionFailed() ? dataFailuresInRow + 1 : 0;
      if (dataFailuresInRow == kMaxDataFailuresInRow) {
        endedEarly_ = connection_.LastError();
        return;
      }
    }
    if (!jobs_.empty()) window_.ShowProgress(progress_);
  }
  const std::vector<FailedUpload>& Failures() const { return failures_; }
  const std::string& EndedEarly() const { return endedEarly_; }
  int Files() const { return static_cast<int>(jobs_.size()) + refused_; }
  int Sent() const { return sent_; }

 private:
  CFtpConnection& connection_;
  TransferWindow& window_;
  std::vector<Job> jobs_;
  std::vector<FailedUpload> failures_;
  // Each remote name of the run, with the local file that goes under it.
  std::map<std::string, std::string> remoteNames_;
  RunProgress progress_;
  std::chrono::steady_clock::time_point lastReport_;
  int lastPercent_ = -1;
  int refused_ = 0;
  int sent_ = 0;
  std::string endedEarly_;
};

std::string Counted(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Summary(const std::vector<FailedUpload>& failures) {
  const int count = static_cast<int>(failures.size());
  int folders = 0;
  for (const FailedUpload& failure : failures) folders += failure.folder ? 1 : 0;
  const int files = count - folders;
  std::string text;
  if (files > 0) text = Counted(files, "file", "files") + " could not be sent";
  if (files > 0 && folders > 0) text += " and ";
  if (folders > 0) text += Counted(folders, "folder", "folders") + " could not be read";
  text += ":\n";
  for (int i = 0; i < count && i < kMaxNamedFailures; ++i) {
    // A name with a line break would make the list unreadable.
    std::string path = failures[static_cast<std::size_t>(i)].path;
    for (char& c : path) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    text += "\n" + path + " (" + failures[static_cast<std::size_t>(i)].reason + ")";
  }
  if (count > kMaxNamedFailures) {
    text += "\n\nand " + std::to_string(count - kMaxNamedFailures) + " more.";
  }
  return text;
}

void AddMatches(const std::string& pattern, CFileFind& finder, Uploader& uploader) {
  if (finder.FindFile(pattern)) {
    bool more = true;
    while (more) {
      more = finder.FindNextFile();
      // Directories (".", ".." and sub-directories) are not files to send.
      if (finder.IsDirectory() || finder.IsDots()) continue;
      uploader.Add(finder.GetFilePath(), finder.GetFileName());
    }
  }
  // A folder that is gone, locked or on a drive that is away would otherwise send nothing and
  // say nothing, and the user would trust a backup that is not there. No match is no failure.
  if (!finder.FailureReason().empty()) uploader.RefuseFolder(pattern, finder.FailureReason());
  finder.Close();
}

void AddEntries(TransferWindow& window, CFileFind& finder, Uploader& uploader) {
  const int count = window.EntryCount();
  for (int i = 0; i < count; ++i) {
    const std::string entry = AnsiToUtf8(window.Entry(i));
    if (ftp::HasLineBreak(entry)) {
      uploader.Refuse(entry, kLineBreakEntryText);
    } else if (entry.find('*') != std::string::npos) {
      AddMatches(entry, finder, uploader);
    } else {
      // An entry kept under its short name (its long one has no ANSI form) is sent under the
      // long one; what is left of a separator is cut so no name leaves the remote directory.
      uploader.Add(entry, RemoteNameOf(LongFileName(entry)));
    }
  }
}

}  // namespace

std::string StoppedText(int sent, int files) {
  return "The backup was stopped. " + std::to_string(sent) + " of " +
         Counted(files, "file was", "files were") + " sent.";
}

std::string RemoteNameOf(const std::string& entry) {
  const std::size_t separator = entry.find_last_of("\\/");
  return separator == std::string::npos ? entry : entry.substr(separator + 1);
}

namespace {

// Enters the remote directory, offering to make it; false when the user declined both questions
// or a stop came.
bool EnterRemoteDirectory(CFtpConnection& connection, const std::string& directory,
                          TransferWindow& window) {
  if (directory.empty() || connection.SetCurrentDirectory(directory)) return true;
  if (net::StopRequested()) return false;
  // A lost connection says nothing about the directory: no question about creating it.
  if (!connection.IsConnected()) {
    throw CInternetException("The connection to the server was lost: " + connection.LastError());
  }
  // Stop may be pressed while a question is open: its answer then counts for nothing.
  const bool create = window.AskYesNo(kCreateDirectoryQuestion);
  if (net::StopRequested()) return false;
  if (!create) return window.AskYesNo(kContinueInDefaultQuestion) && !net::StopRequested();
  const bool made = connection.CreateDirectory(directory);
  const std::string makeError = connection.LastError();
  if (connection.SetCurrentDirectory(directory)) return true;
  if (net::StopRequested()) return false;
  // Sent anyway, the files would land in the login's directory, where nobody looks for them.
  throw CInternetException("The remote directory \"" + directory + "\" could not be " +
                           (made ? "entered: " + connection.LastError() : "made: " + makeError));
}

// The run after the login: the remote directory, the list, the boxes at the end. False when the
// user turned both directory questions down: the run ends there, the window left as it is.
bool SendList(const std::string& directory, CFtpConnection& connection, TransferWindow& window,
              RunCounts& counts) {
  if (!EnterRemoteDirectory(connection, directory, window)) return net::StopRequested();
  if (net::StopRequested()) return true;
  CFileFind finder;
  Uploader uploader(connection, window);
  AddEntries(window, finder, uploader);
  uploader.SendAll();
  window.ResetProgress();
  connection.Close();

  counts.files = uploader.Files();
  counts.sent = uploader.Sent();
  counts.failed = counts.files - counts.sent;
  if (net::StopRequested()) return true;
  std::string text;
  if (!uploader.EndedEarly().empty()) {
    text = "The backup was ended after " + std::to_string(kMaxDataFailuresInRow) +
           " files in a row failed on their data connection: " + uploader.EndedEarly() + "\n\n";
  }
  if (!uploader.Failures().empty()) window.Tell(text + Summary(uploader.Failures()));
  return true;
}

}  // namespace

int SendBackup(const TransferSettings& settings, TransferWindow& window,
               const TransferOptions& options, RunCounts* counts) {
  const net::StopScope stoppable(options.stop);
  RunCounts ended;
  CInternetSession session;
  session.SetTimeout(options.timeoutMs);
  session.SetReconnectPause(options.reconnectPauseMs);
  session.SetCertificateCheck(
      [&window](const ftp::ServerAddress& server, const net::TlsPeer& peer) {
        return AcceptCertificate({ServerKey(server), peer.sha256, peer.trusted}, window);
      });
  session.SetKnownSecure([&window](const ftp::ServerAddress& server) {
    return window.StoredCertificate(ServerKey(server)).has_value();
  });

  const bool wasVisible = window.IsVisible();
  if (!wasVisible) {
    window.ShowNow();
    window.Pause(kShowPauseMs);
  }

  const std::string directory = AnsiToUtf8(settings.remoteDirectory);
  if (ftp::HasLineBreak(directory)) {
    throw CInternetException(
        "The remote directory contains a line break. Correct it in the settings.");
  }
  try {
    if (!net::StopRequested()) {
      const std::unique_ptr<CFtpConnection> connection = session.GetFtpConnection(
          settings.serverAddress, settings.loginName, settings.password, 0, false);
      if (!SendList(directory, *connection, window, ended)) return kRunResult;
    }
  } catch (const CertificateRefusedException&) {
    // The user said no to the certificate: that answer ends the run, with no box after it.
    return kRunResult;
  } catch (const CInternetException&) {
    // A stop ends the waits of a connection or login too: that is no failure to tell.
    if (!net::StopRequested()) throw;
  }
  ended.stopped = net::StopRequested();
  // Stopped before the list was read: its entries are what was to be sent.
  if (ended.stopped && ended.files == 0) ended.files = window.EntryCount();
  if (ended.stopped) {
    window.ResetProgress();
    window.Tell(StoppedText(ended.sent, ended.files));
  }
  if (counts != nullptr) *counts = ended;
  if (!wasVisible) window.Hide();
  return kRunResult;
}
