#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "net/socket.h"
#include "net/stop.h"

namespace {

constexpr int kWaitMs = 5000;

// A control connection to a server on loopback that never reads, and a listener beside it that
// nothing ever connects to.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(server, 1), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_TRUE(net::Connect("127.0.0.1", ntohs(address.sin_port), kWaitMs, &control, &error))
        << error;
    peer = accept(server, nullptr, nullptr);
    ASSERT_TRUE(net::ListenBeside(control, &idle, &error)) << error;
  }
  void TearDown() override {
    closesocket(peer);
    closesocket(server);
  }

  SOCKET server = INVALID_SOCKET;
  SOCKET peer = INVALID_SOCKET;
  net::Socket control;
  net::Listener idle;
  std::string error;
};

// The second of two sockets readable while the first is not: an FTP server's reply arriving
// before its data connection, which is the usual order with many servers.
TEST_F(SocketTest, WaitReadableFindsTheSecondWhenOnlyItIsReady) {
  ASSERT_EQ(send(peer, "150 go\r\n", 8, 0), 8);
  int ready = -1;
  EXPECT_TRUE(net::WaitReadable(idle.socket, control, kWaitMs, &ready, &error)) << error;
  EXPECT_EQ(ready, 1);
}

// Stop from another thread ends each kind of wait at once: the overlapped receive, the wait for
// either of two sockets, the wait to send more, and a pause.
TEST_F(SocketTest, StopEndsEveryWait) {
  const std::string big(64 * 1024 * 1024, 'x');
  constexpr int kLongMs = 60000;
  const std::function<bool()> waits[] = {
      [&] {
        char buffer[16];
        std::size_t got = 0;
        return !net::Receive(control, buffer, sizeof buffer, kLongMs, &got, &error);
      },
      [&] {
        int ready = -1;
        return !net::WaitReadable(idle.socket, control, kLongMs, &ready, &error);
      },
      [&] { return !net::SendAll(control, big.data(), big.size(), kLongMs, &error); },
      [&] {
        error = net::kStoppedText;
        return !net::PauseUnlessStopped(kLongMs);
      },
  };
  for (const auto& wait : waits) {
    net::StopSignal signal;
    const net::StopScope bound(&signal);
    std::thread raiser([&signal] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      signal.Raise();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(error, net::kStoppedText);
    raiser.join();
  }
}

}  // namespace
