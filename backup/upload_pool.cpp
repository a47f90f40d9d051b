#include "backup/upload_pool.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>

#include "net/stop.h"

namespace backup {

namespace {

constexpr int kNoRoomCode = 421;
constexpr int kLoginRefusedCode = 530;
constexpr int kFirstNegativeCode = 400;
// Nobody signals the stop flag: a worker waiting for its turn looks at it this often.
constexpr int kStopLookMs = 100;
const char* const kNoConnectionText = "No connection to the server could be opened";

bool SaysTooMany(const std::string& text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("too many") != std::string::npos;
}

OpenedConnection Refused(const CFtpConnection& failed) {
  OpenedConnection opened;
  opened.reason = failed.LastError();
  opened.serverFull = RefusesMoreConnections(failed);
  return opened;
}

}  // namespace

bool RefusesMoreConnections(const CFtpConnection& failed) {
  if (failed.CertificateRefused()) return false;
  const ftp::Reply& reply = failed.LastReply();
  if (reply.code == kNoRoomCode) return true;
  if (reply.code == kLoginRefusedCode) return SaysTooMany(reply.text);
  // Some servers hang up on a connection they have no room for, without a word.
  return !failed.IsConnected() && reply.code < kFirstNegativeCode;
}

OpenedConnection OpenUploadConnection(std::unique_ptr<CFtpConnection> fresh,
                                      const ftp::ServerAddress& address, const std::string& user,
                                      const std::string& password, const std::string& directory) {
  if (!fresh->Connect(address) || !fresh->Login(user, password)) return Refused(*fresh);
  OpenedConnection opened;
  if (!directory.empty() && !fresh->SetCurrentDirectory(directory)) {
    opened.reason = fresh->LastError();
    return opened;
  }
  opened.connection = std::move(fresh);
  return opened;
}

UploadPool::UploadPool(ConnectionFactory open, int maxConnections)
    : open_(std::move(open)), maxConnections_(std::max(1, maxConnections)) {}

std::vector<UploadResult> UploadPool::Run(const std::vector<UploadJob>& jobs,
                                          std::unique_ptr<CFtpConnection> first) {
  jobs_ = &jobs;
  results_.assign(jobs.size(), UploadResult());
  next_ = 0;
  inFlight_ = 0;
  aloneInFlight_ = false;
  namesInFlight_.clear();
  openConnections_ = 0;
  peakConnections_ = 0;
  // No more connections than files: a login costs round trips too.
  const int workers = static_cast<int>(
      std::min<std::size_t>(jobs.size(), static_cast<std::size_t>(maxConnections_)));
  working_ = workers;
  std::vector<std::thread> threads;
  // A stop of the run reaches every connection's waits, not only the first one's.
  const net::StopSignal* const signal = net::ThreadStopSignal();
  for (int i = 1; i < workers; ++i) {
    try {
      threads.emplace_back([this, signal] {
        const net::StopScope stoppable(signal);
        Work(nullptr);
      });
    } catch (const std::system_error&) {
      Leave(false);  // the run goes on with the workers it has
    }
  }
  if (workers > 0) {
    Work(std::move(first));
  } else if (first) {
    first->Close();
  }
  for (std::thread& thread : threads) thread.join();
  jobs_ = nullptr;
  return std::move(results_);
}

void UploadPool::Work(std::unique_ptr<CFtpConnection> connection) {
  if (connection) Counted(+1);
  // Set when this worker, the last one left, could get no connection: every file left fails so.
  std::string failure;
  for (;;) {
    if (!connection && failure.empty() && Open(&connection, &failure) == Opening::Retire) return;
    std::size_t index = 0;
    if (!Claim(&index)) break;
    UploadResult result;
    result.started = true;
    if (!connection) {
      result.reason = failure;
      Finish(index, result);
      continue;
    }
    const UploadJob& job = (*jobs_)[index];
    const bool ok = connection->PutFile(job.localPath, job.remoteName);
    result.ok = ok;
    result.dataFailed = !ok && connection->DataConnectionFailed();
    if (!ok) result.reason = connection->LastError();
    Finish(index, result);
    // Out of step with the server even after its own reconnects: the next file gets a fresh one.
    if (!ok && !connection->IsConnected()) {
      connection.reset();
      Counted(-1);
    }
  }
  if (connection) connection->Close();
  Leave(connection != nullptr);
}

UploadPool::Opening UploadPool::Open(std::unique_ptr<CFtpConnection>* connection,
                                     std::string* failure) {
  for (int tries = 1;; ++tries) {
    OpenedConnection opened;
    try {
      opened = open_();
    } catch (const std::exception& error) {
      opened.reason = error.what();
    }
    if (opened.connection) {
      *connection = std::move(opened.connection);
      Counted(+1);
      return Opening::Opened;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // Decided under the lock, so that two workers failing at once never both leave the files.
    if (working_ > 1) {
      --working_;
      changed_.notify_all();
      return Opening::Retire;
    }
    if (!opened.serverFull || tries >= kFullServerTries || Stopped()) {
      *failure = opened.reason.empty() ? kNoConnectionText : opened.reason;
      return Opening::GiveUp;
    }
    lock.unlock();
    net::PauseUnlessStopped(fullServerPauseMs_);
  }
}

bool UploadPool::Claim(std::size_t* index) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (next_ >= jobs_->size() || Stopped()) return false;
    if (!aloneInFlight_ && (!Alone(next_) || inFlight_ == 0) && !NameBusy(next_)) break;
    changed_.wait_for(lock, std::chrono::milliseconds(kStopLookMs));
  }
  *index = next_++;
  ++inFlight_;
  namesInFlight_.insert((*jobs_)[*index].remoteName);
  aloneInFlight_ = Alone(*index);
  results_[*index].started = true;
  if (hooks_.started) hooks_.started(*index);
  return true;
}

bool UploadPool::Stopped() const {
  return (hooks_.stop && hooks_.stop->load()) || net::StopRequested();
}

void UploadPool::Finish(std::size_t index, const UploadResult& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  results_[index] = result;
  --inFlight_;
  namesInFlight_.erase(namesInFlight_.find((*jobs_)[index].remoteName));
  if (Alone(index)) aloneInFlight_ = false;
  if (hooks_.finished) hooks_.finished(index, (*jobs_)[index].size, results_[index]);
  changed_.notify_all();
}

void UploadPool::Counted(int change) {
  std::lock_guard<std::mutex> lock(mutex_);
  openConnections_ += change;
  peakConnections_ = std::max(peakConnections_, openConnections_);
}

void UploadPool::Leave(bool hadConnection) {
  std::lock_guard<std::mutex> lock(mutex_);
  --working_;
  if (hadConnection) --openConnections_;
  changed_.notify_all();
}

}  // namespace backup
