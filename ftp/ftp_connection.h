// The FTP client: login, binary type, change and make directory, and safe uploads, over the socket
// layer in net/, so the same protocol code runs on Windows and natively. Steps return false with
// the reason in LastError(); only CInternetSession turns a failure into an exception.
//
// What a backup meets on real networks is handled here, once for every caller: an upload goes to
// a temporary name and replaces the old copy only when complete; a connection lost after the
// login is made again and the interrupted step repeated; active mode gives way to passive mode
// when the server cannot reach us; every wait has a limit the server cannot stretch.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_reply.h"
#include "net/socket.h"
#include "net/tls.h"

class LocalFile;

namespace ftp {

constexpr int kDefaultTimeoutMs = 60000;
// How long the server has to open an active-mode data connection before passive mode is tried.
constexpr int kActiveConnectWaitMs = 10000;
// Reconnects after a lost connection, and the pause before the first; each later pause doubles,
// up to kReconnectPauseGrowth times the first (3 s to a minute: a Wi-Fi or VPN blip of a minute
// does not fail the rest of the run).
constexpr int kReconnectTries = 5;
constexpr int kReconnectPauseMs = 3000;
// A certificate question answered later than this (a daily run, nobody at the desk) is followed
// by a connection made anew: the server may have given up on the one that waited.
constexpr int kStaleAnswerMs = 30000;
constexpr int kReconnectPauseGrowth = 20;
// TCP keepalive on the control connection, which idles while a big file goes out: home routers
// drop idle connections after a few minutes.
constexpr int kKeepAliveSeconds = 60;
// A data connection must move at least this many bytes a second, averaged over each timeout.
constexpr int kMinimumBytesPerSecond = 1024;
// After a stop, how long the server has for the replies that remove the file in flight.
constexpr int kStopGraceMs = 1000;
// Large chunks keep the number of system calls per file low, which counts where each one is
// expensive (Wine); a few MiB is the whole memory cost, the file itself is never held whole.
constexpr std::size_t kTransferBufferBytes = 4 * 1024 * 1024;

}  // namespace ftp

constexpr unsigned kFtpTransferTypeBinary = 2;

// Windows' headers turn these names into macros (SetCurrentDirectoryA, ...); dropping them here
// keeps the members' names in a file that includes <windows.h> before this header (include it
// first).
#undef SetCurrentDirectory
#undef CreateDirectory

class CFtpConnection {
 public:
  explicit CFtpConnection(int timeoutMs = ftp::kDefaultTimeoutMs);
  ~CFtpConnection();
  CFtpConnection(const CFtpConnection&) = delete;
  CFtpConnection& operator=(const CFtpConnection&) = delete;

  // Every wait (connect, each final reply, data that stops moving) gives up after this long.
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // The pause before each reconnect (shortened by tests).
  void SetReconnectPause(int pauseMs) { reconnectPauseMs_ = pauseMs; }
  // Asked about every server certificate, before anything of the login is sent; false ends the
  // connection. Without one, certificates Windows does not trust are refused.
  using CertificateCheck =
      std::function<bool(const ftp::ServerAddress& server, const net::TlsPeer& peer)>;
  void SetCertificateCheck(CertificateCheck check) { certificateCheck_ = std::move(check); }
  // Whether a server was seen with TLS before: a bare host then requires it, so that someone on
  // the path cannot get the login in the clear by hiding the server's AUTH TLS.
  using KnownSecure = std::function<bool(const ftp::ServerAddress& server)>;
  void SetKnownSecure(KnownSecure known) { knownSecure_ = std::move(known); }
  // Told the bytes of the file in flight that went out so far, as they go.
  using Progress = std::function<void(std::uint64_t bytesOfFile)>;
  void SetProgress(Progress progress) { progress_ = std::move(progress); }

  // Connects and reads the greeting.
  bool Connect(const ftp::ServerAddress& address);
  // AUTH TLS unless the address says plain FTP, then USER, then PASS unless the server accepted
  // the user alone (empty texts are sent as empty), then PBSZ and PROT on a secure connection,
  // and FEAT. TLS is required for ftpes://, for a server known to have used it, and on every
  // reconnect after a secure login; a refused PROT P fails each file instead of sending it.
  bool Login(const std::string& user, const std::string& password);
  // 'I' (binary) or 'A' (text).
  bool SetType(char type);
  // False when the directory does not exist or cannot be entered, and when the connection is
  // lost and cannot be made again (IsConnected() then says which).
  bool SetCurrentDirectory(const std::string& directory);
  bool CreateDirectory(const std::string& directory);
  // Stores a local file under remoteName in the current remote directory. True only after the
  // server has confirmed the whole file under its real name; until then an older copy of that
  // name stays as it was. The one exception is a server that renames onto no existing file: there
  // the old copy is deleted just before the rename, and should the rename still be refused, the
  // complete upload stays under its temporary name, which LastError() names.
  bool PutFile(const std::string& localPath, const std::string& remoteName,
               unsigned flags = kFtpTransferTypeBinary, std::uintptr_t context = 1);
  // Says goodbye and closes the connection without waiting for the answer: a server may finish
  // writing the last file before it reads the goodbye.
  void Close();

