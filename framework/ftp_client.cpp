#include "framework/ftp_client.h"

#include <chrono>
#include <cstring>

#include "framework/local_file.h"

namespace ftp {

namespace {

constexpr std::size_t kMaxShownReplyChars = 300;
constexpr std::size_t kReceiveChunkBytes = 4096;
constexpr int kQuitWaitMs = 2000;
constexpr int kMaxPort = 65535;
constexpr int kPortDigits = 5;
constexpr int kReplyCodeDigits = 3;
constexpr int kServiceClosing = 421;

using Clock = std::chrono::steady_clock;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithCode(const std::string& line) {
  return line.size() >= kReplyCodeDigits && line[0] >= '1' && line[0] <= '5' && IsDigit(line[1]) &&
         IsDigit(line[2]);
}

// True when line is "ddd", "ddd text" or "ddd-text": the start of a reply.
bool IsReplyStart(const std::string& line) {
  return StartsWithCode(line) && (line.size() == kReplyCodeDigits ||
                                  line[kReplyCodeDigits] == ' ' || line[kReplyCodeDigits] == '-');
}

bool EndsMultiLine(const std::string& line, const std::string& codeText) {
  return line.compare(0, kReplyCodeDigits, codeText) == 0 &&
         (line.size() == kReplyCodeDigits || line[kReplyCodeDigits] == ' ');
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > static_cast<std::size_t>(kPortDigits)) return false;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  *port = value;
  return true;
}

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

std::string Reply::Line() const {
  std::string line;
  for (char c : text) {
    if (line.size() == kMaxShownReplyChars) {
      line += "...";
      break;
    }
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  }
  return line;
}

void ReplyParser::Feed(const char* data, std::size_t size) {
  while (size > 0) {
    const void* found = std::memchr(data, '\n', size);
    const std::size_t take =
        found == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(found) - data);
    const std::size_t room = kMaxLineBytes - line_.size();
    line_.append(data, take < room ? take : room);
    if (take > room) lineOverflow_ = true;
    if (found == nullptr) return;
    data += take + 1;
    size -= take + 1;
    TakeLine();
  }
}

bool ReplyParser::Next(Reply* reply) {
  if (ready_.empty()) return false;
  *reply = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

void ReplyParser::TakeLine() {
  std::string line;
  line.swap(line_);
  lineOverflow_ = false;
  if (!line.empty() && line.back() == '\r') line.pop_back();

  if (inMultiLine_) {
    AppendToCurrent(line);
    if (EndsMultiLine(line, current_.text.substr(0, kReplyCodeDigits))) {
      inMultiLine_ = false;
      ready_.push_back(std::move(current_));
      current_ = Reply();
    }
    return;
  }
  // A stray empty line between replies carries nothing; anything else that is not a reply is
  // handed on with code 0 so the client can give up on the connection.
  if (line.empty()) return;
  if (!IsReplyStart(line)) {
    Reply junk;
    junk.text = line.substr(0, kMaxReplyBytes);
    ready_.push_back(std::move(junk));
    return;
  }
  current_ = Reply();
  current_.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  AppendToCurrent(line);
  if (line.size() > kReplyCodeDigits && line[kReplyCodeDigits] == '-') {
    inMultiLine_ = true;
  } else {
    ready_.push_back(std::move(current_));
    current_ = Reply();
  }
}

void ReplyParser::AppendToCurrent(const std::string& line) {
  const std::size_t separator = current_.text.empty() ? 0 : 1;
  if (current_.text.size() + separator + line.size() > kMaxReplyBytes) return;
  if (separator != 0) current_.text += '\n';
  current_.text += line;
}

bool ParseServerAddress(const std::string& text, int defaultPort, ServerAddress* out,
                        std::string* error) {
  const char* const kBadPort = "The port in the server address must be a number from 1 to 65535";
  ServerAddress parsed;
  parsed.port = defaultPort;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      *error = "The server address lacks the closing ']'";
      return false;
    }
    parsed.host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !ParsePort(rest.substr(1), &parsed.port))) {
      *error = kBadPort;
      return false;
    }
  } else {
    const std::size_t colon = text.find(':');
    const bool bareIPv6 =
        colon != std::string::npos && text.find(':', colon + 1) != std::string::npos;
    if (colon == std::string::npos || bareIPv6) {
      parsed.host = text;
    } else {
      parsed.host = text.substr(0, colon);
      if (!ParsePort(text.substr(colon + 1), &parsed.port)) {
        *error = kBadPort;
        return false;
      }
    }
  }
  if (parsed.host.empty()) {
    *error = "No server address is given";
    return false;
  }
  if (HasLineBreak(parsed.host)) {
    *error = "The server address contains a line break";
    return false;
  }
  *out = parsed;
  return true;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

