// Uploads: the data connection in active or passive mode, and the safe replace of the old copy.
#include <cstdint>
#include <cstdlib>

#include "files/local_file.h"
#include "ftp/ftp_connection.h"
#include "net/deadline.h"
#include "net/stop.h"

namespace {

constexpr int kDataConnectionFailed = 425;
constexpr int kTransferAborted = 426;
constexpr int kFirstPrivilegedPort = 1024;
constexpr int kSessionReuseRequired = 522;
constexpr int kCommandUnknown = 500;
constexpr int kCommandNotImplemented = 502;
// Any size a file can have (2^64 has 20 digits).
constexpr std::size_t kMaxSizeDigits = 19;
constexpr int kCommandOkay = 200;
constexpr int kSizeFollows = 213;
// How much of the file goes out between reports of progress: a moving bar within a big file,
// without a report per socket send.
constexpr std::size_t kProgressPieceBytes = 256 * 1024;
const char* const kSessionReuseText =
    "The server insists that data connections resume the TLS session of the control "
    "connection, which this computer's secure connections did not do. Turn that requirement off "
    "on the server (require_ssl_reuse=NO, TLSOptions NoSessionReuseRequired or the like)";

using Clock = std::chrono::steady_clock;

// An EPRT address carries no scope ("fe80::1%eth0" is sent as "fe80::1").
std::string WithoutScope(const std::string& address) {
  return address.substr(0, address.find('%'));
}

// The port of a 229 reply, "(|||port|)", or of a 227 reply, "(h1,h2,h3,h4,p1,p2)". The address of
// a 227 reply is not used: servers behind their own NAT often announce a private one, and a data
// connection never goes anywhere but to the server itself.
int PassivePort(const ftp::Reply& reply) {
  const std::size_t open = reply.text.find('(');
  const std::size_t close = reply.text.find(')', open);
  if (open == std::string::npos || close == std::string::npos) return 0;
  const std::string inside = reply.text.substr(open + 1, close - open - 1);
  if (reply.code == 229) {
    const std::size_t last = inside.rfind('|', inside.size() - 2);
    return inside.size() > 4 && inside.back() == '|' && last != std::string::npos
               ? std::atoi(inside.substr(last + 1).c_str())
               : 0;
  }
  int numbers[6] = {};
  std::size_t at = 0;
  for (int& number : numbers) {
    if (at > inside.size()) return 0;
    const std::size_t comma = inside.find(',', at);
    number = std::atoi(inside.substr(at, comma - at).c_str());
    if (number < 0 || number > 255) return 0;
    at = comma == std::string::npos ? inside.size() + 1 : comma + 1;
  }
  return numbers[4] * 256 + numbers[5];
}

// Derived from the target's name, so that the next run stores over whatever an interrupted one
// left (FNV-1a: the same text on every system and build). Unlike any name a user gives a file,
// and plain to an administrator who finds one left over.
std::string TemporaryName(const std::string& remoteName, const char* kind) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : remoteName) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  const char* const digits = "0123456789abcdef";
  std::string token;
  for (int shift = 60; shift >= 0; shift -= 4) token += digits[(hash >> shift) & 0xf];
  return "quillory-upload-" + token + kind + ".partial";
}

// The byte count of a "213 count" reply; false for any other reply, a bare "213" among them.
bool SizeOf(const ftp::Reply& reply, std::uint64_t* size) {
  const std::size_t first = 4;  // past "213 "
  const std::size_t end = reply.text.find_first_not_of("0123456789", first);
  const std::size_t digits = (end == std::string::npos ? reply.text.size() : end) - first;
  if (reply.code != kSizeFollows || reply.text.size() <= first || digits == 0 ||
      digits > kMaxSizeDigits ||
      (end != std::string::npos && reply.text.find_first_not_of(' ', end) != std::string::npos)) {
    return false;
  }
  *size = std::strtoull(reply.text.c_str() + first, nullptr, 10);
  return true;
}

}  // namespace

using ftp::Reply;

// The data connection of one upload, in the clear or over TLS.
struct CFtpConnection::DataChannel {
  net::Socket socket;
  std::unique_ptr<net::TlsChannel> tls;  // declared after the socket: ends before it

