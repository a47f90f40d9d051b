// The session that opens FTP connections, and the one exception the transfer stack raises: a
// connection or login that failed. Everything below reports failure by its result.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "ftp/ftp_connection.h"

// A failed connection or login. what() says what went wrong in words the user can act on.
class CInternetException : public std::runtime_error {
 public:
  explicit CInternetException(const std::string& reason) : std::runtime_error(reason) {}
};

// The user refused the server's certificate: the run ends, and there is nothing more to tell.
class CertificateRefusedException : public CInternetException {
 public:
  using CInternetException::CInternetException;
};

class CInternetSession {
 public:
  CInternetSession() = default;

  // Every network wait of the connections made from now on gives up after this long.
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // Pauses between reconnects, shortened by tests.
  void SetReconnectPause(int pauseMs) { reconnectPauseMs_ = pauseMs; }
  // Asked about every server certificate (see CFtpConnection).
  void SetCertificateCheck(CFtpConnection::CertificateCheck check) {
    certificateCheck_ = std::move(check);
  }
  // Tells which servers were seen with TLS before (see CFtpConnection).
  void SetKnownSecure(CFtpConnection::KnownSecure known) { knownSecure_ = std::move(known); }

  // Told the progress of each file as it goes out (see CFtpConnection).
  void SetProgress(CFtpConnection::Progress progress) { progress_ = std::move(progress); }

  // Connects and logs in, in active mode. server may name a port ("host:port", "[v6]:port");
  // a non-zero port applies when it names none, 0 means the protocol's default. Never returns
  // null: a failure throws CInternetException.
  std::unique_ptr<CFtpConnection> GetFtpConnection(const std::string& server,
                                                   const std::string& user,
                                                   const std::string& password, int port = 0,
                                                   bool passive = false);

 private:
  int timeoutMs_ = ftp::kDefaultTimeoutMs;
  int reconnectPauseMs_ = ftp::kReconnectPauseMs;
  CFtpConnection::CertificateCheck certificateCheck_;
  CFtpConnection::KnownSecure knownSecure_;
  CFtpConnection::Progress progress_;
};
