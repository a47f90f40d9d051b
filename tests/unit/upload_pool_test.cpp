// Parallel uploads against vsftpd that takes two connections per address, and against the
// scripted server for refusals and a connection that drops in the middle.
#include "backup/upload_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "tests/unit/ftp_test_support.h"

namespace {

using backup::OpenedConnection;
using backup::UploadJob;
using backup::UploadPool;
using backup::UploadResult;
using ftptest::FaultServer;
using ftptest::TempDir;

constexpr int kTimeoutMs = 20000;
constexpr int kPauseMs = 50;
constexpr std::size_t kSmallBytes = 2000;
constexpr std::size_t kBigBytes = backup::kAloneUploadBytes + 1;

struct Server {
  int port = 0;
  std::string user = "quill";
  std::string password = "secret";
  std::string directory;
};

// The scripted server's login, in its root.
Server Scripted(int port) {
  Server server;
  server.port = port;
  return server;
}

OpenedConnection Open(const Server& server) {
  auto fresh = std::make_unique<CFtpConnection>(kTimeoutMs);
  fresh->SetReconnectPause(kPauseMs);
  return backup::OpenUploadConnection(std::move(fresh),
                                      {"127.0.0.1", server.port, ftp::Security::Off}, server.user,
                                      server.password, server.directory);
}

// Files named f00.bin, f01.bin, ...; the one at bigIndex (if any) too big to share the link.
std::vector<UploadJob> MakeJobs(const TempDir& dir, int count,
                                std::map<std::string, std::string>* sent, int bigIndex = -1) {
  std::vector<UploadJob> jobs;
  for (int i = 0; i < count; ++i) {
    const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i) + ".bin";
    const std::string bytes =
        ftptest::RandomBytes(i == bigIndex ? kBigBytes : kSmallBytes + static_cast<std::size_t>(i),
                             static_cast<unsigned>(i));
    ftptest::WriteFile(dir / name, bytes);
    (*sent)[name] = bytes;
    jobs.push_back({dir / name, name, bytes.size()});
  }
  return jobs;
}

std::map<std::string, std::string> Received(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    ftptest::ReadFile(entry.path().string(), &files[entry.path().filename().string()]);
  }
  return files;
}

void ExpectAllSent(const std::vector<UploadResult>& results) {
  for (std::size_t i = 0; i < results.size(); ++i) {
    EXPECT_TRUE(results[i].started && results[i].ok) << i << ": " << results[i].reason;
  }
}

TEST(UploadPoolTest, ServerWithTwoConnectionsPerAddressGetsEveryFileInListOrder) {
  ftptest::ChildProcess servers(
      {ftptest::PythonPath(), ftptest::ServersDir() + "/ftpservers.py", "vsftpd-max2"});
  std::string line;
  ASSERT_TRUE(servers.ReadLine(&line));
  std::istringstream fields(line);
  std::string kind, name, upload;
  Server server;
  fields >> kind >> name >> server.port >> server.user >> server.password >> upload >>
      server.directory;
  if (kind != "SERVER") GTEST_SKIP() << line;

  TempDir local;
  std::map<std::string, std::string> sent;
  const std::vector<UploadJob> jobs = MakeJobs(local, 14, &sent, 6);
  std::atomic<int> full{0};
  UploadPool pool([&] {
    OpenedConnection opened = Open(server);
    if (opened.serverFull) ++full;
    return opened;
  });
  // No pause: a worker turned away must leave at once, not try again until files fail for it.
  pool.SetFullServerPause(0);
  std::vector<std::size_t> starts;
  std::uint64_t bytes = 0;
  int inFlight = 0;
  bool bigGoing = false;
  bool bigShared = false;
  pool.SetHooks({[&](std::size_t index) {
                   // The big file starts alone, and nothing starts beside it.
                   bigShared |= inFlight != 0 && (index == 6 || bigGoing);
                   bigGoing |= index == 6;
                   starts.push_back(index);
                   ++inFlight;
                 },
                 [&](std::size_t index, std::uint64_t size, const UploadResult&) {
                   bytes += size;
                   bigGoing &= index != 6;
                   --inFlight;
                 },
                 nullptr});
  ExpectAllSent(pool.Run(jobs));

  EXPECT_EQ(Received(upload), sent);
  EXPECT_EQ(pool.PeakConnections(), 2);
  EXPECT_GE(full.load(), 2);
  std::vector<std::size_t> inOrder(jobs.size());
  for (std::size_t i = 0; i < inOrder.size(); ++i) inOrder[i] = i;
  EXPECT_EQ(starts, inOrder);
  EXPECT_FALSE(bigShared);
  std::uint64_t total = 0;
  for (const auto& file : sent) total += file.second.size();
  EXPECT_EQ(bytes, total);
}