  bool Send(const char* data, std::size_t size, int timeoutMs, std::string* error) {
    return tls ? tls->Send(data, size, timeoutMs, error)
               : net::SendAll(socket, data, size, timeoutMs, error);
  }
  // An orderly end (with TLS, a close_notify) says the file is whole; a reset says it is not.
  void Finish(bool whole, int timeoutMs) {
    std::string ignored;
    if (whole && tls) whole = tls->Close(timeoutMs, &ignored);
    tls.reset();
    if (whole) {
      socket.Close();
    } else {
      socket.Abort();
    }
  }
};

bool CFtpConnection::SecureData(DataChannel* data) {
  if (!dataSecure_) return true;
  data->tls = std::make_unique<net::TlsChannel>();
  std::string error;
  // The same credentials and name as the control connection: servers ask data connections to
  // resume its session.
  if (!data->tls->Handshake(data->socket, tlsCredentials_, address_.host, timeoutMs_, &error)) {
    return Fail("The secure data connection failed: " + error);
  }
  // Whoever took the data connection over would read the file, or hand the server another one.
  const std::string& presented = data->tls->Peer().sha256;
  return presented == controlTls_->Peer().sha256 ||
         Fail("The data connection presented another certificate (" + presented +
              ") than the server's; the file was not sent, and the copy on the server was left as "
              "it was");
}

bool CFtpConnection::Store(const std::string& localPath, const std::string& remoteName) {
  if (!Usable()) return false;
  if (remoteName.empty()) return Fail("No remote file name is given");
  if (ftp::HasLineBreak(remoteName) || ftp::HasLineBreak(localPath)) {
    return Fail("A name that contains a line break cannot be sent to the server");
  }
  if (server_.replace == Replace::Direct) return StoreUnderRealName(localPath, remoteName);
  // 1. The temporary name, one per target: an interrupted run's leftover is stored over.
  const std::string temporary = TemporaryName(remoteName, "");
  // 2. Store the file there, unless the connection was lost after the old copy was deleted: the
  //    complete upload then goes in its place, not sent again over itself.
  if (temporary != keptUpload_ && !StoreTemporary(localPath, temporary)) return false;
  // 3. Check that the server holds every byte, while the old copy is still there to keep.
  Reply size;
  if (server_.offersSize && !AskSize(temporary, &size)) return false;
  if (!SizeMatches(size)) {
    GiveUp(temporary);
    return false;
  }
  // 4. Put it in the old copy's place; the next upload's port goes along.
  const Placed placed = PutInPlace(temporary, remoteName);
  if (placed != Placed::NoRenaming) return placed == Placed::Done;
  // 5. A server that renames nothing takes files under their real name only.
  server_.replace = Replace::Direct;
  Remove(temporary);
  return StoreUnderRealName(localPath, remoteName);
}

bool CFtpConnection::StoreTemporary(const std::string& localPath, const std::string& temporary) {
  dataFailed_ = false;
  const Sent sent = UploadInEitherMode(localPath, temporary, true);
  if (net::StopRequested()) return Abandon(temporary);
  if (sent == Sent::Refused) {
    // Not taken for a server that allows no temporary names: 553 also stands for a full disk,
    // where storing under the real name would cut the old copy short. Whatever an interrupted
    // run left under the temporary name goes, so the next run starts clean.
    Fail("The server refused the temporary file " + temporary + " (" + lastError_ + ")");
    GiveUp(temporary);
    return false;
  }
  if (sent == Sent::Done) return true;
  if (control_.IsOpen()) Remove(temporary);
  return false;
}

bool CFtpConnection::StoreUnderRealName(const std::string& localPath,
                                        const std::string& remoteName) {
  dataFailed_ = false;
  const Sent sent = UploadInEitherMode(localPath, remoteName, false);
  // Stopped: what reached the real name stays, there is nothing of ours to remove.
  if (net::StopRequested()) return Abandon("");
  if (sent != Sent::Done) return false;
  if (!server_.offersSize) return true;
  Reply size;
  if (!AskSize(remoteName, &size)) return false;
  return SizeMatches(size) ||
         Fail(lastError_ +
              "; this server takes files under their real name only, so the copy "
              "there is not whole");
}

