// The Internet classes the transfer run uses, over the program's own FTP client.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "framework/ftp_client.h"

constexpr unsigned kFtpTransferTypeAscii = 1;
constexpr unsigned kFtpTransferTypeBinary = 2;

// A failed connection or login. what() says what went wrong in words the user can act on.
class CInternetException : public std::runtime_error {
 public:
  explicit CInternetException(const std::string& reason) : std::runtime_error(reason) {}
};

class CFtpConnection {
 public:
  ~CFtpConnection();
  CFtpConnection(const CFtpConnection&) = delete;
  CFtpConnection& operator=(const CFtpConnection&) = delete;

  bool SetCurrentDirectory(const std::string& directory);
  bool CreateDirectory(const std::string& directory);
  // Stores localPath under remoteName in the current remote directory; true once the server has
  // confirmed the whole file.
  bool PutFile(const std::string& localPath, const std::string& remoteName,
               unsigned flags = kFtpTransferTypeBinary, std::uintptr_t context = 1);
  // Why the last call failed.
  const std::string& LastError() const { return client_->LastError(); }
  void Close();

 private:
  friend class CInternetSession;
  explicit CFtpConnection(std::unique_ptr<ftp::Client> client);

  std::unique_ptr<ftp::Client> client_;
};

class CInternetSession {
 public:
  CInternetSession() = default;

  // Every network wait of the connections made from now on gives up after this long.
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }

  // Connects and logs in, in active mode. server may name a port ("host:port", "[v6]:port");
  // a non-zero port applies when it names none, 0 means the protocol's default. Never returns
  // null: a failure throws CInternetException.
  std::unique_ptr<CFtpConnection> GetFtpConnection(const std::string& server,
                                                   const std::string& user,
                                                   const std::string& password, int port = 0,
                                                   bool passive = false);

 private:
  int timeoutMs_ = ftp::kDefaultTimeoutMs;
};