TEST(UploadPoolTest, ConnectionDroppedInTheMiddleLosesNothing) {
  FaultServer server({"--drop-after-stores", "3"});
  TempDir local;
  std::map<std::string, std::string> sent;
  const std::vector<UploadJob> jobs = MakeJobs(local, 12, &sent);
  UploadPool pool([&] { return Open(Scripted(server.Port())); });
  ExpectAllSent(pool.Run(jobs));
  // Every file under its own name, and nothing else: no temporary name is left behind.
  EXPECT_EQ(Received(server.Root()), sent);
  EXPECT_GT(pool.PeakConnections(), 1);
}

TEST(UploadPoolTest, StopsStartingFilesOnceAsked) {
  FaultServer server({});
  TempDir local;
  std::map<std::string, std::string> sent;
  const std::vector<UploadJob> jobs = MakeJobs(local, 20, &sent);
  UploadPool pool([&] { return Open(Scripted(server.Port())); });
  std::atomic<bool> stop{false};
  int ended = 0;
  pool.SetHooks({nullptr,
                 [&](std::size_t, std::uint64_t, const UploadResult&) {
                   if (++ended == 3) stop = true;
                 },
                 &stop});
  const std::vector<UploadResult> results = pool.Run(jobs);

  std::size_t started = 0;
  for (const UploadResult& result : results) started += result.started ? 1 : 0;
  // Those already going when the third ended may finish; none starts after.
  EXPECT_LE(started, 3u + backup::kMaxUploadConnections - 1);
  EXPECT_EQ(Received(server.Root()).size(), started);
  for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i].started, i < started) << i;
}

struct RefusalCase {
  std::vector<std::string> options;
  bool full;
};

TEST(UploadPoolTest, TellsAFullServerFromOtherRefusals) {
  const RefusalCase cases[] = {
      {{"--greeting", "refuse"}, true},
      {{"--greeting", "hangup"}, true},
      {{"--fail", "USER=421"}, true},
      {{"--fail", "PASS=530:Sorry, too many users are logged in"}, true},
      {{"--fail", "PASS=530"}, false},
      {{"--fail", "CWD=550"}, false},
  };
  for (const RefusalCase& c : cases) {
    FaultServer server(c.options);
    const OpenedConnection opened = Open({server.Port(), "quill", "secret", "upload"});
    EXPECT_FALSE(opened.connection) << c.options[1];
    EXPECT_EQ(opened.serverFull, c.full) << c.options[1] << ": " << opened.reason;
  }
}

TEST(UploadPoolTest, LastConnectionThatCannotOpenFailsEachFileWithTheReason) {
  FaultServer server({"--fail", "PASS=530"});
  TempDir local;
  std::map<std::string, std::string> sent;
  const std::vector<UploadJob> jobs = MakeJobs(local, 5, &sent);
  UploadPool pool([&] { return Open(Scripted(server.Port())); });
  for (const UploadResult& result : pool.Run(jobs)) {
    EXPECT_TRUE(result.started && !result.ok);
    EXPECT_NE(result.reason.find("PASS"), std::string::npos) << result.reason;
  }
}

}  // namespace
