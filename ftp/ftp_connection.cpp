#include "ftp/ftp_connection.h"

#include <algorithm>

#include "files/text.h"
#include "net/deadline.h"
#include "net/stop.h"

namespace {

constexpr std::size_t kReceiveChunkBytes = 4096;
constexpr int kQuitWaitMs = 2000;
constexpr int kServiceClosing = 421;

using net::Clock;
using net::MillisecondsUntil;

// A FEAT reply lists one feature per line, each line starting with a space.
bool Offers(const std::string& features, const std::string& name) {
  std::size_t at = 0;
  while ((at = features.find("\n " + name, at)) != std::string::npos) {
    at += name.size() + 2;
    if (at == features.size() || features[at] == '\n' || features[at] == ' ') return true;
  }
  return false;
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
  // Cut short by a stop, the connection stays open for the commands that give up the file in
  // flight (see Abandon); nothing else is sent over it.
  if (net::StopRequested()) {
    CloseListener();
  } else {
    CloseConnections();
  }
  return Fail(reason);
}

void CFtpConnection::CloseConnections() {
  controlTls_.reset();
  dataSecure_ = false;
  control_.Close();
  CloseListener();
}

bool CFtpConnection::Usable() {
  if (!brokenReason_.empty()) return Fail(brokenReason_);
  if (!control_.IsOpen()) return Fail("Not connected to a server");
  return true;
}

bool CFtpConnection::Connect(const ftp::ServerAddress& address) {
  CloseConnections();
  address_ = address;
  parser_ = ReplyParser();
  brokenReason_.clear();
  certificateRefused_ = false;
  lastReply_ = Reply();
  currentType_ = 0;
  std::string error;
  if (!net::Connect(address.host, address.port, timeoutMs_, &control_, &error)) {
    return Fail(error);
  }
  peerAddress_ = net::PeerAddress(control_);
  // Without it the connection still works where no router drops idle ones.
  net::KeepAlive(control_, ftp::kKeepAliveSeconds, &error);
  Reply greeting;
  if (!ReadFinalReply(&greeting)) return false;
  if (!greeting.IsPositive()) {
    control_.Close();
    return FailWithReply(greeting);
  }
  return true;
}

std::string CFtpConnection::CommandLine(const std::string& verb, const std::string& argument) {
  return (argument.empty() ? verb : verb + " " + argument) + "\r\n";
}

bool CFtpConnection::SendCommand(const std::string& verb, const std::string& argument) {
  if (HasLineBreak(argument)) {
    return Fail("A name that contains a line break cannot be sent to the server");
  }
  return SendLines(CommandLine(verb, argument));
}

bool CFtpConnection::SendLines(const std::string& line) {
  std::string error;
  const bool sent = controlTls_
                        ? controlTls_->Send(line.data(), line.size(), timeoutMs_, &error)
                        : net::SendAll(control_, line.data(), line.size(), timeoutMs_, &error);
  return sent || Break("Sending to the server failed: " + error);
}

bool CFtpConnection::ReceiveControl(char* buffer, std::size_t size, int timeoutMs,
                                    std::size_t* received, std::string* error) {
  return controlTls_ ? controlTls_->Receive(buffer, size, timeoutMs, received, error)
                     : net::Receive(control_, buffer, size, timeoutMs, received, error);
}

bool CFtpConnection::ReadReply(Reply* reply, Clock::time_point deadline) {
  while (!parser_.HasReply()) {
    const int left = MillisecondsUntil(deadline);
    std::string error = net::kTimedOutText;
    char chunk[kReceiveChunkBytes];
    std::size_t got = 0;
    bool ok = left > 0 && ReceiveControl(chunk, sizeof chunk, left, &got, &error);
    if (!ok && left > 0 && net::StopRequested()) {
      // A stop still gives the reply on its way a moment: it lets the file in flight be removed.
      net::StopScope unstoppable(nullptr);
      ok = ReceiveControl(chunk, sizeof chunk, left < ftp::kStopGraceMs ? left : ftp::kStopGraceMs,
                          &got, &error);
    }
    if (!ok) return Break("No reply from the server: " + error);
    if (got == 0) return Break("The server closed the connection");
    parser_.Feed(chunk, got);
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

bool CFtpConnection::ReadFinalReply(Reply* reply, bool* sawPreliminary) {
  // One limit for the final reply however many preliminary ones come first.
  const Clock::time_point deadline = net::DeadlineAfter(timeoutMs_);
  for (;;) {
    if (!ReadReply(reply, deadline)) return false;
    if (!reply->IsPreliminary()) return true;
    if (sawPreliminary != nullptr) *sawPreliminary = true;
  }
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

bool CFtpConnection::RequiresTls() {
  if (address_.security != ftp::Security::WhenOffered) {
    return address_.security == ftp::Security::Required;
  }
  return loggedInSecurely_ || (knownSecure_ && knownSecure_(address_));
}

bool CFtpConnection::SecureControl() {
  const bool required = RequiresTls();
  if (address_.security == ftp::Security::Off || (!required && !net::TlsAvailable())) return true;
  Reply reply;
  if (!Exchange("AUTH", "TLS", &reply)) return false;
  if (reply.code != 234 && address_.security == ftp::Security::Required) {
    CloseConnections();
    return Fail("The server does not offer encrypted connections (" + reply.Line() +
                "), and the server address asks for them (ftpes://)");
  }
  if (reply.code != 234) {
    if (!required) return true;
    CloseConnections();
    return Fail("The server stopped offering encrypted connections (" + reply.Line() +
                "), which it used before; the login was not sent in the clear. If the server "
                "really no longer has them, write ftp:// before its name to send in the clear");
  }
  // The server sends nothing between its 234 and the handshake: what came is someone else's.
  if (parser_.HoldsAnything()) {
    return Break(
        "Something on the network sent replies in the server's name before the "
        "connection was encrypted; the connection was ended before the login");
  }
  auto channel = std::make_unique<net::TlsChannel>();
  std::string error;
  if (!channel->Handshake(control_, tlsCredentials_, address_.host, timeoutMs_, &error)) {
    return Break("The secure connection to the server failed: " + error);
  }
  // Nothing of the login goes out before the certificate is accepted.
  const Clock::time_point asked = Clock::now();
  if (!AcceptPeer(channel->Peer())) return false;
  controlTls_ = std::move(channel);
  parser_ = ReplyParser();
  if (Clock::now() - asked > std::chrono::milliseconds(ftp::kStaleAnswerMs)) {
    return Connect(address_) && SecureControl();
  }
  return true;
}

bool CFtpConnection::AcceptPeer(const net::TlsPeer& peer) {
  if (certificateCheck_ ? certificateCheck_(address_, peer) : peer.trusted) return true;
  certificateRefused_ = true;
  return Break("The server's certificate was not accepted" +
               (peer.trustProblem.empty() ? std::string() : ": " + peer.trustProblem));
}

bool CFtpConnection::DataProtected() { return !controlTls_ || dataSecure_ || Fail(dataRefusal_); }

bool CFtpConnection::Login(const std::string& user, const std::string& password) {
  if (!SecureControl()) return false;
  Reply reply;
  if (!Exchange("USER", user, &reply)) return false;
  if (!reply.IsPositive()) {
    if (!reply.IsIntermediate()) return FailWithReply(reply);
    if (!Exchange("PASS", password, &reply)) return false;
    if (!reply.IsPositive()) return FailWithReply(reply);
  }
  if (controlTls_) {
    // Every data connection is encrypted too (PROT P needs PBSZ first).
    dataSecure_ =
        Exchange("PBSZ", "0", &reply) && Exchange("PROT", "P", &reply) && reply.IsPositive();
    if (!Usable()) return false;
    dataRefusal_ = "The server refused to encrypt the file's data connection (" + reply.Line() +
                   "); no file is sent in the clear over an encrypted connection";
    loggedInSecurely_ = true;
  }
  user_ = user;
  password_ = password;
  loggedIn_ = true;
  AskFeatures();
  return Usable();
}

void CFtpConnection::AskFeatures() {
  Reply reply;
  if (!Exchange("FEAT", "", &reply) || !reply.IsPositive()) return;
  server_.offersSize = Offers(reply.text, "SIZE");
  server_.offersUtf8 = Offers(reply.text, "UTF8");
  // Some servers speak UTF-8 only once asked to.
  if (server_.offersUtf8) Exchange("OPTS", "UTF8 ON", &reply);
}

bool CFtpConnection::Reconnect() {
  if (!loggedIn_ || gaveUp_ || net::StopRequested()) return false;
  const std::string reason = lastError_;
  int pause = reconnectPauseMs_;
  for (int attempt = 0; attempt < ftp::kReconnectTries; ++attempt) {
    if (!net::PauseUnlessStopped(pause)) return Fail(net::kStoppedText);
    pause = std::min(pause * 2, reconnectPauseMs_ * ftp::kReconnectPauseGrowth);
    if (Connect(address_) && Login(user_, password_) &&
        (directory_.empty() || ExchangeExpectingPositive("CWD", directory_))) {
      return true;
    }
  }
  gaveUp_ = true;
  CloseConnections();
  return Fail(reason + " (connecting again failed: " + lastError_ + ")");
}

template <class Step>
bool CFtpConnection::WithReconnect(Step step) {
  if (!control_.IsOpen() && loggedIn_ && !Reconnect()) return false;
  if (step()) return true;
  if (control_.IsOpen() || !loggedIn_ || net::StopRequested()) return false;
  return Reconnect() && step();
}

bool CFtpConnection::SetType(char type) {
  if (currentType_ == type && Usable()) return true;
  if (!ExchangeExpectingPositive("TYPE", std::string(1, type))) return false;
  currentType_ = type;
  return true;
}

bool CFtpConnection::ForServer(const std::string& name, std::string* wire) {
  // Names come in UTF-8; a server that has not said it speaks UTF-8 gets the ANSI code page, as
  // older clients on this system would send.
  if (server_.offersUtf8) {
    *wire = name;
    return true;
  }
  return Utf8ToAnsi(name, wire) ||
         Fail("The server takes no names in UTF-8, and this name has no form it can take");
}

bool CFtpConnection::SetCurrentDirectory(const std::string& name) {
  std::string directory;
  if (name.empty()) return Fail("No directory name is given");
  if (!ForServer(name, &directory)) return false;
  const bool entered = WithReconnect([&] { return ExchangeExpectingPositive("CWD", directory); });
  // Kept as a path a reconnect can enter from the login's directory.
  if (entered)
    directory_ =
        directory[0] == '/' || directory_.empty() ? directory : directory_ + "/" + directory;
  return entered;
}

bool CFtpConnection::CreateDirectory(const std::string& name) {
  std::string directory;
  if (name.empty()) return Fail("No directory name is given");
  if (!ForServer(name, &directory)) return false;
  return WithReconnect([&] { return ExchangeExpectingPositive("MKD", directory); });
}

// Every upload is binary: the flags (binary is all the caller passes) and the context are not read.
bool CFtpConnection::PutFile(const std::string& localPath, const std::string& remoteName,
                             unsigned /*flags*/, std::uintptr_t /*context*/) {
  std::string wireName;
  if (!ForServer(remoteName, &wireName)) return false;
  return WithReconnect(
      [&] { return SetType('I') && DataProtected() && Store(localPath, wireName); });
}

void CFtpConnection::Close() {
  if (control_.IsOpen() && brokenReason_.empty()) {
    const int savedTimeout = timeoutMs_;
    timeoutMs_ = timeoutMs_ < kQuitWaitMs ? timeoutMs_ : kQuitWaitMs;
    SendCommand("QUIT", "");
    timeoutMs_ = savedTimeout;
  }
  loggedIn_ = false;
  CloseConnections();
}