CFtpConnection::Sent CFtpConnection::UploadInEitherMode(const std::string& localPath,
                                                        const std::string& name, bool temporary) {
  Sent sent = Upload(localPath, name);
  if (sent != Sent::NoPortMode || server_.passive) return sent;
  // Behind NAT the server cannot reach us: passive mode from here on.
  const std::string activeError = lastError_;
  server_.passive = true;
  if (!control_.IsOpen()) {
    if (!Reconnect()) return Sent::Lost;
    // The session given up on may keep its temporary file locked until its own wait for us
    // ends (vsftpd: a minute); a file made anew under that name is not the one it holds.
    if (temporary) Remove(name);
  }
  sent = Upload(localPath, name);
  if (sent != Sent::NoPortMode) return sent;
  // Nor can we reach it: active mode stays, and this file fails for the first reason.
  server_.passive = false;
  return FailedWith(activeError);
}

bool CFtpConnection::Abandon(const std::string& temporary) {
  // Nothing is renamed: the old copy stays. ABOR makes a server that still takes the file give it
  // up now (a slow one may not look at the broken data connection for seconds); the temporary
  // file goes; NOOP's answer marks the end of the replies, however many the server gave.
  // A connection a stop cut short in a wait still takes them: the server runs them in turn once
  // the step it is on ends, even after our grace is over.
  if (control_.IsOpen() && SendLines(CommandLine("ABOR", "") +
                                     (temporary.empty() ? "" : CommandLine("DELE", temporary)) +
                                     CommandLine("NOOP", ""))) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ftp::kStopGraceMs);
    Reply reply;
    while (ReadReply(&reply, deadline) && reply.code != kCommandOkay) {
    }
  }
  dataFailed_ = false;
  return Fail(net::kStoppedText);
}

CFtpConnection::Placed CFtpConnection::PutInPlace(const std::string& temporary,
                                                  const std::string& remoteName) {
  if (server_.replace == Replace::DeleteThenRename) return DeleteThenRename(temporary, remoteName);
  // Both halves of the rename travel together: a refused RNFR only turns its RNTO into a refusal.
  Reply from;
  Reply to;
  if (!Usable() || !RenameTo(remoteName, &to, CommandLine("RNFR", temporary), &from, 1)) {
    return Placed::Failed;
  }
  if (from.code == kCommandUnknown || from.code == kCommandNotImplemented) {
    return Placed::NoRenaming;
  }
  if (!from.IsIntermediate()) return FailWithReply(from), GiveUp(temporary);
  if (to.IsPositive()) return Placed::Done;
  if (!RefusesOnlyRenameOver(temporary, remoteName)) return FailWithReply(to), GiveUp(temporary);
  server_.replace = Replace::DeleteThenRename;
  return DeleteThenRename(temporary, remoteName);
}

bool CFtpConnection::RefusesOnlyRenameOver(const std::string& temporary,
                                           const std::string& remoteName) {
  // Whether the target exists (where the server tells sizes), and whether the upload can be
  // renamed to a new name of ours and back, in one round trip. That name is cleared first: a try
  // that was interrupted may have left it, and this server renames onto no existing file.
  const std::string aside = TemporaryName(remoteName, "-renamed");
  const std::string lines = (server_.offersSize ? CommandLine("SIZE", remoteName) : "") +
                            CommandLine("DELE", aside) + CommandLine("RNFR", temporary) +
                            CommandLine("RNTO", aside) + CommandLine("RNFR", aside) +
                            CommandLine("RNTO", temporary);
  Reply exists;
  Reply replies[5];
  if (!SendLines(lines) || (server_.offersSize && !ReadFinalReply(&exists))) return false;
  for (Reply& reply : replies) {
    if (!ReadFinalReply(&reply)) return false;
  }
  const bool there = replies[2].IsPositive();
  const bool back = replies[4].IsPositive();
  if (there && !back) Remove(aside);
  return (!server_.offersSize || exists.code == kSizeFollows) && there && back;
}

CFtpConnection::Placed CFtpConnection::DeleteThenRename(const std::string& temporary,
                                                        const std::string& remoteName) {
  // The delete and both halves of the rename travel together: a refused RNFR only turns its RNTO
  // into a refusal too.
  Reply earlier[2];  // DELE, RNFR
  Reply to;
  if (!Usable()) return Placed::Failed;
  const bool renamed =
      RenameTo(remoteName, &to, CommandLine("DELE", remoteName) + CommandLine("RNFR", temporary),
               earlier, 2);
  if (earlier[0].IsPositive()) keptUpload_ = temporary;
  if (!renamed) return Placed::Failed;
  const Reply& from = earlier[1];
  if (from.IsIntermediate() && to.IsPositive()) {
    keptUpload_.clear();
    return Placed::Done;
  }
  FailWithReply(from.IsIntermediate() ? to : from);
  return GiveUp(temporary);
}

