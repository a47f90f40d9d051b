#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/tls.h"

namespace {

constexpr int kWaitMs = 30000;
constexpr int kShortWaitMs = 1500;
// A timeout may end this much late: Wine's scheduling, not the channel, is slow here.
constexpr int kLateMs = 2000;
const char kPython[] = "Z:\\usr\\bin\\python3";
const char kHostName[] = "localhost";

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Sha256Hex(const std::string& data) {
  BYTE hash[32];
  DWORD length = sizeof hash;
  if (!CryptHashCertificate2(L"SHA256", 0, nullptr, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size()), hash, &length)) {
    return "hash failed";
  }
  std::string hex;
  for (DWORD i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", hash[i]);
    hex += pair;
  }
  return hex;
}

std::string RandomBytes(std::size_t count) {
  std::mt19937 generator(static_cast<unsigned>(count));
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// A plain listening socket on 127.0.0.1; connections to it complete without accept().
struct Listener {
  net::Socket socket;
  int port = 0;
  Listener() {
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    socket = net::Socket(static_cast<net::SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const SOCKET raw = static_cast<SOCKET>(socket.Handle());
    if (bind(raw, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(raw, 8) == 0 &&
        getsockname(raw, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  net::Socket Accept(int timeoutMs) {
    const SOCKET raw = static_cast<SOCKET>(socket.Handle());
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(raw, &ready);
    timeval limit{timeoutMs / 1000, 0};
    if (select(0, &ready, nullptr, nullptr, &limit) != 1) return net::Socket();
    return net::Socket(static_cast<net::SocketHandle>(accept(raw, nullptr, nullptr)));
  }
};

// tests/servers/tls_echo.py. Wine starts a Unix program from CreateProcess but gives it none of
// our pipes, so the server calls back on a socket and reports there; it ends when that closes.
class EchoServer {
 public:
  explicit EchoServer(bool withTestRoot) {
    Listener callback;
    std::string command = std::string(kPython) + " " + QUILLORY_SOURCE_DIR +
                          "/tests/servers/tls_echo.py --report-port " +
                          std::to_string(callback.port) + (withTestRoot ? " --ca" : "");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      ADD_FAILURE() << "cannot start " << command << ": " << GetLastError();
      return;
    }
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    report_ = callback.Accept(kWaitMs);
    if (withTestRoot) testRoot = Next("CA");
    fingerprint = Next("FINGERPRINT");
    port = std::stoi("0" + Next("PORT"));
  }

  // The rest of the next report line, which must start with `word`.
  std::string Next(const std::string& word) {
    std::string error;
    std::size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
      char piece[4096];
      std::size_t got = 0;
      if (!net::Receive(report_, piece, sizeof piece, kWaitMs, &got, &error) || got == 0) {
        ADD_FAILURE() << "no report " << word << " from the server: " << error;
        return {};
      }
      pending_.append(piece, got);
    }
    const std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    EXPECT_EQ(line.substr(0, word.size() + 1), word + " ");
    return line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
  }

  std::string testRoot;  // base64 DER
  std::string fingerprint;
  int port = 0;

 private:
  net::Socket report_;
  std::string pending_;
};

// A connected channel to `port`, its handshake done.
struct Client {
  net::Socket socket;
  net::TlsChannel channel;
  std::string error;
  Client(int port, net::TlsCredentials& credentials, const std::string& name = kHostName) {
    EXPECT_TRUE(net::Connect("127.0.0.1", port, kWaitMs, &socket, &error)) << error;
    EXPECT_TRUE(channel.Handshake(socket, credentials, name, kWaitMs, &error)) << error;
    // The greeting came in with the handshake's last message: held, not lost.
    EXPECT_TRUE(channel.HasBuffered());
    EXPECT_EQ(Line(), "HELLO");
  }

  bool Send(const std::string& data) {
    return channel.Send(data.data(), data.size(), kWaitMs, &error);
  }

  // One byte per call: most of every record stays held between calls.
  std::string Line() {
    std::string line;
    char c;
    std::size_t got = 0;
    while (channel.Receive(&c, 1, kWaitMs, &got, &error) && got == 1 && c != '\n') line += c;
    return line;
  }
};

// First in this file: the roots are read when the process builds its first chain, so the test
// root must be written through to the store before any handshake.
TEST(TlsChannel, TrustsTestRootOnlyForTheNameItCertifies) {
  EchoServer server(true);
  std::vector<BYTE> der(server.testRoot.size());
  DWORD length = static_cast<DWORD>(der.size());
  ASSERT_TRUE(CryptStringToBinaryA(server.testRoot.c_str(), 0, CRYPT_STRING_BASE64, der.data(),
                                   &length, nullptr, nullptr));
  HCERTSTORE roots = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(roots, nullptr);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der.data(), length,
                                               CERT_STORE_ADD_REPLACE_EXISTING, &added));
  // Written through now, where the chain engine reads its roots from.
  CertControlStore(roots, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  net::TlsCredentials credentials;
  {
    Client trusted(server.port, credentials);
    EXPECT_TRUE(trusted.channel.Peer().trusted) << trusted.channel.Peer().trustProblem;
    EXPECT_EQ(trusted.channel.Peer().trustProblem, "");
    Client misnamed(server.port, credentials, "elsewhere.invalid");
    EXPECT_FALSE(misnamed.channel.Peer().trusted);
    EXPECT_FALSE(misnamed.channel.Peer().trustProblem.empty());
    EXPECT_EQ(misnamed.channel.Peer().sha256, server.fingerprint);
  }
  CertDeleteCertificateFromStore(added);
  CertCloseStore(roots, 0);
}

TEST(TlsChannel, CarriesMebibytesBothWaysAndClosesWithCloseNotify) {
  EchoServer server(false);
  net::TlsCredentials credentials;
  Client client(server.port, credentials);
  ASSERT_TRUE(client.channel.IsOpen());
  EXPECT_EQ(server.Next("SESSION"), "new");
  EXPECT_EQ(client.channel.Peer().sha256, server.fingerprint);
  EXPECT_EQ(client.channel.Peer().sha256.size(), 32u * 3 - 1);
  EXPECT_FALSE(client.channel.Peer().trusted);
  EXPECT_FALSE(client.channel.Peer().trustProblem.empty());

  // Pieces that end inside records, and one larger than a whole send of records.
  const std::string upload = RandomBytes(9 * 1024 * 1024 + 3);
  ASSERT_TRUE(client.Send("SINK " + std::to_string(upload.size()) + "\n"));
  for (std::size_t at = 0, piece = 1; at < upload.size(); at += piece, piece = piece * 7 + 1) {
    ASSERT_TRUE(client.Send(upload.substr(at, piece))) << client.error;
  }
  EXPECT_EQ(client.Line(), "SHA256 " + Sha256Hex(upload));

  const std::size_t size = 6 * 1024 * 1024 + 5;
  ASSERT_TRUE(client.Send("SOURCE " + std::to_string(size) + "\n"));
  const std::string digest = client.Line();
  std::string download;
  std::vector<char> buffer(1000);
  while (download.size() < size) {
    std::size_t got = 0;
    ASSERT_TRUE(client.channel.Receive(buffer.data(), buffer.size(), kWaitMs, &got, &client.error))
        << client.error;
    ASSERT_GT(got, 0u);
    download.append(buffer.data(), got);
    // A record holds more than one read takes: the rest waits here, not in the socket.
    if (download.size() == buffer.size()) {
      EXPECT_TRUE(client.channel.HasBuffered());
    }
  }
  EXPECT_EQ(download.size(), size);
  EXPECT_EQ(digest, "SHA256 " + Sha256Hex(download));
  EXPECT_FALSE(client.channel.HasBuffered());

  ASSERT_TRUE(client.channel.Shutdown(kWaitMs, &client.error)) << client.error;
  EXPECT_FALSE(client.channel.IsOpen());
  EXPECT_EQ(server.Next("CLOSE"), "clean");
  std::size_t got = 1;
  EXPECT_TRUE(client.channel.Receive(buffer.data(), buffer.size(), kWaitMs, &got, &client.error));
  EXPECT_EQ(got, 0u) << "the peer's close_notify";
  EXPECT_FALSE(client.Send("late"));
}

// A socket closed with bytes unread sends a reset, which can cost the server the end of an upload.
TEST(TlsChannel, CloseReadsToThePeersEndSoTheConnectionEndsWithoutAReset) {
  EchoServer server(false);
  net::TlsCredentials credentials;
  Client client(server.port, credentials);
  EXPECT_EQ(server.Next("SESSION"), "new");
  ASSERT_TRUE(client.Send("TAIL 100000\n"));
  ASSERT_TRUE(client.channel.Close(kWaitMs, &client.error)) << client.error;
  EXPECT_FALSE(client.channel.IsOpen());
  client.socket.Close();
  EXPECT_EQ(server.Next("CLOSE"), "clean");
  EXPECT_EQ(server.Next("END"), "fin");
}

// What an FTP session does: a data connection beside the open control connection, with the same
// credentials and name, so that Schannel can resume the session (Wine never does).
TEST(TlsChannel, SecondChannelWithSameCredentialsWhileFirstIsOpen) {
  EchoServer server(false);
  net::TlsCredentials credentials;
  std::string error;
  ASSERT_TRUE(credentials.Acquire(&error)) << error;
  Client control(server.port, credentials);
  EXPECT_EQ(server.Next("SESSION"), "new");
  Client data(server.port, credentials);
  EXPECT_EQ(data.channel.Resumed(), server.Next("SESSION") == "reused");
  EXPECT_EQ(data.channel.Peer().sha256, server.fingerprint);
  ASSERT_TRUE(data.Send("SINK 5\nhello"));
  EXPECT_EQ(data.Line(), "SHA256 " + Sha256Hex("hello"));
  ASSERT_TRUE(data.channel.Shutdown(kWaitMs, &error)) << error;
  EXPECT_EQ(server.Next("CLOSE"), "clean");
  ASSERT_TRUE(control.Send("SINK 0\n"));
  EXPECT_EQ(control.Line(), "SHA256 " + Sha256Hex(""));
}

// No peer can hold a handshake past its limit or make it wait for what will never come.
TEST(TlsChannel, HandshakeWithNonTlsPeersFailsInTime) {
  struct Peer {
    const char* what;
    const char* says;  // nullptr: closes at once
  };
  Listener listener;
  net::TlsCredentials credentials;
  for (const Peer& peer :
       {Peer{"silent", ""}, Peer{"plain FTP", "220 Plain FTP only\r\n"}, Peer{"closes", nullptr}}) {
    SCOPED_TRACE(peer.what);
    net::Socket socket;
    std::string error;
    ASSERT_TRUE(net::Connect("127.0.0.1", listener.port, kWaitMs, &socket, &error)) << error;
    net::Socket accepted = listener.Accept(kWaitMs);
    if (peer.says == nullptr) accepted.Close();
    if (peer.says != nullptr && *peer.says != '\0') {
      ASSERT_TRUE(net::SendAll(accepted, peer.says, std::strlen(peer.says), kWaitMs, &error));
    }
    net::TlsChannel channel;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(channel.Handshake(socket, credentials, kHostName, kShortWaitMs, &error));
    const bool silent = peer.says != nullptr && *peer.says == '\0';
    // Only silence waits out the limit; anything else that is not TLS fails at once.
    EXPECT_LT(MsSince(start), silent ? kShortWaitMs + kLateMs : kShortWaitMs);
    EXPECT_EQ(error == net::kTimedOutText, silent) << error;
    EXPECT_FALSE(channel.IsOpen());
    char byte;
    std::size_t got = 0;
    EXPECT_FALSE(channel.Receive(&byte, 1, kShortWaitMs, &got, &error));
  }
}

}  // namespace
