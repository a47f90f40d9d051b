// The FTP client against real servers on 127.0.0.1 (started by tests/servers/ftpservers.py), and
// against the scripted server of tests/servers/fault_ftpd.py for replies real servers never give.
#include "ftp/ftp_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "ftp/internet_session.h"
#include "tests/unit/ftp_test_support.h"

namespace {

using ftptest::FaultServer;
using ftptest::RandomBytes;
using ftptest::ReadFile;
using ftptest::TempDir;
using ftptest::WriteFile;

constexpr int kFaultTimeoutMs = 700;
constexpr int kReconnectPauseMs = 50;
// Well past the fault timeout, well below the default: proves the shortened timeout was used.
constexpr double kGiveUpWithinSeconds = 10.0;
// Far below any wait for a reply, far above one send and a close.
constexpr double kPromptSeconds = 1.0;
constexpr std::size_t kMultiMebibyteBytes = 5 * 1024 * 1024 + 123;
// Large enough to take several sends, small enough for a table of many servers.
constexpr std::size_t kTableFileBytes = 300000;
// More than loopback's socket buffers can hold, so a server that never reads stalls the sender.
constexpr std::size_t kStallingUploadBytes = 48 * 1024 * 1024;

struct RealServer {
  int port = 0;
  std::string user;
  std::string password;
  std::string localUploadDir;
  std::string remoteUploadDir;
  std::string skipReason;
};

// Starts the real servers once for the whole binary and stops them at its end.
class RealServers : public ::testing::Environment {
 public:
  void SetUp() override {
    process_ = std::make_unique<ftptest::ChildProcess>(
        std::vector<std::string>{ftptest::PythonPath(), ftptest::ServersDir() + "/ftpservers.py"});
    std::string line;
    while (process_->ReadLine(&line) && line != "READY") {
      std::istringstream fields(line);
      std::string kind;
      std::string name;
      fields >> kind >> name;
      RealServer& server = servers_[name];
      if (kind == "SERVER") {
        fields >> server.port >> server.user >> server.password >> server.localUploadDir >>
            server.remoteUploadDir;
      } else {
        std::getline(fields, server.skipReason);
      }
    }
  }
  void TearDown() override { process_.reset(); }

  static const RealServer& Get(const std::string& name) {
    static const RealServer kMissing{0, "", "", "", "", "the server harness did not report it"};
    const auto found = instance->servers_.find(name);
    return found == instance->servers_.end() ? kMissing : found->second;
  }

  static RealServers* instance;

 private:
  std::unique_ptr<ftptest::ChildProcess> process_;
  std::map<std::string, RealServer> servers_;
};

RealServers* RealServers::instance =
    static_cast<RealServers*>(::testing::AddGlobalTestEnvironment(new RealServers));

ftp::ServerAddress Loopback(int port) { return ftp::ServerAddress{"127.0.0.1", port}; }

class RealServerTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    server_ = RealServers::Get(GetParam());
    if (server_.port == 0) GTEST_SKIP() << GetParam() << " not available:" << server_.skipReason;
  }

  // A logged-in client in binary mode, inside the server's upload directory.
  void Open(CFtpConnection* client) {
    ASSERT_TRUE(client->Connect(Loopback(server_.port))) << client->LastError();
    ASSERT_TRUE(client->Login(server_.user, server_.password)) << client->LastError();
    ASSERT_TRUE(client->SetType('I')) << client->LastError();
    ASSERT_TRUE(client->SetCurrentDirectory(server_.remoteUploadDir)) << client->LastError();
  }

  // A name no other test (or server) uses.
  std::string Unique(const std::string& stem) const {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return name + "-" + stem;
  }

  RealServer server_;
  TempDir local_;
};