bool CFtpConnection::RenameTo(const std::string& remoteName, Reply* reply,
                              const std::string& before, Reply* earlier, int earlierCount) {
  // The next upload's port goes with the rename, so that upload starts without a wait: our
  // listening port in active mode, the server's in passive mode.
  const bool armPort = !server_.passive && !server_.fixedDataPort && dataListener_.socket.IsOpen();
  const bool armPassive = server_.passive && !server_.noEpsv;
  const std::string port = armPort      ? CommandLine(dataPortVerb_, dataPortArgument_)
                           : armPassive ? CommandLine("EPSV", "")
                                        : "";
  if (!SendLines(before + CommandLine("RNTO", remoteName) + port)) return false;
  for (int i = 0; i < earlierCount; ++i) {
    if (!ReadFinalReply(&earlier[i])) return false;
  }
  if (!ReadFinalReply(reply)) return false;
  Reply portReply;
  if ((armPort || armPassive) && !ReadFinalReply(&portReply)) return false;
  portArmed_ = armPort && portReply.IsPositive();
  passivePort_ = armPassive && portReply.code == 229 ? PassivePort(portReply) : 0;
  return true;
}

bool CFtpConnection::SizeMatches(const Reply& size) {
  std::uint64_t kept = 0;
  if (!SizeOf(size, &kept) || kept == bytesSent_) return true;
  return Fail("The server kept " + std::to_string(kept) + " of " + std::to_string(bytesSent_) +
              " bytes");
}

CFtpConnection::Placed CFtpConnection::GiveUp(const std::string& temporary) {
  if (temporary == keptUpload_) {
    // The old copy is gone: the complete upload is all there is of the file, so it stays.
    Fail("The old copy was deleted, but the server did not rename the new one into its place (" +
         lastError_ + "); the complete file was left on the server as " + temporary);
    return Placed::Failed;
  }
  Remove(temporary);
  Fail(lastError_ + "; the old copy was left as it was");
  return Placed::Failed;
}

void CFtpConnection::Remove(const std::string& name) {
  const std::string error = lastError_;
  Reply reply;
  Exchange("DELE", name, &reply);
  lastError_ = error;
}

CFtpConnection::Sent CFtpConnection::Upload(const std::string& localPath, const std::string& name) {
  const Sent sent = SendOverDataConnection(localPath, name);
  // Some servers connect as soon as they have the port, others late for a transfer that failed;
  // a fresh port for the next file keeps such a connection from being taken for it.
  if (sent != Sent::Done || server_.fixedDataPort) CloseListener();
  return sent;
}

CFtpConnection::Sent CFtpConnection::SendOverDataConnection(const std::string& localPath,
                                                            const std::string& name) {
  LocalFile file;
  DataChannel data;
  bool early = false;
  const Sent started = StartUpload(localPath, name, &file, &data, &early);
  if (started != Sent::Done) return started;
  std::string readError;
  std::string sendError;
  const bool sent = SendFile(file, data, &readError, &sendError);
  dataFailed_ = dataFailed_ || !sendError.empty();
  data.Finish(sent, timeoutMs_);
  file.Close();
  // The server's answer to a file given up on is read with the rest of the stop's replies.
  if (!sent && net::StopRequested()) return Sent::Failed;
  // The size check's question goes out with the end of the data: both answers come in one round
  // trip.
  const bool sizeAsked = sent && server_.offersSize && SendCommand("SIZE", name);
  bool wentAhead = !early;
  Reply reply;
  const bool answered = ReadTransferAnswer(&reply, &wentAhead, sizeAsked ? name : "");
  // Without a go-ahead, a negative answer is the server's refusal of the STOR itself.
  if (answered && !wentAhead && !reply.IsPositive()) return Refusal(reply);
  if (!readError.empty()) {
    Fail("Reading the local file failed: " + readError);
    return answered ? Sent::Failed : Sent::Lost;
  }
  if (!answered) {
    if (!sendError.empty()) Fail("Sending the file failed: " + sendError);
    return Sent::Lost;
  }
  if (SessionReuseRefused(reply)) return Sent::Failed;
  // The data connection was ours and broke: the server's answer to that says no more.
  if (!sendError.empty()) return FailedWith("Sending the file failed: " + sendError);
  if (reply.IsPositive()) return Sent::Done;
  FailWithReply(reply);
  return reply.code == kTransferAborted && !server_.passive ? Sent::NoPortMode : Sent::Failed;
}

