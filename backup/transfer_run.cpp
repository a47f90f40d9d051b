#include "backup/transfer_run.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backup/certificate_trust.h"
#include "backup/run_status.h"
#include "backup/upload_pool.h"
#include "files/file_find.h"
#include "files/file_name.h"
#include "files/file_size.h"
#include "files/text.h"
#include "ftp/internet_session.h"

const char* const kCreateDirectoryQuestion =
    "The specified destination directory cannot be found, do you wish to create it?";
const char* const kContinueInDefaultQuestion =
    "Do you still wish to continue, placing the files in a default directory?";

namespace {

constexpr unsigned kShowPauseMs = 2000;
const char* const kLineBreakEntryText = "The entry contains a line break";
const char* const kSameRemoteNameText =
    "Another file of this run goes to the server under the same name: ";

// Certificates are remembered per server and port.
std::string ServerKey(const ftp::ServerAddress& server) {
  return server.host + ":" + std::to_string(server.port);
}
constexpr std::chrono::milliseconds kReportInterval(100);

// One entry of the list as found before anything is sent, kept in its place so the box keeps list
// order: a file to send (the bar goes by bytes), or one refused before it could go. In the box: a
// file or folder that failed.
struct ListItem {
  std::string path;
  std::string reason;   // why it failed; empty for a file to send
  bool folder = false;  // a wildcard entry whose directory could not be read
};

// What every further connection of a run needs to be opened without asking the user anything.
struct ConnectionPlan {
  ftp::ServerAddress address;
  std::string user;
  std::string password;
  std::string directory;  // empty when the first connection stayed in the login's directory
  int timeoutMs = 0;
  int reconnectPauseMs = 0;
  // The certificate accepted on the first connection; none when it had no TLS.
  std::string fingerprint;
  bool secure = false;
};

// The bar and the tray tip across every connection: whole files ended, plus the bytes of each
// file in flight, kept by the thread that sends it.
class ProgressTally {
 public:
  explicit ProgressTally(TransferWindow& window) : window_(window) {}

  void Begin(int files, std::uint64_t bytes) {
    progress_.files = files;
    progress_.bytesTotal = bytes;
  }
  // Files start in list order, so the count only goes up. It is shown with the next report: a
  // call to the window per file, made under the pool's lock, would hold every connection up.
  void Started(std::size_t index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    progress_.file = static_cast<int>(index) + 1;
  }
  // Shown with the next report. It runs under the pool's lock, so it never waits for the window.
  void Finished(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    inFlight_.erase(std::this_thread::get_id());
    done_ += bytes;
  }
  void Moved(std::uint64_t bytesOfFile) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      inFlight_[std::this_thread::get_id()] = bytesOfFile;
      // Each report crosses to the window's thread: one per percent, or a few a second, are all
      // the eye needs.
      progress_.bytesDone = Done();
      if (PercentDone(progress_) == lastPercent_ &&
          std::chrono::steady_clock::now() - lastReport_ < kReportInterval) {
        return;
      }
    }
    // Another connection's report, going now, says as much.
    std::unique_lock<std::mutex> showing(windowMutex_, std::try_to_lock);
    if (showing.owns_lock()) Show();
  }
  void End() {
    const std::lock_guard<std::mutex> showing(windowMutex_);
    Show();
  }

 private:
  std::uint64_t Done() const {
    std::uint64_t done = done_;
    for (const auto& file : inFlight_) done += file.second;
    return done;
  }
  // With windowMutex_ held: reports go to the window one at a time, and never one older than the
  // last.
  void Show() {
    RunProgress shown;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      progress_.bytesDone = Done();
      lastReport_ = std::chrono::steady_clock::now();
      lastPercent_ = PercentDone(progress_);
      shown = progress_;
    }
    window_.ShowProgress(shown);
  }

  TransferWindow& window_;
  std::mutex windowMutex_;  // taken before mutex_, never after it
  std::mutex mutex_;
  RunProgress progress_;
  std::uint64_t done_ = 0;
  std::map<std::thread::id, std::uint64_t> inFlight_;
  std::chrono::steady_clock::time_point lastReport_;
  int lastPercent_ = -1;
};

std::unique_ptr<CFtpConnection> MakeConnection(const ConnectionPlan& plan) {
  auto fresh = std::make_unique<CFtpConnection>(plan.timeoutMs);
  fresh->SetReconnectPause(plan.reconnectPauseMs);
  // The certificate was decided on the first connection: any other one is turned away unasked.
  const std::string accepted = plan.fingerprint;
  fresh->SetCertificateCheck([accepted](const ftp::ServerAddress&, const net::TlsPeer& peer) {
    return !accepted.empty() && peer.sha256 == accepted;
  });
  const bool secure = plan.secure;
  fresh->SetKnownSecure([secure](const ftp::ServerAddress&) { return secure; });
  return fresh;
}

