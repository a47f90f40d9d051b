// The program's own FTP client: login, binary type, change and make directory, and store, in
// active mode. It talks over the small socket layer in net.h, so the same protocol code runs on
// Windows and natively.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "framework/net.h"

class LocalFile;

namespace ftp {

constexpr int kDefaultPort = 21;
constexpr int kDefaultTimeoutMs = 60000;
// Large chunks keep the number of system calls per file low, which counts where each one is
// expensive (Wine); a few MiB is the whole memory cost, the file itself is never held whole.
constexpr std::size_t kTransferBufferBytes = 4 * 1024 * 1024;

// One reply of the server. `code` is 0 for a line that is not a reply at all.
struct Reply {
  int code = 0;
  std::string text;  // every line of the reply, joined with '\n', without line ends

  bool IsPreliminary() const { return code >= 100 && code < 200; }
  bool IsPositive() const { return code >= 200 && code < 300; }
  bool IsIntermediate() const { return code >= 300 && code < 400; }
  // The reply as one line fit for a message box: control characters become spaces, long texts
  // are cut.
  std::string Line() const;
};

// Splits the bytes of a control connection into replies: "ddd text" lines, multi-line replies
// from "ddd-" to the first line that starts with the same "ddd ", bare LF or CRLF line ends.
// Any byte sequence is accepted; texts and lines are capped so a hostile server cannot make it
// grow without end.
class ReplyParser {
 public:
  static constexpr std::size_t kMaxLineBytes = 4096;
  static constexpr std::size_t kMaxReplyBytes = 16384;

  void Feed(const char* data, std::size_t size);
  bool HasReply() const { return !ready_.empty(); }
  // Takes the oldest complete reply.
  bool Next(Reply* reply);

 private:
  void TakeLine();
  void AppendToCurrent(const std::string& line);

  std::string line_;
  bool lineOverflow_ = false;
  bool inMultiLine_ = false;
  Reply current_;
  std::deque<Reply> ready_;
};

struct ServerAddress {
  std::string host;
  int port = kDefaultPort;
};

// "host", "host:port", "[v6-address]", "[v6-address]:port", or a bare IPv6 literal (which has no
// port). defaultPort applies when the text names none.
bool ParseServerAddress(const std::string& text, int defaultPort, ServerAddress* out,
                        std::string* error);

// True when text holds CR, LF or NUL: such a text would end a command early or smuggle in
// another one, so it is never sent.
bool HasLineBreak(const std::string& text);

class Client {
 public:
  explicit Client(int timeoutMs = kDefaultTimeoutMs);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Every wait (connect, each reply, data-connection inactivity) gives up after this long.
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }

  // Connects and reads the greeting.
  bool Connect(const ServerAddress& address);
  // USER, then PASS unless the server accepted the user alone. Empty texts are sent as empty.
  bool Login(const std::string& user, const std::string& password);
  // 'I' (binary) or 'A' (text).
  bool SetType(char type);
  bool ChangeDirectory(const std::string& directory);
  bool MakeDirectory(const std::string& directory);
  // Stores a local file under remoteName in the current remote directory. True only after the
  // server's final positive reply. Transfers of one session share one listening data port.
  bool Store(const std::string& localPath, const std::string& remoteName);
  // Says goodbye and closes the connection without waiting for the answer: a server may finish
  // writing the last file before it reads the goodbye.
  void Quit();

  bool IsConnected() const { return control_.IsOpen(); }
  // Why the last step failed, fit for the user: the server's reply or the system's text.
  const std::string& LastError() const { return lastError_; }
  // The last reply read (code 0 when the last step failed before a reply came).
  const Reply& LastReply() const { return lastReply_; }

 private:
  bool Fail(const std::string& reason);
  bool FailWithReply(const Reply& reply);
  // The control connection is no longer in step with the server: every later step fails.
  bool Break(const std::string& reason);
  bool Usable();
  bool SendCommand(const std::string& verb, const std::string& argument);
  bool ReadReply(Reply* reply);
  bool ReadFinalReply(Reply* reply);
  bool Exchange(const std::string& verb, const std::string& argument, Reply* reply);
  bool ExchangeExpectingPositive(const std::string& verb, const std::string& argument);
  void CloseConnections();
  bool OpenDataListener();
  bool TakeDataConnection(net::Socket* data);
  bool TransferRefused(const Reply& reply);
  bool AwaitTransferStart(net::Socket* data);
  bool StartTransfer(const std::string& localPath, const std::string& remoteName, LocalFile* file,
                     net::Socket* data);
  bool SendFile(LocalFile& file, const net::Socket& data, std::string* readError,
                std::string* sendError);

  int timeoutMs_;
  net::Socket control_;
  net::Listener dataListener_;
  // The PORT or EPRT command that names dataListener_.
  std::string dataPortVerb_;
  std::string dataPortArgument_;
  std::string peerAddress_;
  ReplyParser parser_;
  Reply lastReply_;
  std::string lastError_;
  std::string brokenReason_;
  char currentType_ = 0;
  std::vector<char> buffer_;
};

}  // namespace ftp
