#include "ftp/ftp_connection.h"

#include <chrono>

#include "files/local_file.h"

namespace {

constexpr std::size_t kReceiveChunkBytes = 4096;
constexpr int kQuitWaitMs = 2000;
constexpr int kServiceClosing = 421;

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  const long long left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// An EPRT address carries no scope ("fe80::1%eth0" is sent as "fe80::1").
std::string WithoutScope(const std::string& address) {
  return address.substr(0, address.find('%'));
}

}  // namespace

using ftp::HasLineBreak;
using ftp::Reply;
using ftp::ReplyParser;

CFtpConnection::CFtpConnection(int timeoutMs) : timeoutMs_(timeoutMs) {}

CFtpConnection::~CFtpConnection() { Close(); }

bool CFtpConnection::Fail(const std::string& reason) {
  lastError_ = reason;
  return false;
}

bool CFtpConnection::FailWithReply(const Reply& reply) { return Fail(reply.Line()); }

bool CFtpConnection::Break(const std::string& reason) {
  brokenReason_ = reason;
  CloseConnections();
  return Fail(reason);
}

void CFtpConnection::CloseConnections() {
  control_.Close();
  dataListener_.socket.Close();
}

bool CFtpConnection::Usable() {
  if (!brokenReason_.empty()) return Fail(brokenReason_);
  if (!control_.IsOpen()) return Fail("Not connected to a server");
  return true;
}

bool CFtpConnection::Connect(const ftp::ServerAddress& address) {
  CloseConnections();
  parser_ = ReplyParser();
  brokenReason_.clear();
  lastReply_ = Reply();
  currentType_ = 0;
  std::string error;
  if (!net::Connect(address.host, address.port, timeoutMs_, &control_, &error)) {
    return Fail(error);
  }
  peerAddress_ = net::PeerAddress(control_);
  Reply greeting;
  if (!ReadFinalReply(&greeting)) return false;
  if (!greeting.IsPositive()) {
    control_.Close();
    return FailWithReply(greeting);
  }
  return true;
}

bool CFtpConnection::SendCommand(const std::string& verb, const std::string& argument) {
  if (HasLineBreak(argument)) {
    return Fail("A name that contains a line break cannot be sent to the server");
  }
  const std::string line = (argument.empty() ? verb : verb + " " + argument) + "\r\n";
  std::string error;
  if (!net::SendAll(control_, line.data(), line.size(), timeoutMs_, &error)) {
    return Break("Sending to the server failed: " + error);
  }
  return true;
}

bool CFtpConnection::ReadReply(Reply* reply) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  while (!parser_.HasReply()) {
    const int left = MillisecondsUntil(deadline);
    std::string error = net::kTimedOutText;
    char chunk[kReceiveChunkBytes];
    const long got = left > 0 ? net::Receive(control_, chunk, sizeof chunk, left, &error) : -1;
    if (got < 0) return Break("No reply from the server: " + error);
    if (got == 0) return Break("The server closed the connection");
    parser_.Feed(chunk, static_cast<std::size_t>(got));
  }
  parser_.Next(reply);
  lastReply_ = *reply;
  if (reply->code == 0) {
    return Break("The server sent something that is not an FTP reply: " + reply->Line());
  }
  if (reply->code == kServiceClosing) {
    // The server is going away: this reply is the caller's answer, later steps fail with it.
    brokenReason_ = reply->Line();
    CloseConnections();
  }
  return true;
}

bool CFtpConnection::ReadFinalReply(Reply* reply) {
  do {
    if (!ReadReply(reply)) return false;
  } while (reply->IsPreliminary());
  return true;
}

bool CFtpConnection::Exchange(const std::string& verb, const std::string& argument, Reply* reply) {
  return Usable() && SendCommand(verb, argument) && ReadFinalReply(reply);
}

bool CFtpConnection::ExchangeExpectingPositive(const std::string& verb,
                                               const std::string& argument) {
  Reply reply;
  if (!Exchange(verb, argument, &reply)) return false;
  return reply.IsPositive() || FailWithReply(reply);
}

bool CFtpConnection::Login(const std::string& user, const std::string& password) {
  Reply reply;
  if (!Exchange("USER", user, &reply)) return false;
  if (reply.IsPositive()) return true;
  if (!reply.IsIntermediate()) return FailWithReply(reply);
  if (!Exchange("PASS", password, &reply)) return false;
  return reply.IsPositive() || FailWithReply(reply);
}

bool CFtpConnection::SetType(char type) {
  if (currentType_ == type && Usable()) return true;
  if (!ExchangeExpectingPositive("TYPE", std::string(1, type))) return false;
  currentType_ = type;
  return true;
}

bool CFtpConnection::SetCurrentDirectory(const std::string& directory) {
  if (directory.empty()) return Fail("No directory name is given");
  return ExchangeExpectingPositive("CWD", directory);
}

bool CFtpConnection::CreateDirectory(const std::string& directory) {
  if (directory.empty()) return Fail("No directory name is given");
  return ExchangeExpectingPositive("MKD", directory);
}

