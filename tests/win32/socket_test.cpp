#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <string>

#include "net/socket.h"

namespace {

constexpr int kWaitMs = 5000;

// The second of two sockets readable while the first is not: an FTP server's reply arriving
// before its data connection, which is the usual order with many servers.
TEST(Socket, WaitReadableFindsTheSecondWhenOnlyItIsReady) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(server, 1), 0);
  ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);

  net::Socket control;
  std::string error;
  ASSERT_TRUE(net::Connect("127.0.0.1", ntohs(address.sin_port), kWaitMs, &control, &error))
      << error;
  const SOCKET peer = accept(server, nullptr, nullptr);
  net::Listener idle;  // nothing ever connects to it
  ASSERT_TRUE(net::ListenBeside(control, &idle, &error)) << error;
  ASSERT_EQ(send(peer, "150 go\r\n", 8, 0), 8);

  EXPECT_EQ(net::WaitReadable(idle.socket, control, kWaitMs, &error), 1) << error;
  closesocket(peer);
  closesocket(server);
}

}  // namespace