Client::Client(int timeoutMs) : timeoutMs_(timeoutMs) {}

Client::~Client() = default;

bool Client::Fail(const std::string& reason) {
  lastError_ = reason;
  return false;
}

bool Client::FailWithReply(const Reply& reply) { return Fail(reply.Line()); }

bool Client::Break(const std::string& reason) {
  brokenReason_ = reason;
  CloseConnections();
  return Fail(reason);
}

void Client::CloseConnections() {
  control_.Close();
  dataListener_.socket.Close();
}

bool Client::Usable() {
  if (!brokenReason_.empty()) return Fail(brokenReason_);
  if (!control_.IsOpen()) return Fail("Not connected to a server");
  return true;
}

bool Client::Connect(const ServerAddress& address) {
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

bool Client::SendCommand(const std::string& verb, const std::string& argument) {
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

bool Client::ReadReply(Reply* reply) {
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

bool Client::ReadFinalReply(Reply* reply) {
  do {
    if (!ReadReply(reply)) return false;
  } while (reply->IsPreliminary());
  return true;
}

bool Client::Exchange(const std::string& verb, const std::string& argument, Reply* reply) {
  return Usable() && SendCommand(verb, argument) && ReadFinalReply(reply);
}

bool Client::ExchangeExpectingPositive(const std::string& verb, const std::string& argument) {
  Reply reply;
  if (!Exchange(verb, argument, &reply)) return false;
  return reply.IsPositive() || FailWithReply(reply);
}

bool Client::Login(const std::string& user, const std::string& password) {
  Reply reply;
  if (!Exchange("USER", user, &reply)) return false;
  if (reply.IsPositive()) return true;
  if (!reply.IsIntermediate()) return FailWithReply(reply);
  if (!Exchange("PASS", password, &reply)) return false;
  return reply.IsPositive() || FailWithReply(reply);
}

bool Client::SetType(char type) {
  if (currentType_ == type && Usable()) return true;
  if (!ExchangeExpectingPositive("TYPE", std::string(1, type))) return false;
  currentType_ = type;
  return true;
}

bool Client::ChangeDirectory(const std::string& directory) {
  if (directory.empty()) return Fail("No directory name is given");
  return ExchangeExpectingPositive("CWD", directory);
}

bool Client::MakeDirectory(const std::string& directory) {
  if (directory.empty()) return Fail("No directory name is given");
  return ExchangeExpectingPositive("MKD", directory);
}

bool Client::OpenDataListener() {
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

bool Client::TakeDataConnection(net::Socket* data) {
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

bool Client::TransferRefused(const Reply& reply) {
  return reply.IsPositive() ? Fail("The server ended the transfer before it began: " + reply.Line())
                            : FailWithReply(reply);
}

bool Client::AwaitTransferStart(net::Socket* data) {
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

bool Client::SendFile(LocalFile& file, const net::Socket& data, std::string* readError,
                      std::string* sendError) {
  if (buffer_.empty()) buffer_.resize(kTransferBufferBytes);
  for (;;) {
    const long got = file.Read(buffer_.data(), buffer_.size(), readError);
    if (got < 0) return false;
    if (got == 0) return true;
    if (!net::SendAll(data, buffer_.data(), static_cast<std::size_t>(got), timeoutMs_, sendError)) {
      return false;
    }
  }
}

bool Client::StartTransfer(const std::string& localPath, const std::string& remoteName,
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

bool Client::Store(const std::string& localPath, const std::string& remoteName) {
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

void Client::Quit() {
  if (control_.IsOpen() && brokenReason_.empty()) {
    const int savedTimeout = timeoutMs_;
    timeoutMs_ = timeoutMs_ < kQuitWaitMs ? timeoutMs_ : kQuitWaitMs;
    SendCommand("QUIT", "");
    timeoutMs_ = savedTimeout;
  }
  CloseConnections();
}

}  // namespace ftp
