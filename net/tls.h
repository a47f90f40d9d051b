// Secure connections (TLS, client side) over Windows' own Schannel, on top of the sockets in
// net/socket.h. Checking the server's certificate is left to the caller: the handshake succeeds
// for any certificate and reports what Windows thinks of it in Peer(). Like the socket layer,
// every step is bounded by a timeout and returns false on a failure, with the reason in `error`;
// nothing here throws. Native builds have no secure connections: every step fails there.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "net/socket.h"

namespace net {

// Credentials shared by every connection of one FTP session: Schannel resumes a TLS session only
// for the same credential handle and the same target name, and servers ask data connections to
// resume the control connection's session.
class TlsCredentials {
 public:
  TlsCredentials();
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Acquires the client credential now; the first handshake does it otherwise. Acquiring again
  // does nothing.
  bool Acquire(std::string* error);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the channels, which need it until they end
  friend class TlsChannel;
};

// The server's certificate as Windows sees it.
struct TlsPeer {
  std::string sha256;        // fingerprint: upper-case hex byte pairs joined by ':'
  bool trusted = false;      // Windows trusts the chain for this host name (SSL server policy)
  std::string trustProblem;  // why not, in the system's words, when !trusted
};

// One secure connection over a connected socket. The socket stays the caller's: the channel only
// keeps a pointer to it, and never closes it.
class TlsChannel {
 public:
  TlsChannel();
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Client handshake over an already connected socket, which must outlive the channel.
  // targetName is the host name as the user typed it: used for SNI, the name check, and as
  // Schannel's session-cache key. The whole handshake, certificate checks included, is bounded
  // by timeoutMs. Succeeds whatever the certificate; see Peer().
  bool Handshake(Socket& socket, TlsCredentials& credentials, const std::string& targetName,
                 int timeoutMs, std::string* error);
  const TlsPeer& Peer() const;
  // The handshake resumed an earlier session (when Schannel tells; false otherwise).
  bool Resumed() const;

  // Sends all of data, many records per socket send to keep system calls few (each one is
  // expensive under Wine). Fails if the peer takes nothing for timeoutMs; the channel is unusable
  // after any failure here, since a record may have gone out in part.
  bool Send(const char* data, std::size_t size, int timeoutMs, std::string* error);
  // Like net::Receive: *received plaintext bytes (at most size), 0 when the peer sent
  // close_notify or closed the connection; false on a failure or when nothing came within
  // timeoutMs. A timeout leaves the channel usable, a record that fails to decrypt does not.
  bool Receive(char* buffer, std::size_t size, int timeoutMs, std::size_t* received,
               std::string* error);
  // True when Receive can answer without the socket: plaintext or a complete record is held, or
  // the peer's end was seen. A caller that waits for the socket to become readable must not wait
  // then.
  bool HasBuffered() const;
  // Sends a TLS close_notify. The socket stays open; nothing can be sent afterwards, but Receive
  // still reads what the peer sends until its own close_notify.
  bool Shutdown(int timeoutMs, std::string* error);
  // The orderly end of a connection: Shutdown, the socket's sending side ended, then what the peer
  // still sends read and dropped until its close_notify or its end of the connection, all within
  // timeoutMs. A socket closed with unread bytes (a session ticket, the peer's close_notify)
  // sends a reset, which can cost the peer the end of what it received. False when the peer's
  // end did not come.
  bool Close(int timeoutMs, std::string* error);
  // A handshake succeeded, and neither Shutdown nor a failure that broke the channel came since.
  bool IsOpen() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// True where secure connections exist (Windows); false in native builds.
bool TlsAvailable();

}  // namespace net
