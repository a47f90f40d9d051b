// Stopping a transfer from another thread, and the waits no network can stretch: every wait in
// net/ ends when its thread's stop signal is raised; a trickle, a dropped connection and an idle
// control connection are bounded without the user's help.
#include "net/stop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ftp/ftp_connection.h"
#include "net/socket.h"
#include "tests/unit/ftp_test_support.h"

namespace {

using ftptest::FaultServer;
using ftptest::TempDir;
using ftptest::WriteFile;
using Clock = std::chrono::steady_clock;

// Far longer than any wait below may last once stopped.
constexpr int kLongWaitMs = 20000;
constexpr int kRaiseAfterMs = 150;
constexpr double kStoppedWithinSeconds = 2.0;
constexpr int kFaultTimeoutMs = 700;
// More than loopback's socket buffers can hold, so a slow reader holds the sender back.
constexpr std::size_t kBeyondBuffersBytes = 48 * 1024 * 1024;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A listener on loopback and one connection to it, accepted; neither end reads.
struct LoopbackPair {
  LoopbackPair() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    std::string error;
    net::Connect("127.0.0.1", port, kLongWaitMs, &client, &error);
    peer = accept(listener, nullptr, nullptr);
  }
  ~LoopbackPair() {
    close(peer);
    close(listener);
  }
  int listener = -1;
  int peer = -1;
  int port = 0;
  net::Socket client;
};

// Runs wait on this thread with signal bound, raises it from another thread a moment later.
double SecondsUntilStopped(const std::function<void()>& wait) {
  net::StopSignal signal;
  const net::StopScope bound(&signal);
  std::thread raiser([&signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRaiseAfterMs));
    signal.Raise();
  });
  const Clock::time_point start = Clock::now();
  wait();
  const double seconds = SecondsSince(start);
  raiser.join();
  return seconds;
}

TEST(Stop, EndsEveryWaitOfTheSocketLayer) {
  const std::string big(kBeyondBuffersBytes, 'x');
  struct Case {
    const char* name;
    std::function<bool(LoopbackPair&, std::string*)> wait;  // true when the wait failed
  };
  const Case cases[] = {
      {"receive",
       [](LoopbackPair& pair, std::string* error) {
         char buffer[16];
         std::size_t got = 0;
         return !net::Receive(pair.client, buffer, sizeof buffer, kLongWaitMs, &got, error);
       }},
      {"send",
       [&big](LoopbackPair& pair, std::string* error) {
         return !net::SendAll(pair.client, big.data(), big.size(), kLongWaitMs, error);
       }},
      {"two sockets",
       [](LoopbackPair& pair, std::string* error) {
         net::Listener idle;
         net::ListenBeside(pair.client, &idle, error);
         int ready = -1;
         return !net::WaitReadable(idle.socket, pair.client, kLongWaitMs, &ready, error);
       }},
      {"connect",
       [](LoopbackPair& pair, std::string* error) {
         // The listener's queue is full: further requests go unanswered.
         std::vector<net::Socket> fillers(3);
         for (net::Socket& filler : fillers)
           net::Connect("127.0.0.1", pair.port, 50, &filler, error);
         net::Socket connected;
         return !net::Connect("127.0.0.1", pair.port, kLongWaitMs, &connected, error);
       }},
  };
  for (const Case& c : cases) {
    LoopbackPair pair;
    std::string error;
    bool failed = false;
    const double seconds = SecondsUntilStopped([&] { failed = c.wait(pair, &error); });
    EXPECT_TRUE(failed) << c.name;
    EXPECT_LT(seconds, kStoppedWithinSeconds) << c.name;
    EXPECT_EQ(error, net::kStoppedText) << c.name;
  }
}

TEST(Stop, EndsAPauseAndStaysRaisedUntilReset) {
  bool whole = true;
  const double seconds = SecondsUntilStopped([&] { whole = net::PauseUnlessStopped(kLongWaitMs); });
  EXPECT_FALSE(whole);
  EXPECT_LT(seconds, kStoppedWithinSeconds);

  net::StopSignal signal;
  signal.Raise();
  EXPECT_FALSE(signal.Pause(kLongWaitMs)) << "a raised signal ends a pause at once";
  signal.Reset();
  EXPECT_TRUE(signal.Pause(1));
  const net::StopScope bound(&signal);
  EXPECT_FALSE(net::StopRequested());
}

