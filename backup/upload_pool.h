// Several uploads at once, each over a logged-in control connection of its own. At internet
// distance a small file costs a handful of round trips and almost no bytes, so a backup of many
// small files is bound by waiting, not by the link: a few connections side by side wait together.
//
// Files start in list order and their results come back in list order. A server that will not
// take another connection leaves the run at the connections it has; nothing of that is kept for
// the next run. A big file has the link to itself and is never split.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ftp/ftp_connection.h"

namespace backup {

// More connections than this gain little for a backup and look like abuse to a server.
constexpr int kMaxUploadConnections = 4;
// A file larger than this goes while no other file is going: more connections would only share
// the same link, and the file keeps its one connection's full rate.
constexpr std::uint64_t kAloneUploadBytes = 4 * 1024 * 1024;
// How often the last connection left tries again when the server says it is full (our own
// connections that just ended may still count on its side), with the pause before each.
constexpr int kFullServerTries = 3;
constexpr int kFullServerPauseMs = 3000;

struct UploadJob {
  std::string localPath;   // UTF-8
  std::string remoteName;  // UTF-8, in the connection's current directory
  // Bytes, as looked up before the run; a file that could not be looked at counts as small (its
  // upload then fails with the reason).
  std::uint64_t size = 0;
};

struct UploadResult {
  bool started = false;  // false when the run was stopped before this file
  bool ok = false;
  bool dataFailed = false;  // it failed on its data connection (see CFtpConnection)
  std::string reason;       // why it failed, fit for the user
};

// One more connection, logged in and in the remote directory; or why there is none.
struct OpenedConnection {
  std::unique_ptr<CFtpConnection> connection;
  std::string reason;
  // The server refuses further connections from us: a 421, a 530 that says "too many", or a
  // connection closed without a refusal.
  bool serverFull = false;
};

// Called from the pool's threads, several at once: it must not ask the user anything (the
// certificate was decided on the run's first connection).
using ConnectionFactory = std::function<OpenedConnection()>;

// Whether a connection whose Connect or Login failed was turned away for want of room.
bool RefusesMoreConnections(const CFtpConnection& failed);

// Connects a fresh connection (its timeout, reconnect pause and certificate check already set),
// logs in and enters directory (when not empty); a failure is classified as above.
OpenedConnection OpenUploadConnection(std::unique_ptr<CFtpConnection> fresh,
                                      const ftp::ServerAddress& address, const std::string& user,
                                      const std::string& password, const std::string& directory);

class UploadPool {
 public:
  struct Hooks {
    // Each under the pool's lock, so never two at once, and on the thread that sends the file:
    // started in list order, finished as files end. bytes is the file's size as listed before it
    // went.
    std::function<void(std::size_t index)> started;
    std::function<void(std::size_t index, std::uint64_t bytes, const UploadResult& result)>
        finished;
    // Looked at before each file starts; once true, no further file starts. The stop signal of
    // the thread that calls Run counts too: it is bound to every worker, so it also ends the
    // files in flight.
    const std::atomic<bool>* stop = nullptr;
  };

  explicit UploadPool(ConnectionFactory open, int maxConnections = kMaxUploadConnections);
  UploadPool(const UploadPool&) = delete;
  UploadPool& operator=(const UploadPool&) = delete;

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  // Shortened by tests.
  void SetFullServerPause(int pauseMs) { fullServerPauseMs_ = pauseMs; }

  // Sends every job and returns one result per job, in list order. first, when given, is an open
  // connection the run already has; it is used instead of opening one. Every connection is closed
  // at the end.
  std::vector<UploadResult> Run(const std::vector<UploadJob>& jobs,
                                std::unique_ptr<CFtpConnection> first = nullptr);
  // The most connections that were open at once during the last run.
  int PeakConnections() const { return peakConnections_; }

 private:
  // What a worker without a connection does next.
  enum class Opening { Opened, Retire, GiveUp };

  void Work(std::unique_ptr<CFtpConnection> connection);
  Opening Open(std::unique_ptr<CFtpConnection>* connection, std::string* failure);
  bool Claim(std::size_t* index);
  void Finish(std::size_t index, const UploadResult& result);
  void Counted(int change);
  void Leave(bool hadConnection);
  bool Stopped() const;
  bool Alone(std::size_t index) const { return (*jobs_)[index].size > kAloneUploadBytes; }
  // The same name in flight twice would share one temporary name on the server.
  bool NameBusy(std::size_t index) const {
    return namesInFlight_.count((*jobs_)[index].remoteName) != 0;
  }

  ConnectionFactory open_;
  int maxConnections_;
  int fullServerPauseMs_ = kFullServerPauseMs;
  Hooks hooks_;

  // The run's state, guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::vector<UploadJob>* jobs_ = nullptr;
  std::vector<UploadResult> results_;
  std::size_t next_ = 0;
  int working_ = 0;  // workers still taking files
  int inFlight_ = 0;
  bool aloneInFlight_ = false;
  std::multiset<std::string> namesInFlight_;
  int openConnections_ = 0;
  int peakConnections_ = 0;
};

}  // namespace backup
