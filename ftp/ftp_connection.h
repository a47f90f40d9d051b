// The FTP client: login, binary type, change and make directory, and store, in active mode, over
// the socket layer in net/, so the same protocol code runs on Windows and natively. Steps return
// false with the reason in LastError(); only CInternetSession turns a failure into an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ftp/ftp_reply.h"
#include "net/socket.h"

class LocalFile;

namespace ftp {

constexpr int kDefaultTimeoutMs = 60000;
// Large chunks keep the number of system calls per file low, which counts where each one is
// expensive (Wine); a few MiB is the whole memory cost, the file itself is never held whole.
constexpr std::size_t kTransferBufferBytes = 4 * 1024 * 1024;

}  // namespace ftp

constexpr unsigned kFtpTransferTypeAscii = 1;
constexpr unsigned kFtpTransferTypeBinary = 2;

// Windows' headers turn these names into macros (SetCurrentDirectoryA, ...). Dropping the macros
// here, and answering to the A spelling as well, gives each member the same meaning whether
// <windows.h> comes before this header or after it.
#undef SetCurrentDirectory
#undef CreateDirectory

class CFtpConnection {
 public:
  explicit CFtpConnection(int timeoutMs = ftp::kDefaultTimeoutMs);
  ~CFtpConnection();
  CFtpConnection(const CFtpConnection&) = delete;
  CFtpConnection& operator=(const CFtpConnection&) = delete;

  // Every wait (connect, each reply, data-connection inactivity) gives up after this long.
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }

  // Connects and reads the greeting.
  bool Connect(const ftp::ServerAddress& address);
  // USER, then PASS unless the server accepted the user alone. Empty texts are sent as empty.
  bool Login(const std::string& user, const std::string& password);
  // 'I' (binary) or 'A' (text).
  bool SetType(char type);
  // False when the directory does not exist or cannot be entered.
  bool SetCurrentDirectory(const std::string& directory);
  bool SetCurrentDirectoryA(const std::string& directory) { return SetCurrentDirectory(directory); }
  bool CreateDirectory(const std::string& directory);
  bool CreateDirectoryA(const std::string& directory) { return CreateDirectory(directory); }
  // Stores a local file under remoteName in the current remote directory. True only after the
  // server's final positive reply. Transfers of one session share one listening data port.
  bool PutFile(const std::string& localPath, const std::string& remoteName,
               unsigned flags = kFtpTransferTypeBinary, std::uintptr_t context = 1);
  // Says goodbye and closes the connection without waiting for the answer: a server may finish
  // writing the last file before it reads the goodbye.
  void Close();

  bool IsConnected() const { return control_.IsOpen(); }
  // Why the last step failed, fit for the user: the server's reply or the system's text.
  const std::string& LastError() const { return lastError_; }
  // The last reply read (code 0 when the last step failed before a reply came).
  const ftp::Reply& LastReply() const { return lastReply_; }

 private:
  bool Fail(const std::string& reason);
  bool FailWithReply(const ftp::Reply& reply);
  // The control connection is no longer in step with the server: every later step fails.
  bool Break(const std::string& reason);
  bool Usable();
  bool SendCommand(const std::string& verb, const std::string& argument);
  bool ReadReply(ftp::Reply* reply);
  bool ReadFinalReply(ftp::Reply* reply);
  bool Exchange(const std::string& verb, const std::string& argument, ftp::Reply* reply);
  bool ExchangeExpectingPositive(const std::string& verb, const std::string& argument);
  void CloseConnections();
  bool OpenDataListener();
  bool TakeDataConnection(net::Socket* data);
  bool TransferRefused(const ftp::Reply& reply);
  bool AwaitTransferStart(net::Socket* data);
  bool StartTransfer(const std::string& localPath, const std::string& remoteName, LocalFile* file,
                     net::Socket* data);
  bool SendFile(LocalFile& file, const net::Socket& data, std::string* readError,
                std::string* sendError);
  bool Store(const std::string& localPath, const std::string& remoteName);

  int timeoutMs_;
  net::Socket control_;
  net::Listener dataListener_;
  // The PORT or EPRT command that names dataListener_.
  std::string dataPortVerb_;
  std::string dataPortArgument_;
  std::string peerAddress_;
  ftp::ReplyParser parser_;
  ftp::Reply lastReply_;
  std::string lastError_;
  std::string brokenReason_;
  char currentType_ = 0;
  std::vector<char> buffer_;
};