class Uploader {
 public:
  explicit Uploader(TransferWindow& window) : tally_(window) {}

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
    items_.push_back({localPath, "", false});
    backup::UploadJob job{localPath, remoteName};
    LocalFileSize(localPath, &job.size);
    jobs_.push_back(job);
  }
  void Refuse(const std::string& entry, const std::string& reason) {
    items_.push_back({entry, reason, false});
    ++refused_;
  }
  void RefuseFolder(const std::string& entry, const std::string& reason) {
    items_.push_back({entry, reason, true});
  }
  // Sends every job over up to a few connections, first among them, until the end, a stop, or
  // too many data connections failing in a row.
  void SendAll(std::unique_ptr<CFtpConnection> first, const ConnectionPlan& plan);
  const std::vector<ListItem>& Failures() const { return failures_; }
  const std::string& EndedEarly() const { return endedEarly_; }
  int Files() const { return static_cast<int>(jobs_.size()) + refused_; }
  int Sent() const { return sent_; }

 private:
  void Ended(std::size_t index, const backup::UploadResult& result);
  void Collect(const std::vector<backup::UploadResult>& results);

  ProgressTally tally_;
  std::vector<ListItem> items_;
  std::vector<backup::UploadJob> jobs_;
  std::vector<ListItem> failures_;
  // Each remote name of the run, with the local file that goes under it.
  std::map<std::string, std::string> remoteNames_;
  int refused_ = 0;
  int sent_ = 0;
  // Counted as files end, whichever connection they went over; under the pool's lock.
  int dataFailuresInRow_ = 0;
  std::atomic<bool> endEarly_{false};
  std::string endedEarly_;
};

void Uploader::SendAll(std::unique_ptr<CFtpConnection> first, const ConnectionPlan& plan) {
  std::uint64_t total = 0;
  for (const backup::UploadJob& job : jobs_) total += job.size;
  tally_.Begin(static_cast<int>(jobs_.size()), total);
  const auto moved = [this](std::uint64_t bytesOfFile) { tally_.Moved(bytesOfFile); };
  first->SetProgress(moved);
  backup::UploadPool pool([&plan, moved] {
    std::unique_ptr<CFtpConnection> fresh = MakeConnection(plan);
    fresh->SetProgress(moved);
    return backup::OpenUploadConnection(std::move(fresh), plan.address, plan.user, plan.password,
                                        plan.directory);
  });
  backup::UploadPool::Hooks hooks;
  hooks.started = [this](std::size_t index) { tally_.Started(index); };
  hooks.finished = [this](std::size_t index, std::uint64_t, const backup::UploadResult& result) {
    Ended(index, result);
  };
  hooks.stop = &endEarly_;
  pool.SetHooks(hooks);
  const std::vector<backup::UploadResult> results = pool.Run(jobs_, std::move(first));
  if (!jobs_.empty() && !net::StopRequested() && !endEarly_) tally_.End();
  Collect(results);
}

void Uploader::Ended(std::size_t index, const backup::UploadResult& result) {
  tally_.Finished(jobs_[index].size);
  if (result.ok) {
    ++sent_;
    dataFailuresInRow_ = 0;
    return;
  }
  if (net::StopRequested()) return;
  dataFailuresInRow_ = result.dataFailed ? dataFailuresInRow_ + 1 : 0;
  if (dataFailuresInRow_ == kMaxDataFailuresInRow && !endEarly_) {
    endedEarly_ = result.reason;
    endEarly_ = true;
  }
}

// The box names failures in list order, whichever connection a file went over.
void Uploader::Collect(const std::vector<backup::UploadResult>& results) {
  std::size_t job = 0;
  for (const ListItem& item : items_) {
    if (!item.reason.empty()) {
      failures_.push_back(item);
      continue;
    }
    const backup::UploadResult& result = results[job++];
    // A file not started was stopped or cut off by the end of the run: it is counted, not named.
    if (result.started && !result.ok) failures_.push_back({item.path, result.reason, false});
  }
}