CFtpConnection::Sent CFtpConnection::StartUpload(const std::string& localPath,
                                                 const std::string& name, LocalFile* file,
                                                 DataChannel* data, bool* early) {
  // The local file is opened before STOR: a file that cannot be read must not leave an empty
  // copy on the server. In active mode it is opened while the server answers the port.
  std::string openError;
  if (server_.passive) {
    if (!file->Open(localPath, &openError)) return FailedWith(openError);
    const Sent connected = ConnectPassive(data);
    if (connected != Sent::Done) return connected;
  } else {
    const bool armed = portArmed_ && dataListener_.socket.IsOpen();
    portArmed_ = false;
    if (!armed && (!OpenDataListener() || !SendCommand(dataPortVerb_, dataPortArgument_))) {
      return Sent::Lost;
    }
    const bool opened = file->Open(localPath, &openError);
    Reply reply;
    if (!armed && !ReadFinalReply(&reply)) return Sent::Lost;
    if (!armed && !reply.IsPositive()) {
      FailWithReply(reply);
      return reply.code >= 500 ? Sent::NoPortMode : Sent::Failed;
    }
    if (!opened) return FailedWith(openError);
  }
  if (!SendCommand("STOR", name)) return Sent::Lost;
  // A plain passive upload does not wait for the go-ahead: the connection is ours already, and
  // what is sent early waits in it until the server reads. TLS must wait, as the server starts
  // its side of the handshake only then.
  *early = server_.passive && !dataSecure_;
  const Sent started = *early            ? Sent::Done
                       : server_.passive ? AwaitGoAhead()
                                         : AcceptDataConnection(data);
  if (started != Sent::Done || SecureData(data)) return started;
  dataFailed_ = true;
  data->Finish(false, timeoutMs_);
  Reply answer;
  if (!ReadFinalReply(&answer)) return Sent::Lost;
  SessionReuseRefused(answer);
  return Sent::Failed;
}

bool CFtpConnection::ReadTransferAnswer(Reply* reply, bool* wentAhead, const std::string& sized) {
  sizeAhead_ = Reply();
  if (!ReadFinalReply(reply, wentAhead)) return false;
  if (sized.empty()) return true;
  Reply second;
  if (!ReadFinalReply(&second, wentAhead)) return false;
  // A server that answers the size while it still writes the file (or refuses to then) comes
  // first with that answer, which says nothing: the size is asked again once the file is whole.
  const bool sizeFirst =
      reply->code == kSizeFollows ||
      (!reply->IsPositive() && second.IsPositive() && second.code != kSizeFollows);
  if (sizeFirst) {
    *reply = second;
  } else {
    sizeAhead_ = second;
    sizeAheadOf_ = sized;
  }
  return true;
}

bool CFtpConnection::AskSize(const std::string& name, Reply* size) {
  const bool answered = sizeAhead_.code != 0 && sizeAheadOf_ == name;
  if (answered) *size = sizeAhead_;
  sizeAhead_ = Reply();
  return answered || Exchange("SIZE", name, size);
}

CFtpConnection::Sent CFtpConnection::FailedWith(const std::string& reason) {
  Fail(reason);
  return Sent::Failed;
}

bool CFtpConnection::SessionReuseRefused(const Reply& reply) {
  return reply.code == kSessionReuseRequired && !Fail(kSessionReuseText);
}

CFtpConnection::Sent CFtpConnection::Refusal(const Reply& reply) {
  if (SessionReuseRefused(reply)) return Sent::Failed;
  FailWithReply(reply);
  if (!control_.IsOpen()) return Sent::Lost;
  if (reply.code == kDataConnectionFailed || reply.code == kTransferAborted) {
    dataFailed_ = true;
    return server_.passive ? Sent::Failed : Sent::NoPortMode;
  }
  if (reply.IsPositive()) Fail("The server ended the transfer before it began: " + reply.Line());
  return reply.code >= 500 ? Sent::Refused : Sent::Failed;
}

CFtpConnection::Sent CFtpConnection::AwaitGoAhead() {
  Reply reply;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  if (!ReadReply(&reply, deadline)) return Sent::Lost;
  return reply.IsPreliminary() ? Sent::Done : Refusal(reply);
}