TEST(PaceFloor, EndsASendThatTricklesBeforeItsTimeout) {
  LoopbackPair pair;
  // Small buffers on both ends, so the sender sees each trickle of the reader.
  const int small = 4096;
  setsockopt(static_cast<int>(pair.client.Handle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(pair.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::thread reader([&pair] {
    char chunk[512];
    while (recv(pair.peer, chunk, sizeof chunk, 0) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const std::string data(1024 * 1024, 'x');  // minutes at the reader's pace
  std::string error;
  bool sent = true;
  const Clock::time_point start = Clock::now();
  {
    const net::SendPaceFloor floor(64 * 1024, 300);
    sent = net::SendAll(pair.client, data.data(), data.size(), kLongWaitMs, &error);
  }
  const double seconds = SecondsSince(start);
  pair.client.Abort();
  shutdown(pair.peer, SHUT_RDWR);
  reader.join();
  EXPECT_FALSE(sent);
  EXPECT_EQ(error, net::kTooSlowText);
  EXPECT_LT(seconds, kStoppedWithinSeconds);
}

TEST(KeepAlive, ProbesAnIdleConnectionAfterTheGivenTime) {
  LoopbackPair pair;
  std::string error;
  ASSERT_TRUE(net::KeepAlive(pair.client, ftp::kKeepAliveSeconds, &error)) << error;
  int on = 0;
  int idle = 0;
  socklen_t length = sizeof on;
  const int fd = static_cast<int>(pair.client.Handle());
  getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &length);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(idle, ftp::kKeepAliveSeconds);
}

class StopUploadTest : public ::testing::Test {
 protected:
  static bool Open(CFtpConnection* client, const FaultServer& server) {
    client->SetTimeout(kFaultTimeoutMs);
    return client->Connect(ftp::ServerAddress{"127.0.0.1", server.Port()}) &&
           client->Login("quill", "secret") && client->SetType('I');
  }
  static bool HasTemporaryFile(const FaultServer& server) {
    for (const auto& entry : std::filesystem::directory_iterator(server.Root())) {
      if (entry.path().filename().string().rfind("quillory-upload-", 0) == 0) return true;
    }
    return false;
  }
  TempDir local_;
};

TEST_F(StopUploadTest, StopAbandonsTheFileInFlightAndKeepsTheOldCopy) {
  FaultServer server({"--trickle", "200000"});
  WriteFile(server.Root() + "/big.bin", "old copy");
  WriteFile(local_ / "big.bin", std::string(kBeyondBuffersBytes, 'n'));
  CFtpConnection client;
  ASSERT_TRUE(Open(&client, server)) << client.LastError();
  client.SetTimeout(kLongWaitMs);
  bool sent = true;
  const double seconds =
      SecondsUntilStopped([&] { sent = client.PutFile(local_ / "big.bin", "big.bin"); });
  EXPECT_FALSE(sent);
  EXPECT_EQ(client.LastError(), net::kStoppedText);
  EXPECT_LT(seconds, kStoppedWithinSeconds + 1.0);
  std::string old;
  ftptest::ReadFile(server.Root() + "/big.bin", &old);
  EXPECT_EQ(old, "old copy");
  EXPECT_FALSE(HasTemporaryFile(server)) << "the temporary file is removed";
  for (const std::string& line : server.Commands()) EXPECT_NE(line.rfind("RNFR", 0), 0u) << line;
}

TEST_F(StopUploadTest, ReconnectsOutlastAMinuteOfRefusalsBackingOff) {
  constexpr int kPauseMs = 50;
  FaultServer server({"--drop-after-stores", "1", "--refuse-after-drop", "3"});
  WriteFile(local_ / "a.txt", "first");
  WriteFile(local_ / "b.txt", "second");
  CFtpConnection client;
  client.SetReconnectPause(kPauseMs);
  ASSERT_TRUE(Open(&client, server)) << client.LastError();
  const Clock::time_point start = Clock::now();
  // The server drops the connection after the first file, then turns three tries away.
  EXPECT_TRUE(client.PutFile(local_ / "a.txt", "a.txt")) << client.LastError();
  EXPECT_TRUE(client.PutFile(local_ / "b.txt", "b.txt")) << client.LastError();
  // Four tries: 50 + 100 + 200 + 400 ms of pauses before the one that is let in.
  EXPECT_GE(SecondsSince(start), 0.7);
}

TEST_F(StopUploadTest, StopEndsThePauseBeforeAReconnect) {
  FaultServer server({"--drop-after-stores", "1"});
  WriteFile(local_ / "a.txt", "first");
  CFtpConnection client;
  client.SetReconnectPause(kLongWaitMs);
  ASSERT_TRUE(Open(&client, server)) << client.LastError();
  bool sent = true;
  // The server drops the connection after this file: a reconnect is due.
  const double seconds =
      SecondsUntilStopped([&] { sent = client.PutFile(local_ / "a.txt", "a.txt"); });
  EXPECT_FALSE(sent);
  EXPECT_LT(seconds, kStoppedWithinSeconds);
}

}  // namespace