TEST_P(RealServerTest, StoresFilesByteForByte) {
  CFtpConnection client;
  Open(&client);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.bin", std::string(1, '\xff')},
      {"line-ends.txt", "a\r\nb\nc\r\r\n\x1a\x00z"},
      {"large.bin", RandomBytes(kMultiMebibyteBytes, 7)},
  };
  for (const auto& [name, bytes] : files) {
    const std::string remote = Unique(name);
    WriteFile(local_ / name, bytes);
    ASSERT_TRUE(client.PutFile(local_ / name, remote)) << name << ": " << client.LastError();
    std::string stored;
    ASSERT_TRUE(ReadFile(server_.localUploadDir + "/" + remote, &stored)) << name;
    EXPECT_TRUE(stored == bytes) << name << ": " << stored.size() << " bytes instead of "
                                 << bytes.size();
  }
  // Active mode stays the first choice wherever the server allows it.
  EXPECT_EQ(client.IsPassive(), GetParam() == "vsftpd-passive");
}

TEST_P(RealServerTest, SecondUploadUnderTheSameNameReplacesTheFirst) {
  CFtpConnection client;
  Open(&client);
  const std::string remote = Unique("twice.txt");
  WriteFile(local_ / "first", "first version, the longer one");
  WriteFile(local_ / "second", "second");
  ASSERT_TRUE(client.PutFile(local_ / "first", remote)) << client.LastError();
  ASSERT_TRUE(client.PutFile(local_ / "second", remote)) << client.LastError();
  std::string stored;
  ASSERT_TRUE(ReadFile(server_.localUploadDir + "/" + remote, &stored));
  EXPECT_EQ(stored, "second");
  // Many in a row, also from servers that connect from one fixed port; no temporary name is left.
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(client.PutFile(local_ / "first", Unique(std::to_string(i)))) << client.LastError();
  }
  EXPECT_EQ(client.HasFixedDataPort(), GetParam() == "pureftpd");  // it connects from port 20
  for (const auto& entry : std::filesystem::directory_iterator(server_.localUploadDir)) {
    EXPECT_EQ(entry.path().filename().string().find("quillory-upload-"), std::string::npos);
  }
}

TEST_P(RealServerTest, MakesAndEntersDirectories) {
  CFtpConnection client;
  Open(&client);
  const std::string directory = Unique("dir");
  EXPECT_FALSE(client.SetCurrentDirectory(directory));
  EXPECT_EQ(client.LastReply().code / 100, 5) << client.LastError();
  EXPECT_FALSE(client.LastError().empty());

  ASSERT_TRUE(client.CreateDirectory(directory)) << client.LastError();
  EXPECT_FALSE(client.CreateDirectory(directory)) << "an existing directory cannot be made again";
  ASSERT_TRUE(client.SetCurrentDirectory(directory)) << client.LastError();
  WriteFile(local_ / "inside.txt", "inside");
  ASSERT_TRUE(client.PutFile(local_ / "inside.txt", "inside.txt")) << client.LastError();
  std::string stored;
  EXPECT_TRUE(ReadFile(server_.localUploadDir + "/" + directory + "/inside.txt", &stored));
  EXPECT_EQ(stored, "inside");
}

TEST_P(RealServerTest, RefusedLoginCarriesTheServersReason) {
  CFtpConnection client;
  ASSERT_TRUE(client.Connect(Loopback(server_.port))) << client.LastError();
  EXPECT_FALSE(client.Login("quill-nobody", "wrong password"));
  EXPECT_EQ(client.LastReply().code, 530);
  EXPECT_EQ(client.LastError().substr(0, 4), "530 ") << client.LastError();

  CInternetSession session;
  try {
    session.GetFtpConnection("127.0.0.1:" + std::to_string(server_.port), "quill-nobody",
                             "wrong password");
    FAIL() << "a refused login must throw";
  } catch (const CInternetException& error) {
    EXPECT_NE(std::string(error.what()).find("refused the login: 530"), std::string::npos)
        << error.what();
  }
}