CFtpConnection::Sent CFtpConnection::AcceptDataConnection(DataChannel* channel) {
  net::Socket* data = &channel->socket;
  const int wait = timeoutMs_ < ftp::kActiveConnectWaitMs ? timeoutMs_ : ftp::kActiveConnectWaitMs;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait);
  const Clock::time_point replyDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  for (;;) {
    if (!parser_.HasReply() && !ControlHeld()) {
      // Most servers connect before they send the go-ahead, so the connection is usually
      // waiting already and is taken without a wait.
      net::Accepted taken;
      std::string error = net::kTimedOutText;
      if (!net::AcceptWaiting(dataListener_.socket, &taken, &error)) {
        return Break("The data connection failed: " + error), Sent::Lost;
      }
      if (taken.socket.IsOpen() && !peerAddress_.empty() && taken.peerAddress != peerAddress_) {
        // Only the server may deliver the file's data; anyone else is turned away.
        taken.socket.Abort();
        continue;
      }
      if (taken.socket.IsOpen()) {
        // Port 20, the control port less one (the protocol's default), or the same port twice:
        // the server connects from a fixed port.
        if (taken.peerPort < kFirstPrivilegedPort || taken.peerPort == address_.port - 1 ||
            taken.peerPort == lastDataPeerPort_) {
          server_.fixedDataPort = true;
        }
        lastDataPeerPort_ = taken.peerPort;
        *data = std::move(taken.socket);
        return Sent::Done;
      }
      const int left = net::MillisecondsUntil(deadline);
      int ready = -1;
      if (left <= 0 || !net::WaitReadable(dataListener_.socket, control_, left, &ready, &error)) {
        // The server may still be trying: the control connection is out of step from here.
        dataFailed_ = true;
        Break("The server did not open the data connection: " + error);
        return Sent::NoPortMode;
      }
      if (ready == 0) continue;
    }
    Reply reply;
    if (!ReadReply(&reply, replyDeadline)) return Sent::Lost;
    if (!reply.IsPreliminary()) return Refusal(reply);
  }
}

CFtpConnection::Sent CFtpConnection::ConnectPassive(DataChannel* data) {
  Reply reply;
  int port = passivePort_;
  passivePort_ = 0;
  if (port == 0 && !server_.noEpsv) {
    if (!Exchange("EPSV", "", &reply)) return Sent::Lost;
    if (reply.code == 229) port = PassivePort(reply);
    // A server that does not know EPSV may still know PASV (IPv4 only).
    server_.noEpsv = port == 0 && reply.code >= 500;
  }
  if (port == 0 && server_.noEpsv && peerAddress_.find(':') == std::string::npos) {
    if (!Exchange("PASV", "", &reply)) return Sent::Lost;
    if (reply.code == 227) port = PassivePort(reply);
  }
  if (port <= 0 || port > 65535) {
    FailWithReply(reply);
    return Sent::NoPortMode;
  }
  std::string error;
  if (!net::Connect(peerAddress_, port, timeoutMs_, &data->socket, &error)) {
    dataFailed_ = true;
    return FailedWith("Could not open the data connection: " + error);
  }
  return Sent::Done;
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

bool CFtpConnection::SendFile(LocalFile& file, DataChannel& data, std::string* readError,
                              std::string* sendError) {
  if (buffer_.empty()) buffer_.resize(ftp::kTransferBufferBytes);
  bytesSent_ = 0;
  // Silence is bounded by each send's timeout; a trickle by this floor over the same time.
  const net::SendPaceFloor floor(
      static_cast<std::uint64_t>(timeoutMs_) * ftp::kMinimumBytesPerSecond / 1000, timeoutMs_);
  if (progress_) progress_(0);
  for (;;) {
    const long got = file.Read(buffer_.data(), buffer_.size(), readError);
    if (got < 0) return false;
    if (got == 0) return true;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
      const std::size_t left = static_cast<std::size_t>(got) - at;
      const std::size_t piece =
          progress_ && left > kProgressPieceBytes ? kProgressPieceBytes : left;
      if (!data.Send(buffer_.data() + at, piece, timeoutMs_, sendError)) return false;
      at += piece;
      bytesSent_ += piece;
      if (progress_) progress_(bytesSent_);
    }
  }
}