std::string Counted(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Summary(const std::vector<ListItem>& failures) {
  const int count = static_cast<int>(failures.size());
  int folders = 0;
  for (const ListItem& failure : failures) folders += failure.folder ? 1 : 0;
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

// Why a run ends before its closing steps, the window left as it is: the failure to tell in one
// box, or empty when the user turned a certificate or both directory questions down.
using EarlyEnd = std::optional<std::string>;

// Enters the remote directory, offering to make it; directory is cleared when the files go to
// the login's directory instead. A stop goes on, to be seen by the caller.
EarlyEnd EnterRemoteDirectory(CFtpConnection& connection, std::string& directory,
                              TransferWindow& window) {
  if (directory.empty() || connection.SetCurrentDirectory(directory) || net::StopRequested()) {
    return std::nullopt;
  }
  // A lost connection says nothing about the directory: no question about creating it.
  if (!connection.IsConnected()) {
    return "The connection to the server was lost: " + connection.LastError();
  }
  // Stop may be pressed while a question is open: its answer then counts for nothing.
  const bool create = window.AskYesNo(kCreateDirectoryQuestion);
  if (net::StopRequested()) return std::nullopt;
  if (!create) {
    directory.clear();
    if (window.AskYesNo(kContinueInDefaultQuestion) || net::StopRequested()) return std::nullopt;
    return std::string();
  }
  const bool made = connection.CreateDirectory(directory);
  const std::string makeError = connection.LastError();
  if (connection.SetCurrentDirectory(directory) || net::StopRequested()) return std::nullopt;
  // Sent anyway, the files would land in the login's directory, where nobody looks for them.
  return "The remote directory \"" + directory + "\" could not be " +
         (made ? "entered: " + connection.LastError() : "made: " + makeError);
}

// The run after the login: the remote directory, the list, the boxes at the end.
EarlyEnd SendList(std::unique_ptr<CFtpConnection> connection, ConnectionPlan plan,
                  TransferWindow& window, RunCounts& counts) {
  EarlyEnd early = EnterRemoteDirectory(*connection, plan.directory, window);
  if (early || net::StopRequested()) return early;
  plan.secure = connection->IsSecure();
  CFileFind finder;
  Uploader uploader(window);
  AddEntries(window, finder, uploader);
  uploader.SendAll(std::move(connection), plan);
  window.ResetProgress();

  counts.files = uploader.Files();
  counts.sent = uploader.Sent();
  counts.failed = counts.files - counts.sent;
  if (net::StopRequested()) return std::nullopt;
  std::string text;
  if (!uploader.EndedEarly().empty()) {
    text = "The backup was ended after " + std::to_string(kMaxDataFailuresInRow) +
           " files in a row failed on their data connection: " + uploader.EndedEarly() + "\n\n";
  }
  if (!uploader.Failures().empty()) window.Tell(text + Summary(uploader.Failures()));
  return std::nullopt;
}

// The run from the remote directory's check on; the session's certificate check fills plan in.
EarlyEnd SendToServer(CInternetSession& session, const TransferSettings& settings,
                      ConnectionPlan& plan, TransferWindow& window, RunCounts& counts) {
  plan.directory = AnsiToUtf8(settings.remoteDirectory);
  if (ftp::HasLineBreak(plan.directory)) {
    return "The remote directory contains a line break. Correct it in the settings.";
  }
  if (net::StopRequested()) return std::nullopt;
  std::unique_ptr<CFtpConnection> connection;
  try {
    connection = session.GetFtpConnection(settings.serverAddress, settings.loginName,
                                          settings.password, 0, false);
  } catch (const CertificateRefusedException&) {
    // The user said no to the certificate: that answer ends the run, with no box after it.
    return std::string();
  } catch (const CInternetException& error) {
    // A stop ends the waits of a connection or login too: that is no failure to tell.
    if (net::StopRequested()) return std::nullopt;
    return std::string(error.what());
  }
  // The session parsed the same text already: this cannot fail here.
  std::string unused;
  ftp::ParseServerAddress(settings.serverAddress, ftp::kDefaultPort, &plan.address, &unused);
  return SendList(std::move(connection), plan, window, counts);
}

}  // namespace

int SendBackup(const TransferSettings& settings, TransferWindow& window,
               const TransferOptions& options, RunCounts* counts) {
  const net::StopScope stoppable(options.stop);
  RunCounts ended;
  CInternetSession session;
  session.SetTimeout(options.timeoutMs);
  session.SetReconnectPause(options.reconnectPauseMs);
  ConnectionPlan plan;
  plan.timeoutMs = options.timeoutMs;
  plan.reconnectPauseMs = options.reconnectPauseMs;
  plan.user = settings.loginName;
  plan.password = settings.password;
  session.SetCertificateCheck([&window, &plan](const ftp::ServerAddress& server,
                                               const net::TlsPeer& peer) {
    const bool accepted = AcceptCertificate({ServerKey(server), peer.sha256, peer.trusted}, window);
    if (accepted) plan.fingerprint = peer.sha256;
    return accepted;
  });
  session.SetKnownSecure([&window](const ftp::ServerAddress& server) {
    return window.StoredCertificate(ServerKey(server)).has_value();
  });

  const bool wasVisible = window.IsVisible();
  if (!wasVisible) {
    window.ShowNow();
    window.Pause(kShowPauseMs);
  }
  const EarlyEnd early = SendToServer(session, settings, plan, window, ended);
  if (early) {
    ended.failure = *early;
    if (!early->empty()) window.Tell(*early);
  } else if (net::StopRequested()) {
    ended.stopped = true;
    // Stopped before the list was read: its entries are what was to be sent.
    if (ended.files == 0) ended.files = window.EntryCount();
    window.ResetProgress();
    window.Tell(StoppedText(ended.sent, ended.files));
  }
  if (counts != nullptr) *counts = ended;
  if (!early && !wasVisible) window.Hide();
  return 1;  // nobody reads it
}