TEST_P(RealServerTest, UnreadableLocalFileLeavesNothingOnTheServer) {
  CFtpConnection client;
  Open(&client);
  const std::string remote = Unique("missing.txt");
  EXPECT_FALSE(client.PutFile(local_ / "does-not-exist", remote));
  EXPECT_NE(client.LastError().find("No such file"), std::string::npos) << client.LastError();
  EXPECT_FALSE(std::filesystem::exists(server_.localUploadDir + "/" + remote));
  EXPECT_FALSE(client.PutFile(local_.Path(), remote)) << "a directory is not a file";

  WriteFile(local_ / "present.txt", "still works");
  EXPECT_TRUE(client.PutFile(local_ / "present.txt", remote)) << client.LastError();
}

TEST_P(RealServerTest, FacadeUploadsInBinary) {
  CInternetSession session;
  std::unique_ptr<CFtpConnection> connection = session.GetFtpConnection(
      "127.0.0.1:" + std::to_string(server_.port), server_.user, server_.password);
  ASSERT_TRUE(connection->SetCurrentDirectory(server_.remoteUploadDir)) << connection->LastError();
  const std::string bytes = RandomBytes(300000, 11);
  WriteFile(local_ / "facade.bin", bytes);
  const std::string remote = Unique("facade.bin");
  ASSERT_TRUE(connection->PutFile(local_ / "facade.bin", remote)) << connection->LastError();
  std::string stored;
  ASSERT_TRUE(ReadFile(server_.localUploadDir + "/" + remote, &stored));
  EXPECT_TRUE(stored == bytes);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest,
                         ::testing::Values("pyftpdlib", "vsftpd", "proftpd", "pureftpd",
                                           "vsftpd-passive"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

// --- The scripted server ---------------------------------------------------------------------

class FaultTest : public ::testing::Test {
 protected:
  // Connects, logs in and switches to binary against a scripted server.
  static bool OpenSession(CFtpConnection* client, const FaultServer& server) {
    client->SetTimeout(kFaultTimeoutMs);
    client->SetReconnectPause(kReconnectPauseMs);
    return client->Connect(Loopback(server.Port())) && client->Login("quill", "secret") &&
           client->SetType('I');
  }

  static double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // The temporary files on the server.
  static std::vector<std::string> Leftovers(const FaultServer& server) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(server.Root())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("quillory-upload-", 0) == 0) names.push_back(name);
    }
    return names;
  }

  TempDir local_;
};

TEST_F(FaultTest, AcceptsUnusualGreetings) {
  for (const char* greeting : {"multi", "preliminary"}) {
    FaultServer server({"--greeting", greeting});
    CFtpConnection client;
    EXPECT_TRUE(OpenSession(&client, server)) << greeting << ": " << client.LastError();
  }
}

TEST_F(FaultTest, RejectsGreetingsThatAreNoWelcome) {
  const std::map<std::string, std::string> expected = {
      {"refuse", "421 Too many connections"},
      {"junk", "not an FTP reply: Hello, this is not FTP"},
      {"stall", "No reply from the server: The operation timed out"},
  };
  for (const auto& [greeting, reason] : expected) {
    FaultServer server({"--greeting", greeting});
    CFtpConnection client(kFaultTimeoutMs);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect(Loopback(server.Port()))) << greeting;
    EXPECT_LT(SecondsSince(start), kGiveUpWithinSeconds) << greeting;
    EXPECT_NE(client.LastError().find(reason), std::string::npos)
        << greeting << ": " << client.LastError();
    EXPECT_FALSE(client.IsConnected()) << greeting;
  }
}