bool CFtpConnection::OpenDataListener() {
  if (dataListener_.socket.IsOpen()) return true;
  std::string error;
  if (!net::ListenBeside(control_, &dataListener_, &error)) {
    return Fail("Could not open a port for the data connection: " + error);
  }
  const std::string port = std::to_string(dataListener_.port);
  if (dataListener_.isIPv6) {
    dataPortVerb_ = "EPRT";
    dataPortArgument_ = "|2|" + WithoutScope(dataListener_.addressText) + "|" + port + "|";
    return true;
  }
  std::string hostPart = dataListener_.addressText;
  for (char& c : hostPart) {
    if (c == '.') c = ',';
  }
  dataPortVerb_ = "PORT";
  dataPortArgument_ = hostPart + "," + std::to_string(dataListener_.port / 256) + "," +
                      std::to_string(dataListener_.port % 256);
  return true;
}

bool CFtpConnection::TakeDataConnection(net::Socket* data) {
  std::string peer;
  std::string error;
  const int taken = net::AcceptWaiting(dataListener_.socket, data, &peer, &error);
  if (taken < 0) return Break("The server did not open the data connection: " + error);
  // Only the server may deliver the file's data connection.
  if (taken > 0 && !peerAddress_.empty() && peer != peerAddress_) {
    data->Abort();
    return Break("The data connection came from an unexpected address");
  }
  return true;
}

bool CFtpConnection::TransferRefused(const Reply& reply) {
  return reply.IsPositive() ? Fail("The server ended the transfer before it began: " + reply.Line())
                            : FailWithReply(reply);
}

bool CFtpConnection::AwaitTransferStart(net::Socket* data) {
  // The 1xx reply is the go-ahead for the data connection, so it is not skipped here.
  Reply reply;
  if (!ReadReply(&reply)) return false;
  if (!reply.IsPreliminary()) return TransferRefused(reply);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  for (;;) {
    if (!parser_.HasReply()) {
      // Most servers connect before they send the go-ahead, so the connection is usually
      // waiting already and is taken without a wait.
      if (!TakeDataConnection(data)) return false;
      if (data->IsOpen()) return true;
      std::string error = net::kTimedOutText;
      const int left = MillisecondsUntil(deadline);
      const int ready =
          left > 0 ? net::WaitReadable(dataListener_.socket, control_, left, &error) : -1;
      if (ready < 0) return Break("The server did not open the data connection: " + error);
      if (ready == 0) continue;
    }
    // A reply instead of a connection: the server gave up on the transfer (425 and the like).
    if (!ReadReply(&reply)) return false;
    if (!reply.IsPreliminary()) return TransferRefused(reply);
  }
}

bool CFtpConnection::SendFile(LocalFile& file, const net::Socket& data, std::string* readError,
                              std::string* sendError) {
  if (buffer_.empty()) buffer_.resize(ftp::kTransferBufferBytes);
  for (;;) {
    const long got = file.Read(buffer_.data(), buffer_.size(), readError);
    if (got < 0) return false;
    if (got == 0) return true;
    if (!net::SendAll(data, buffer_.data(), static_cast<std::size_t>(got), timeoutMs_, sendError)) {
      return false;
    }
  }
}

bool CFtpConnection::StartTransfer(const std::string& localPath, const std::string& remoteName,
                                   LocalFile* file, net::Socket* data) {
  if (!OpenDataListener() || !SendCommand(dataPortVerb_, dataPortArgument_)) return false;
  // The local file is opened while the server answers the port command, and before STOR: a
  // file that cannot be read must not leave an empty copy on the server.
  std::string openError;
  const bool opened = file->Open(localPath, &openError);
  Reply reply;
  if (!ReadFinalReply(&reply)) return false;
  if (!reply.IsPositive()) return FailWithReply(reply);
  if (!opened) return Fail(openError);
  return SendCommand("STOR", remoteName) && AwaitTransferStart(data);
}

bool CFtpConnection::Store(const std::string& localPath, const std::string& remoteName) {
  if (!Usable()) return false;
  if (remoteName.empty()) return Fail("No remote file name is given");
  if (HasLineBreak(remoteName) || HasLineBreak(localPath)) {
    return Fail("A name that contains a line break cannot be sent to the server");
  }
  LocalFile file;
  net::Socket data;
  if (!StartTransfer(localPath, remoteName, &file, &data)) {
    // Some servers connect as soon as they have the port, others late for a transfer that
    // failed; a fresh port for the next file keeps such a connection from being taken for it.
    dataListener_.socket.Close();
    return false;
  }

  std::string readError;
  std::string sendError;
  const bool sent = SendFile(file, data, &readError, &sendError);
  // A reset instead of an orderly end tells the server the file is incomplete.
  if (sent) {
    data.Close();
  } else {
    data.Abort();
  }
  file.Close();

  Reply final;
  const bool answered = ReadFinalReply(&final);
  if (!readError.empty()) return Fail("Reading the local file failed: " + readError);
  if (!answered) {
    return sendError.empty() ? false : Fail("Sending the file failed: " + sendError);
  }
  if (!final.IsPositive()) return FailWithReply(final);
  if (!sendError.empty()) return Fail("Sending the file failed: " + sendError);
  return true;
}

bool CFtpConnection::PutFile(const std::string& localPath, const std::string& remoteName,
                             unsigned flags, std::uintptr_t /*context*/) {
  return SetType(flags == kFtpTransferTypeAscii ? 'A' : 'I') && Store(localPath, remoteName);
}

void CFtpConnection::Close() {
  if (control_.IsOpen() && brokenReason_.empty()) {
    const int savedTimeout = timeoutMs_;
    timeoutMs_ = timeoutMs_ < kQuitWaitMs ? timeoutMs_ : kQuitWaitMs;
    SendCommand("QUIT", "");
    timeoutMs_ = savedTimeout;
  }
  CloseConnections();
}