  bool IsConnected() const { return control_.IsOpen(); }
  bool IsPassive() const { return server_.passive; }
  bool IsSecure() const { return controlTls_ != nullptr; }
  // The server opens data connections from a fixed port, so each upload gets a port of its own.
  bool HasFixedDataPort() const { return server_.fixedDataPort; }
  // The certificate was refused (by the check, or for want of one): no login was sent.
  bool CertificateRefused() const { return certificateRefused_; }
  // The last PutFile failed for its data connection (it could not be opened, or broke, or
  // trickled), not for the server's refusal or the local file.
  bool DataConnectionFailed() const { return dataFailed_; }
  // Why the last step failed, fit for the user: the server's reply or the system's text.
  const std::string& LastError() const { return lastError_; }
  // The last reply read (code 0 when the last step failed before a reply came).
  const ftp::Reply& LastReply() const { return lastReply_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct DataChannel;
  // How an upload to one name ended.
  enum class Sent {
    Done,
    Refused,     // the server refused the STOR itself
    NoPortMode,  // the server refused PORT/EPRT or could not open the data connection
    Failed,      // the file failed; the connection is still in step
    Lost,        // the control connection is gone or out of step
  };
  // What is done with a complete upload, learnt from the server once per connection and only
  // from replies that can mean nothing else: a refusal to rename onto an existing file while a
  // rename onto a new name works (DeleteThenRename), or RNFR not understood at all (Direct).
  enum class Replace { RenameOver, DeleteThenRename, Direct };
  // How putting a complete upload in the old copy's place ended.
  enum class Placed { Done, Failed, NoRenaming };

  bool Fail(const std::string& reason);
  bool FailWithReply(const ftp::Reply& reply);
  // The control connection is no longer in step with the server: every later step fails.
  bool Break(const std::string& reason);
  bool Usable();
  bool SendCommand(const std::string& verb, const std::string& argument);
  static std::string CommandLine(const std::string& verb, const std::string& argument);
  // Sends one or more whole command lines in one piece (arguments already checked).
  bool SendLines(const std::string& lines);
  bool ReceiveControl(char* buffer, std::size_t size, int timeoutMs, std::size_t* received,
                      std::string* error);
  // A reply is waiting in the TLS layer, where no wait on the socket would see it.
  bool ControlHeld() const { return controlTls_ && controlTls_->HasBuffered(); }
  bool SecureControl();
  bool RequiresTls();
  bool AcceptPeer(const net::TlsPeer& peer);
  // False, with the reason, when the control connection is encrypted and its data would not be.
  bool DataProtected();
  bool SecureData(DataChannel* data);
  bool ReadReply(ftp::Reply* reply, Clock::time_point deadline);
  bool ReadFinalReply(ftp::Reply* reply, bool* sawPreliminary = nullptr);
  bool Exchange(const std::string& verb, const std::string& argument, ftp::Reply* reply);
  bool ExchangeExpectingPositive(const std::string& verb, const std::string& argument);
  void CloseConnections();
  void AskFeatures();
  // The form of a UTF-8 name that this server takes; false when it can take none.
  bool ForServer(const std::string& name, std::string* wire);
  // After a lost connection: connect, log in and enter the directory again.
  bool Reconnect();
  // Runs step; when it fails because the connection was lost, reconnects and runs it once more.
  template <class Step>
  bool WithReconnect(Step step);

  // The safe replace of one file, step by step.
  bool Store(const std::string& localPath, const std::string& remoteName);
  // Its upload to the temporary name; after a failure or a stop, nothing of it is left behind.
  bool StoreTemporary(const std::string& localPath, const std::string& temporary);
  // Stores under the real name, for a server that renames nothing.
  bool StoreUnderRealName(const std::string& localPath, const std::string& remoteName);
  // One upload, in passive mode when the server cannot reach us in active mode.
  Sent UploadInEitherMode(const std::string& localPath, const std::string& name, bool temporary);
  // After a stop: the upload in flight is given up on.
  bool Abandon(const std::string& temporary);
  // One upload in the current mode; the data port is given up after a failure.
  Sent Upload(const std::string& localPath, const std::string& name);
  Sent SendOverDataConnection(const std::string& localPath, const std::string& name);
  // Opens the local file and the data connection and sends STOR; Done when the data may go.
  // early: sent without waiting for the go-ahead.
  Sent StartUpload(const std::string& localPath, const std::string& name, LocalFile* file,
                   DataChannel* data, bool* early);
  // The STOR's final answer, and with sized (the name whose size was asked as the data ended) the
  // size's too, kept for AskSize when it came after the transfer's.
  bool ReadTransferAnswer(ftp::Reply* reply, bool* wentAhead, const std::string& sized);
  // The size of a name on the server: the answer that came with the transfer's, or asked now.
  bool AskSize(const std::string& name, ftp::Reply* size);
  Sent FailedWith(const std::string& reason);
  // What a negative (or early positive) answer to STOR means for the upload.
  Sent Refusal(const ftp::Reply& reply);
  // A 522 (data connections must resume the TLS session): the reason is set and true returned.
  bool SessionReuseRefused(const ftp::Reply& reply);
  bool OpenDataListener();
  // Gives up the data port of either mode that was made ready for the next upload.
  void CloseListener() {
    dataListener_.socket.Close();
    portArmed_ = false;
    passivePort_ = 0;
  }
  Sent AcceptDataConnection(DataChannel* data);
  Sent ConnectPassive(DataChannel* data);
  Sent AwaitGoAhead();
  bool SendFile(LocalFile& file, DataChannel& data, std::string* readError, std::string* sendError);
  // Renames the complete upload over the old copy, learning how the server lets that be done.
  Placed PutInPlace(const std::string& temporary, const std::string& remoteName);
  Placed DeleteThenRename(const std::string& temporary, const std::string& remoteName);
  // Whether a refused rename onto remoteName was a refusal to replace an existing file.
  bool RefusesOnlyRenameOver(const std::string& temporary, const std::string& remoteName);
  // The rename's second half, with the next upload's port; the commands in before (whole lines)
  // travel ahead of it, their replies read into earlier.
  bool RenameTo(const std::string& remoteName, ftp::Reply* reply, const std::string& before = "",
                ftp::Reply* earlier = nullptr, int earlierCount = 0);
  // False, with the reason, when the server holds another number of bytes than were sent; a
  // reply without a number checks nothing.
  bool SizeMatches(const ftp::Reply& size);
  // Removes the upload after a failure that left the old copy as it was, and says so; an upload
  // whose old copy is gone stays, named in the reason.
  Placed GiveUp(const std::string& temporary);
  // Deletes a name; the result does not matter and the last error stays.
  void Remove(const std::string& name);

  int timeoutMs_;
  int reconnectPauseMs_ = ftp::kReconnectPauseMs;
  CertificateCheck certificateCheck_;
  KnownSecure knownSecure_;
  Progress progress_;
  bool dataFailed_ = false;
  net::Socket control_;
  net::TlsCredentials tlsCredentials_;
  std::unique_ptr<net::TlsChannel> controlTls_;
  bool dataSecure_ = false;
  // Why data connections stay unencrypted on an encrypted control connection (PROT P refused).
  std::string dataRefusal_;
  // The run's first login was over TLS: every reconnect requires it.
  bool loggedInSecurely_ = false;
  bool certificateRefused_ = false;
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

  // Kept for reconnects.
  ftp::ServerAddress address_;
  std::string user_;
  std::string password_;
  std::string directory_;
  bool loggedIn_ = false;
  bool gaveUp_ = false;

  // What this server offers and how it wants an upload done, learnt once per connection from
  // replies that can mean only one thing; every step that depends on the server reads it here.
  struct ServerWays {
    bool offersSize = false;
    bool offersUtf8 = false;
    bool passive = false;  // it cannot reach us: passive mode
    bool noEpsv = false;   // it knows PASV only
    // It opens data connections from a fixed port (20): a new listening port per file, so no
    // connection reuses the address pair of one still in TIME_WAIT.
    bool fixedDataPort = false;
    Replace replace = Replace::RenameOver;
  };
  ServerWays server_;
  int lastDataPeerPort_ = 0;
  // The temporary name of a complete upload whose old copy was deleted but that is not yet in its
  // place: it is never deleted nor sent again.
  std::string keptUpload_;
  // The server already has the listening port for the next upload (sent with the last rename).
  bool portArmed_ = false;
  // Likewise in passive mode: the port the server opened for the next upload, 0 when none.
  int passivePort_ = 0;
  std::uint64_t bytesSent_ = 0;
  // The answer to the size asked as the last upload's data ended (code 0 when none), and its name.
  ftp::Reply sizeAhead_;
  std::string sizeAheadOf_;
};
