#include "backup/transfer_run.h"

#include "backup/certificate_trust.h"

#include <map>
#include <memory>
#include <vector>

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

struct FailedUpload {
  std::string path;
  std::string reason;
  bool folder;  // a wildcard entry whose directory could not be read
};

class Uploader {
 public:
  explicit Uploader(CFtpConnection& connection) : connection_(connection) {}

  void Send(const std::string& localPath, const std::string& remoteName) {
    // The first file of the run to go under a name keeps it, so the later one cannot take the
    // earlier one's place; the same file listed twice is only sent twice. Names are compared as
    // the server is sent them, byte for byte: a server that ignores case would take "Notes.txt"
    // over "notes.txt" too, but folding case here would refuse files the usual case-sensitive
    // server keeps apart, and no reply tells the two kinds of server apart.
    const auto claim = remoteNames_.emplace(remoteName, localPath);
    if (claim.first->second != localPath) {
      failures_.push_back({localPath, kSameRemoteNameText + claim.first->second, false});
      return;
    }
    if (!connection_.PutFile(localPath, remoteName, kFtpTransferTypeBinary, 1)) {
      failures_.push_back({localPath, connection_.LastError(), false});
    }
  }
  void Refuse(const std::string& entry, const std::string& reason) {
    failures_.push_back({entry, reason, false});
  }
  void RefuseFolder(const std::string& entry, const std::string& reason) {
    failures_.push_back({entry, reason, true});
  }
  const std::vector<FailedUpload>& Failures() const { return failures_; }

 private:
  CFtpConnection& connection_;
  std::vector<FailedUpload> failures_;
  // Each remote name of the run, with the local file that goes under it.
  std::map<std::string, std::string> remoteNames_;
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

void SendMatches(const std::string& pattern, CFileFind& finder, Uploader& uploader) {
  if (finder.FindFile(pattern)) {
    bool more = true;
    while (more) {
      more = finder.FindNextFile();
      // Directories (".", ".." and sub-directories) are not files to send.
      if (finder.IsDirectory() || finder.IsDots()) continue;
      uploader.Send(finder.GetFilePath(), finder.GetFileName());
    }
  }
  // A folder that is gone, locked or on a drive that is away would otherwise send nothing and
  // say nothing, and the user would trust a backup that is not there. No match is no failure.
  if (!finder.FailureReason().empty()) uploader.RefuseFolder(pattern, finder.FailureReason());
  finder.Close();
}

// Enters the remote directory, offering to make it; false when the user declined both questions.
bool EnterRemoteDirectory(CFtpConnection& connection, const std::string& directory,
                          TransferWindow& window) {
  if (directory.empty() || connection.SetCurrentDirectory(directory)) return true;
  // A lost connection says nothing about the directory: no question about creating it.
  if (!connection.IsConnected()) {
    throw CInternetException("The connection to the server was lost: " + connection.LastError());
  }
  if (!window.AskYesNo(kCreateDirectoryQuestion)) {
    return window.AskYesNo(kContinueInDefaultQuestion);
  }
  const bool made = connection.CreateDirectory(directory);
  const std::string makeError = connection.LastError();
  if (connection.SetCurrentDirectory(directory)) return true;
  // Sent anyway, the files would land in the login's directory, where nobody looks for them.
  throw CInternetException("The remote directory \"" + directory + "\" could not be " +
                           (made ? "entered: " + connection.LastError() : "made: " + makeError));
}

}  // namespace

std::string RemoteNameOf(const std::string& entry) {
  const std::size_t separator = entry.find_last_of("\\/");
  return separator == std::string::npos ? entry : entry.substr(separator + 1);
}

int SendBackup(const TransferSettings& settings, TransferWindow& window,
               const TransferOptions& options) {
  CFileFind finder;
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
  std::unique_ptr<CFtpConnection> connection;
  try {
    connection = session.GetFtpConnection(settings.serverAddress, settings.loginName,
                                          settings.password, 0, false);
  } catch (const CertificateRefusedException&) {
    // The user said no to the certificate: that answer ends the run, with no box after it.
    return kRunResult;
  }

  if (!EnterRemoteDirectory(*connection, directory, window)) return kRunResult;

  const int count = window.EntryCount();
  if (count != 0) window.SetProgressRange(count);
  Uploader uploader(*connection);
  for (int i = 0; i < count; ++i) {
    // Stepped before the work, so the bar is full while the last entry is being sent.
    window.StepProgress();
    const std::string entry = AnsiToUtf8(window.Entry(i));
    if (ftp::HasLineBreak(entry)) {
      uploader.Refuse(entry, kLineBreakEntryText);
    } else if (entry.find('*') != std::string::npos) {
      SendMatches(entry, finder, uploader);
    } else {
      // An entry kept under its short name (its long one has no ANSI form) is sent under the
      // long one; what is left of a separator is cut so no name leaves the remote directory.
      uploader.Send(entry, RemoteNameOf(LongFileName(entry)));
    }
  }
  window.ResetProgress();
  connection->Close();

  if (!uploader.Failures().empty()) window.Tell(Summary(uploader.Failures()));
  if (!wasVisible) window.Hide();
  return kRunResult;
}