TEST_F(FaultTest, MultiLineRepliesThroughAWholeUpload) {
  FaultServer server({"--multi-line-replies"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  WriteFile(local_ / "a.txt", "multi");
  EXPECT_TRUE(client.PutFile(local_ / "a.txt", "a.txt")) << client.LastError();
  EXPECT_TRUE(client.SetCurrentDirectory("/")) << client.LastError();
  EXPECT_EQ(client.LastReply().code, 250);
}

TEST_F(FaultTest, UserAcceptedAloneSendsNoPassword) {
  FaultServer server({"--user-is-enough"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  for (const std::string& line : server.Commands()) EXPECT_NE(line.substr(0, 4), "PASS");
}

TEST_F(FaultTest, EmptyLoginTextsAreSentAsEmpty) {
  FaultServer server({});
  CFtpConnection client(kFaultTimeoutMs);
  ASSERT_TRUE(client.Connect(Loopback(server.Port())));
  EXPECT_FALSE(client.Login("", ""));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER", "PASS"}));
}

TEST_F(FaultTest, EveryRefusedStepFailsWithTheServersLine) {
  WriteFile(local_ / "f.txt", "data");
  const std::vector<std::string> verbs = {"USER", "PASS", "TYPE", "CWD",
                                          "MKD",  "PORT", "STOR", "FINAL"};
  for (const std::string& verb : verbs) {
    for (const char* code : {"451", "553"}) {
      FaultServer server({"--fail", verb + "=" + code});
      CFtpConnection client(kFaultTimeoutMs);
      ASSERT_TRUE(client.Connect(Loopback(server.Port())));
      bool ok = client.Login("quill", "secret") && client.SetType('I') &&
                client.CreateDirectory("made") && client.SetCurrentDirectory("made");
      if (ok) ok = client.PutFile(local_ / "f.txt", "f.txt");
      if (verb == "PORT" && std::string(code) == "553") {
        // Refused active mode is met with passive mode.
        EXPECT_TRUE(ok && client.IsPassive()) << client.LastError();
        continue;
      }
      EXPECT_FALSE(ok) << verb;
      const std::string line =
          std::string(code) + " " +
          (verb == "FINAL" ? "Upload failed by request" : verb + " refused by request");
      EXPECT_NE(client.LastError().find(line), std::string::npos)
          << verb << ": " << client.LastError();
      // A refusal leaves the connection in step: the next command still gets its own answer.
      EXPECT_TRUE(client.IsConnected()) << verb;
      const bool nextAnswered =
          verb == "CWD" ? client.CreateDirectory("next") : client.SetCurrentDirectory("/");
      EXPECT_TRUE(nextAnswered) << verb << ": " << client.LastError();
    }
  }
}

TEST_F(FaultTest, ServiceClosingIsMetByConnectingAgain) {
  FaultServer server({"--fail", "CWD=421"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  EXPECT_FALSE(client.SetCurrentDirectory("x"));
  EXPECT_EQ(client.LastError(), "421 CWD refused by request");
  EXPECT_TRUE(client.CreateDirectory("y")) << client.LastError();
  const std::vector<std::string> commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "PASS secret"), 3);
}

TEST_F(FaultTest, NeverSendsLineBreaks) {
  FaultServer server({});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  WriteFile(local_ / "f.txt", "data");
  EXPECT_FALSE(client.SetCurrentDirectory("a\r\nDELE important"));
  EXPECT_FALSE(client.CreateDirectory("b\nRMD x"));
  EXPECT_FALSE(client.PutFile(local_ / "f.txt", "c\rDELE y"));
  EXPECT_FALSE(client.Login("u\nser", "p"));
  EXPECT_NE(client.LastError().find("line break"), std::string::npos);
  // The refusals happen before anything is sent, so the connection stays usable.
  EXPECT_TRUE(client.SetCurrentDirectory("/")) << client.LastError();
  for (const std::string& line : server.Commands()) {
    EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
    EXPECT_EQ(line.find("RMD"), std::string::npos) << line;
  }
}

TEST_F(FaultTest, ServerClosingTheControlConnectionMidFile) {
  FaultServer server({"--cut", "control"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  WriteFile(local_ / "big.bin", RandomBytes(kMultiMebibyteBytes, 3));
  EXPECT_FALSE(client.PutFile(local_ / "big.bin", "big.bin"));
  EXPECT_FALSE(client.LastError().empty());
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.PutFile(local_ / "big.bin", "again.bin")) << "the connection is gone";
}

TEST_F(FaultTest, ServerClosingTheDataConnectionMidFile) {
  FaultServer server({"--cut", "data"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  WriteFile(local_ / "big.bin", RandomBytes(kMultiMebibyteBytes, 4));
  EXPECT_FALSE(client.PutFile(local_ / "big.bin", "big.bin"));
  EXPECT_FALSE(client.LastError().empty());
  // The server answered the cut on the control connection, so the session goes on.
  EXPECT_TRUE(client.SetCurrentDirectory("/")) << client.LastError();
}

TEST_F(FaultTest, TransfersOfOneSessionShareOneDataPort) {
  FaultServer server({});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  WriteFile(local_ / "a.txt", "first");
  WriteFile(local_ / "b.txt", "second");
  ASSERT_TRUE(client.PutFile(local_ / "a.txt", "a.txt")) << client.LastError();
  ASSERT_TRUE(client.PutFile(local_ / "b.txt", "b.txt")) << client.LastError();
  ASSERT_TRUE(client.PutFile(local_ / "a.txt", "c.txt")) << client.LastError();
  std::vector<std::string> ports;
  for (const std::string& line : server.Commands()) {
    if (line.rfind("PORT ", 0) == 0) ports.push_back(line);
  }
  // One for each file, the next one sent ahead with each rename (the last one unused).
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(std::count(ports.begin(), ports.end(), ports[0]), 4);

  // A refused transfer gives up its port; the next one still goes through.
  EXPECT_FALSE(client.PutFile(local_ / "a.txt", "sub/a.txt"));
  ASSERT_TRUE(client.PutFile(local_ / "b.txt", "after.txt")) << client.LastError();
  std::string stored;
  EXPECT_TRUE(ReadFile(server.Root() + "/after.txt", &stored));
  EXPECT_EQ(stored, "second");
}

// What a real network does to an upload, and what must be on the server afterwards: the new file
// where it worked, the old copy untouched where it did not, and no run that hangs.
TEST_F(FaultTest, UploadsSurviveMisbehavingServers) {
  struct Case {
    std::vector<std::string> options;
    bool sent;                    // both files arrive complete
    bool passive;                 // the client ended in passive mode
    const char* asked = nullptr;  // for the passive data port
  };
  const std::vector<Case> cases = {
      {{"--no-features"}, true, false},              // no rename: stored directly
      {{"--no-rename-over"}, true, false},           // old copy deleted, then renamed
      {{"--drop-after-stores", "1"}, true, false},   // reconnects, goes on
      {{"--stray"}, true, false},                    // stranger turned away
      {{"--urgent"}, true, false},                   // urgent data ignored
      {{"--fail", "PORT=500"}, true, true, "EPSV"},  // NAT: passive
      // A 227 reply that names an address leading nowhere: the control connection's peer is used.
      {{"--fail", "PORT=500", "--fail", "EPSV=500", "--pasv-address", "10.9.9.9"},
       true,
       true,
       "PASV"},
      {{"--cut", "control"}, false, false},      // old copy stays
      {{"--endless-preliminary"}, false, true},  // 1xx cannot stretch the wait; passive tried
  };
  WriteFile(local_ / "big.bin", RandomBytes(kMultiMebibyteBytes, 9));
  WriteFile(local_ / "small.txt", "new small");
  for (const Case& c : cases) {
    FaultServer server(c.options);
    WriteFile(server.Root() + "/big.bin", "old copy");
    CFtpConnection client;
    ASSERT_TRUE(OpenSession(&client, server)) << c.options[0];
    const auto start = std::chrono::steady_clock::now();
    const bool sent = client.PutFile(local_ / "big.bin", "big.bin") &&
                      client.PutFile(local_ / "small.txt", "small.txt");
    EXPECT_LT(SecondsSince(start), kGiveUpWithinSeconds) << c.options[0];
    EXPECT_EQ(sent, c.sent) << c.options[0] << ": " << client.LastError();
    EXPECT_EQ(client.IsPassive(), c.passive) << c.options[0];
    if (c.asked) {
      EXPECT_TRUE(Contains(server.Commands(), c.asked)) << c.options[0];
    }
    std::string big;
    ASSERT_TRUE(ReadFile(server.Root() + "/big.bin", &big)) << c.options[0];
    EXPECT_EQ(big.size(), c.sent ? kMultiMebibyteBytes : 8u) << c.options[0];
  }
}

// How a server lets a complete upload take the old copy's place is learnt only from replies that
// can mean nothing else; whatever goes wrong, each file is either whole or its old copy untouched.
TEST_F(FaultTest, SafeReplaceLearnsOnlyFromUnambiguousReplies) {
  enum Outcome { kNew, kOld, kAny };
  struct Case {
    std::vector<std::string> options;
    Outcome big;         // the first file
    Outcome small;       // the second
    bool direct;         // stored under a real name
    std::string reason;  // part of the first file's failure
  };
  const std::string kept = "kept 299999 of 300000 bytes";
  const std::vector<Case> cases = {
      {{"--fail", "RNFR=502"}, kNew, kNew, true, ""},  // renames nothing: direct
      {{"--fail", "RNFR=550"}, kOld, kOld, false, "550 RNFR refused"},
      {{"--fail", "RNTO=553"}, kOld, kOld, false, "553 RNTO refused"},
      {{"--no-rename-over"}, kNew, kNew, false, ""},  // delete, then rename
      // A full disk says 553 as well: no direct store over the old copy, only this file fails.
      {{"--refuse-temporary-stors", "1"}, kOld, kNew, false, "553 Could not create file"},
      {{"--wrong-size-from", "1"}, kOld, kOld, false, kept},
      // The temporary file's size is the first, the real name's in direct mode the second.
      {{"--fail", "RNFR=502", "--wrong-size-from", "2"}, kAny, kAny, true, kept},
      // The third size is the second file's, asked before its old copy is deleted.
      {{"--no-rename-over", "--wrong-size-from", "3"}, kNew, kOld, false, ""},
      {{"--size-reply", ""}, kNew, kNew, false, ""},  // no number: nothing to check
      {{"--size-reply", "1 byte or so"}, kNew, kNew, false, ""},
      // A size answered before the file was written says nothing: it is asked again, and checked.
      {{"--answer-during-transfer"}, kNew, kNew, false, ""},
      {{"--answer-during-transfer", "--wrong-size-from", "2"}, kOld, kOld, false, kept},
  };

  const std::string bigBytes = RandomBytes(kTableFileBytes, 12);
  WriteFile(local_ / "big.bin", bigBytes);
  WriteFile(local_ / "small.txt", "new small");
  for (const Case& c : cases) {
    const std::string label = ::testing::PrintToString(c.options);
    FaultServer server(c.options);
    WriteFile(server.Root() + "/big.bin", "old copy");
    WriteFile(server.Root() + "/small.txt", "old copy");
    CFtpConnection client;
    ASSERT_TRUE(OpenSession(&client, server)) << label;
    EXPECT_EQ(client.PutFile(local_ / "big.bin", "big.bin"), c.big == kNew) << label;
    EXPECT_NE(client.LastError().find(c.reason), std::string::npos)
        << label << ": " << client.LastError();
    if (c.small != kAny) {
      EXPECT_EQ(client.PutFile(local_ / "small.txt", "small.txt"), c.small == kNew)
          << label << ": " << client.LastError();
    }
    const std::pair<const char*, std::pair<Outcome, std::string>> files[] = {
        {"big.bin", {c.big, bigBytes}}, {"small.txt", {c.small, "new small"}}};
    for (const auto& [name, expected] : files) {
      std::string stored;
      EXPECT_TRUE(ReadFile(server.Root() + "/" + name, &stored)) << label << " " << name;
      if (expected.first != kAny) {
        EXPECT_TRUE(stored == (expected.first == kNew ? expected.second : "old copy"))
            << label << " " << name << ": " << stored.size() << " bytes";
      }
    }
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(Contains(commands, "STOR big.bin") || Contains(commands, "STOR small.txt"), c.direct)
        << label;
    EXPECT_EQ(Leftovers(server), std::vector<std::string>()) << label;
  }
}

TEST_F(FaultTest, CompleteUploadStaysOnceTheOldCopyIsGone) {
  // Renames onto new names work, onto this one name not at all: the refusal looks like one to
  // replace an existing file, and comes only after the old copy was deleted.
  FaultServer server({"--no-rename-onto", "big.bin"});
  WriteFile(server.Root() + "/big.bin", "old copy");
  const std::string bytes = RandomBytes(kMultiMebibyteBytes, 13);
  WriteFile(local_ / "big.bin", bytes);
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  EXPECT_FALSE(client.PutFile(local_ / "big.bin", "big.bin"));
  const std::vector<std::string> left = Leftovers(server);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(client.LastError().find(left[0]), std::string::npos) << client.LastError();
  std::string kept;
  EXPECT_TRUE(ReadFile(server.Root() + "/" + left[0], &kept));
  EXPECT_TRUE(kept == bytes) << kept.size() << " bytes";
  EXPECT_FALSE(Contains(server.Commands(), "STOR big.bin"));
}

TEST_F(FaultTest, ConnectionLostAfterTheDeletePutsTheCompleteUploadInPlace) {
  FaultServer server({"--no-rename-over", "--drop-after-dele", "big.bin"});
  WriteFile(server.Root() + "/big.bin", "old copy");
  const std::string bytes = RandomBytes(kTableFileBytes, 15);
  WriteFile(local_ / "big.bin", bytes);
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  ASSERT_TRUE(client.PutFile(local_ / "big.bin", "big.bin")) << client.LastError();
  std::string stored;
  EXPECT_TRUE(ReadFile(server.Root() + "/big.bin", &stored));
  EXPECT_TRUE(stored == bytes) << stored.size() << " bytes";
  const std::vector<std::string> commands = server.Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& line) { return line.rfind("STOR ", 0) == 0; }),
            1)
      << "the complete upload is not sent again over itself";
  EXPECT_EQ(Leftovers(server), std::vector<std::string>());
}

TEST_F(FaultTest, InterruptedRunsLeaveAtMostOneTemporaryFilePerTarget) {
  // Every upload larger than the cut is cut short, and its partial file left behind.
  FaultServer server({"--cut", "control"});
  WriteFile(local_ / "big.bin", RandomBytes(kMultiMebibyteBytes, 14));
  WriteFile(local_ / "short.bin", "short enough to arrive");
  for (int run = 0; run < 3; ++run) {
    CFtpConnection client;
    ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
    EXPECT_FALSE(client.PutFile(local_ / "big.bin", "big.bin")) << run;
    EXPECT_EQ(Leftovers(server).size(), 1u) << run;
  }
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  EXPECT_TRUE(client.PutFile(local_ / "short.bin", "big.bin")) << client.LastError();
  EXPECT_EQ(Leftovers(server), std::vector<std::string>());
}

TEST_F(FaultTest, QuitSaysGoodbyeWithoutWaitingForTheAnswer) {
  FaultServer server({"--stall", "QUIT"});
  CFtpConnection client;
  ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
  client.SetTimeout(ftp::kDefaultTimeoutMs);
  const auto start = std::chrono::steady_clock::now();
  client.Close();
  EXPECT_LT(SecondsSince(start), kPromptSeconds);
  EXPECT_FALSE(client.IsConnected());
  bool saidGoodbye = false;
  while (!saidGoodbye && SecondsSince(start) < kGiveUpWithinSeconds) {
    saidGoodbye = Contains(server.Commands(), "QUIT");
    if (!saidGoodbye) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(saidGoodbye);
}

TEST_F(FaultTest, GivesUpOnStalledStepsAfterItsTimeout) {
  WriteFile(local_ / "small.txt", "small");
  WriteFile(local_ / "huge.bin", std::string(kStallingUploadBytes, 'x'));
  const std::map<std::string, std::string> expected = {
      {"CWD", "No reply from the server: The operation timed out"},
      {"FINAL", "No reply from the server: The operation timed out"},
      // After the wait for the server's connection, passive mode is tried; it stalls as well.
      {"CONNECT", "No reply from the server: The operation timed out"},
      {"DATA", "Sending the file failed: The operation timed out"},
  };
  for (const auto& [stall, reason] : expected) {
    FaultServer server({"--stall", stall});
    CFtpConnection client;
    ASSERT_TRUE(OpenSession(&client, server)) << client.LastError();
    const auto start = std::chrono::steady_clock::now();
    const bool ok =
        stall == "CWD"
            ? client.SetCurrentDirectory("/")
            : client.PutFile(local_ / (stall == "DATA" ? "huge.bin" : "small.txt"), "f.bin");
    EXPECT_FALSE(ok) << stall;
    EXPECT_LT(SecondsSince(start), kGiveUpWithinSeconds) << stall;
    EXPECT_EQ(client.LastError(), reason) << stall;
    EXPECT_FALSE(client.IsConnected()) << stall << ": a stalled session is out of step";
  }
}

TEST_F(FaultTest, DataPortFollowsTheControlConnectionsAddressFamily) {
  FaultServer server({"--ipv6"});
  ASSERT_NE(server.Port(), 0);
  CFtpConnection client;
  client.SetTimeout(kFaultTimeoutMs);
  ftp::ServerAddress address;
  std::string error;
  ASSERT_TRUE(
      ftp::ParseServerAddress("[::1]:" + std::to_string(server.Port()), 21, &address, &error));
  ASSERT_TRUE(client.Connect(address)) << client.LastError();
  ASSERT_TRUE(client.Login("quill", "secret")) << client.LastError();
  WriteFile(local_ / "six.txt", "over IPv6");
  ASSERT_TRUE(client.PutFile(local_ / "six.txt", "six.txt")) << client.LastError();
  std::string stored;
  EXPECT_TRUE(ReadFile(server.Root() + "/six.txt", &stored));
  EXPECT_EQ(stored, "over IPv6");
  bool sawEprt = false;
  for (const std::string& line : server.Commands()) sawEprt |= line.rfind("EPRT |2|::1|", 0) == 0;
  EXPECT_TRUE(sawEprt);

  FaultServer plain({});
  CFtpConnection v4;
  ASSERT_TRUE(OpenSession(&v4, plain)) << v4.LastError();
  ASSERT_TRUE(v4.PutFile(local_ / "six.txt", "four.txt")) << v4.LastError();
  bool sawPort = false;
  for (const std::string& line : plain.Commands()) sawPort |= line.rfind("PORT 127,0,0,1,", 0) == 0;
  EXPECT_TRUE(sawPort);
}

TEST_F(FaultTest, ConnectGivesUpWhenTheServerNeverAnswers) {
  // A listener whose queue is full drops further connection requests unanswered.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), length);
  }
  CFtpConnection client(kFaultTimeoutMs);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Connect(Loopback(ntohs(address.sin_port))));
  EXPECT_LT(SecondsSince(start), kGiveUpWithinSeconds);
  EXPECT_EQ(client.LastError(), "The operation timed out");
  for (int filler : fillers) close(filler);
  close(listener);
}

TEST_F(FaultTest, ConnectionFailuresSayWhy) {
  // A port that was free a moment ago: nothing listens there.
  int freePort = 0;
  {
    FaultServer server({});
    freePort = server.Port();
  }
  CFtpConnection client(kFaultTimeoutMs);
  EXPECT_FALSE(client.Connect(Loopback(freePort)));
  EXPECT_EQ(client.LastError(), "Connection refused");

  CInternetSession session;
  try {
    session.GetFtpConnection("127.0.0.1:" + std::to_string(freePort), "quill", "secret");
    FAIL() << "a refused connection must throw";
  } catch (const CInternetException& error) {
    EXPECT_EQ(std::string(error.what()),
              "Could not connect to 127.0.0.1:" + std::to_string(freePort) +
                  ": Connection refused. Check the server address.");
  }
  try {
    session.GetFtpConnection("127.0.0.1:99999", "quill", "secret");
    FAIL() << "a bad port must throw";
  } catch (const CInternetException& error) {
    EXPECT_NE(std::string(error.what()).find("from 1 to 65535"), std::string::npos);
  }
}

}  // namespace
