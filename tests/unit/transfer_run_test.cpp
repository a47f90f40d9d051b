// The transfer run's order of steps, with a recording window and the scripted FTP server.
#include "backup/transfer_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "backup/certificate_trust.h"
#include "backup/upload_pool.h"
#include "files/file_find.h"
#include "tests/unit/ftp_test_support.h"

namespace {

using ftptest::FaultServer;
using ftptest::ReadFile;
using ftptest::TempDir;
using ftptest::WriteFile;
using Calls = std::vector<std::string>;

constexpr int kTestTimeoutMs = 2000;

class FakeWindow : public TransferWindow {
 public:
  bool visible = false;
  std::vector<std::string> entries;
  std::vector<bool> answers;  // for AskYesNo, in order
  Calls calls;
  std::vector<std::string> told;

  bool IsVisible() override {
    calls.push_back("IsVisible");
    return visible;
  }
  void ShowNow() override {
    calls.push_back("ShowNow");
    visible = true;
  }
  void Hide() override {
    calls.push_back("Hide");
    visible = false;
  }
  bool Pause(unsigned milliseconds) override {
    calls.push_back("Pause " + std::to_string(milliseconds));
    return true;
  }
  bool AskYesNo(const std::string& text) override {
    calls.push_back("Ask " + text);
    const bool answer = !answers.empty() && answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    return answer;
  }
  void Tell(const std::string& text) override {
    calls.push_back("Tell");
    told.push_back(text);
  }
  int EntryCount() override { return static_cast<int>(entries.size()); }
  std::string Entry(int index) override {
    calls.push_back("Entry " + std::to_string(index));
    return entries.at(static_cast<std::size_t>(index));
  }
  // One call per file: the reports within a file are only counted.
  void ShowProgress(const RunProgress& progress) override {
    if (progress.file != shown.file) {
      calls.push_back("File " + std::to_string(progress.file) + "/" +
                      std::to_string(progress.files));
    }
    shown = progress;
    ++progressReports;
  }
  RunProgress shown;
  int progressReports = 0;
  void ResetProgress() override { calls.push_back("Reset"); }
  std::optional<CertificateRecord> StoredCertificate(const std::string& server) override {
    const auto found = certificates.find(server);
    return found == certificates.end() ? std::nullopt : std::optional(found->second);
  }
  void StoreCertificate(const CertificateRecord& record) override {
    calls.push_back("Store " + record.server);
    certificates[record.server] = record;
  }
  std::map<std::string, CertificateRecord> certificates;
};

// The window's calls with each run of "File k/n" reports folded into one. Reports come once per
// percent or a few times a second, not for each file; the count only goes up, to the last file.
Calls Steps(const Calls& calls) {
  Calls steps;
  int last = 0;
  std::string upTo;
  bool counting = true;
  const auto fold = [&] {
    if (!upTo.empty()) steps.push_back(counting ? "Files up to " + upTo : "Files out of order");
    upTo.clear();
    last = 0;
    counting = true;
  };
  for (const std::string& call : calls) {
    if (call.rfind("File ", 0) != 0) {
      fold();
      steps.push_back(call);
      continue;
    }
    const int file = std::stoi(call.substr(5));
    counting = counting && file > last;
    last = file;
    upTo = call.substr(5);
  }
  fold();
  return steps;
}

const std::string kCreate = std::string("Ask ") + kCreateDirectoryQuestion;
const std::string kContinue = std::string("Ask ") + kContinueInDefaultQuestion;

class TransferRunTest : public ::testing::Test {
 protected:
  TransferSettings Settings(const FaultServer& server, const std::string& directory = "") {
    return TransferSettings{server.Address(), directory, "quill", "secret"};
  }
  int Run(const TransferSettings& settings) {
    return SendBackup(settings, window_, TransferOptions{kTestTimeoutMs});
  }
  std::string Local(const std::string& name, const std::string& content) {
    WriteFile(local_ / name, content);
    return local_ / name;
  }
  static std::string Stored(const std::string& path) {
    std::string bytes;
    return ReadFile(path, &bytes) ? bytes : "<missing>";
  }
  // The names uploads were stored under in the end: renamed from a temporary name, or direct.
  static std::vector<std::string> Stors(const FaultServer& server) {
    std::vector<std::string> names;
    for (const std::string& line : server.Commands()) {
      const bool temporary = line.rfind("STOR quillory-upload-", 0) == 0;
      if ((line.rfind("STOR ", 0) == 0 && !temporary) || line.rfind("RNTO ", 0) == 0) {
        names.push_back(line.substr(5));
      }
    }
    return names;
  }

  FakeWindow window_;
  TempDir local_;
};

// How the window is shown, stepped through and hidden around a run that goes through.
TEST_F(TransferRunTest, WindowIsShownForTheRunOnlyWhenItWasHidden) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* name;
    bool visible;
    Files files;
    Calls steps;
  } cases[] = {
      {"hidden", false, Files{{"one.txt", "1"}, {"two.txt", "22"}, {"three.txt", "333"}},
       Calls{"IsVisible", "ShowNow", "Pause 2000", "Entry 0", "Entry 1", "Entry 2",
             "Files up to 3/3", "Reset", "Hide"}},
      {"visible", true, Files{{"one.txt", "1"}},
       Calls{"IsVisible", "Entry 0", "Files up to 1/1", "Reset"}},
      {"empty list: no range", false, Files{},
       Calls{"IsVisible", "ShowNow", "Pause 2000", "Reset", "Hide"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server({});
    window_ = FakeWindow();
    window_.visible = c.visible;
    for (const auto& [name, content] : c.files) window_.entries.push_back(Local(name, content));
    Run(Settings(server));
    EXPECT_EQ(Steps(window_.calls), c.steps);
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(Stored(server.Root() + "/" + name), bytes);
    const std::vector<std::string> commands = server.Commands();
    EXPECT_FALSE(commands.empty()) << "the connection is made all the same";
    for (const std::string& line : commands) {
      EXPECT_NE(line.rfind("CWD", 0), 0u) << "an empty remote directory is not entered";
    }
  }
}

// The remote directory "backup", there or not, and the answers to the questions about it: where
// the file lands (nowhere: the window, hidden or not, stays shown).
TEST_F(TransferRunTest, RemoteDirectoryIsEnteredOrCreatedOrLeftAsAnswered) {
  using Answers = std::vector<bool>;
  const struct {
    const char* name;
    bool exists;
    bool visible;
    Answers answers;
    std::optional<std::string> landsIn;
    Calls steps;
  } cases[] = {
      {"there: no question", true, true, Answers{}, "/backup",
       Calls{"IsVisible", "Entry 0", "Files up to 1/1", "Reset"}},
      {"created", false, true, Answers{true}, "/backup",
       Calls{"IsVisible", kCreate, "Entry 0", "Files up to 1/1", "Reset"}},
      {"no, then the default directory", false, false, Answers{false, true}, "",
       Calls{"IsVisible", "ShowNow", "Pause 2000", kCreate, kContinue, "Entry 0", "Files up to 1/1",
             "Reset", "Hide"}},
      {"no, then nothing", false, false, Answers{false, false}, std::nullopt,
       Calls{"IsVisible", "ShowNow", "Pause 2000", kCreate, kContinue}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server({});
    if (c.exists) std::filesystem::create_directory(server.Root() + "/backup");
    window_ = FakeWindow();
    window_.visible = c.visible;
    window_.answers = c.answers;
    window_.entries = {Local("a.txt", "a")};
    Run(Settings(server, "backup"));
    EXPECT_EQ(Steps(window_.calls), c.steps);
    if (c.landsIn) {
      EXPECT_EQ(Stored(server.Root() + *c.landsIn + "/a.txt"), "a");
    } else {
      EXPECT_TRUE(window_.visible);
      EXPECT_TRUE(Stors(server).empty());
    }
    EXPECT_EQ(std::filesystem::exists(server.Root() + "/backup"), c.landsIn == "/backup");
  }
}

TEST_F(TransferRunTest, MissingDirectoryThatCannotBeMadeOrEnteredEndsTheRunNamingIt) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--fail", "MKD=550"}, "550 MKD refused by request"},
      {{"--no-enter", "backup"}, "550 Permission denied"},
  };
  for (const auto& [options, reply] : cases) {
    FaultServer server(options);
    window_ = FakeWindow();
    window_.visible = true;
    window_.answers = {true};
    window_.entries = {Local("a.txt", "a")};
    Run(Settings(server, "backup"));
    ASSERT_EQ(window_.told.size(), 1u) << options[0] << ": the run must end with a box";
    const std::string& text = window_.told[0];
    EXPECT_NE(text.find("\"backup\""), std::string::npos) << text;
    EXPECT_NE(text.find(reply), std::string::npos) << text;
    EXPECT_EQ(Steps(window_.calls), (Calls{"IsVisible", kCreate, "Tell"})) << options[0];
    EXPECT_TRUE(Stors(server).empty()) << options[0];
  }
}

// A run that cannot start ends with one box saying why, kept for the tray tip; it sends nothing
// and leaves the window shown.
TEST_F(TransferRunTest, RunThatCannotStartLeavesAsAnErrorWithTheWindowShown) {
  std::string nowhere;
  {
    FaultServer gone({});
    nowhere = gone.Address();
  }
  const struct {
    const char* name;
    std::string address;  // empty: the test's server
    std::string directory;
    std::string password;
    bool visible;
    std::string said;
    Calls steps;
  } cases[] = {
      {"refused login", "", "", "wrong", false,
       "The server refused the login: 530 Login incorrect. Check the login name and password.",
       Calls{"IsVisible", "ShowNow", "Pause 2000", "Tell"}},
      {"unreachable server", nowhere, "", "secret", true, "", Calls{"IsVisible", "Tell"}},
      {"line break in the directory", "", "backup\r\nDELE a.txt", "secret", true, "line break",
       Calls{"IsVisible", "Tell"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server({});
    window_ = FakeWindow();
    window_.visible = c.visible;
    window_.entries = {Local("a.txt", "a")};
    TransferSettings settings = Settings(server, c.directory);
    if (!c.address.empty()) settings.serverAddress = c.address;
    settings.password = c.password;
    RunCounts counts;
    SendBackup(settings, window_, TransferOptions{kTestTimeoutMs}, &counts);
    ASSERT_EQ(window_.told.size(), 1u) << "the run must end with a box";
    EXPECT_NE(window_.told[0].find(c.said), std::string::npos) << window_.told[0];
    EXPECT_EQ(counts.failure, window_.told[0]);
    EXPECT_EQ(Steps(window_.calls), c.steps);
    EXPECT_TRUE(window_.visible);
    EXPECT_TRUE(Stors(server).empty());
    for (const std::string& line : server.Commands()) EXPECT_EQ(line.find("DELE"), line.npos);
  }
}

TEST_F(TransferRunTest, WildcardsSendTheFilesOfOneDirectoryUnderTheirOwnNames) {
  FaultServer server({});
  std::filesystem::create_directories(local_ / "logs/sub");
  WriteFile(local_ / "logs/a.log", "A");
  WriteFile(local_ / "logs/b.log", "B");
  WriteFile(local_ / "logs/c.txt", "C");
  WriteFile(local_ / "logs/sub/deep.log", "deep");
  window_.visible = true;
  window_.entries = {local_ / "logs/*.log", local_ / "logs/*", local_ / "logs/*.none"};
  Run(Settings(server));
  EXPECT_EQ(Steps(window_.calls),
            (Calls{"IsVisible", "Entry 0", "Entry 1", "Entry 2", "Files up to 5/5", "Reset"}))
      << "no failure box: directories are skipped, not failed";
  std::vector<std::string> stors = Stors(server);
  std::sort(stors.begin(), stors.end());
  EXPECT_EQ(stors, (std::vector<std::string>{"a.log", "a.log", "b.log", "b.log", "c.txt"}));
  EXPECT_EQ(Stored(server.Root() + "/c.txt"), "C");
  EXPECT_FALSE(std::filesystem::exists(server.Root() + "/deep.log"));
}

TEST_F(TransferRunTest, RemoteNameIsTheTextAfterTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(RemoteNameOf("C:\\data\\report.doc"), "report.doc");
  EXPECT_EQ(RemoteNameOf("C:/data/report.doc"), "report.doc");
  EXPECT_EQ(RemoteNameOf("C:\\data/sub\\..\\..\\evil.txt"), "evil.txt");
  EXPECT_EQ(RemoteNameOf("report.doc"), "report.doc");
  EXPECT_EQ(RemoteNameOf("C:\\data\\"), "");

  FaultServer server({});
  std::filesystem::create_directory(local_ / "x");
  WriteFile(local_ / "x/we\\ird.txt", "backslash in a native name");
  window_.visible = true;
  window_.entries = {local_ / "x/../x/we\\ird.txt"};
  Run(Settings(server));
  EXPECT_EQ(Stors(server), (std::vector<std::string>{"ird.txt"}));
  EXPECT_EQ(Stored(server.Root() + "/ird.txt"), "backslash in a native name");
}

TEST_F(TransferRunTest, RelativeEntryIsReadFromTheWorkingDirectory) {
  FaultServer server({});
  WriteFile(local_ / "report.doc", "report");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(local_.Path());
  window_.visible = true;
  window_.entries = {"report.doc"};
  Run(Settings(server));
  std::filesystem::current_path(before);
  EXPECT_EQ(Stored(server.Root() + "/report.doc"), "report");
}

TEST_F(TransferRunTest, LaterFileOfTheSameRemoteNameFailsNamingTheFirst) {
  FaultServer server({});
  std::filesystem::create_directories(local_ / "a");
  std::filesystem::create_directories(local_ / "b/logs");
  WriteFile(local_ / "a/x.txt", "from a");
  WriteFile(local_ / "b/x.txt", "from b");
  WriteFile(local_ / "b/logs/x.txt", "from the wildcard");
  WriteFile(local_ / "b/X.txt", "other case");
  window_.visible = true;
  window_.entries = {local_ / "a/x.txt", local_ / "b/x.txt", local_ / "b/logs/*.txt",
                     local_ / "a/x.txt", local_ / "b/X.txt"};
  Run(Settings(server));
  EXPECT_EQ(Stored(server.Root() + "/x.txt"), "from a");
  EXPECT_EQ(Stored(server.Root() + "/X.txt"), "other case");
  // Files end in any order over several connections.
  std::vector<std::string> stors = Stors(server);
  std::sort(stors.begin(), stors.end());
  EXPECT_EQ(stors, (std::vector<std::string>{"X.txt", "x.txt", "x.txt"}));
  ASSERT_EQ(window_.told.size(), 1u);
  const std::string& text = window_.told[0];
  EXPECT_EQ(text.rfind("2 files could not be sent:\n", 0), 0u) << text;
  for (const std::string& later : {local_ / "b/x.txt", local_ / "b/logs/x.txt"}) {
    const std::size_t line = text.find("\n" + later + " (");
    ASSERT_NE(line, std::string::npos) << text;
    const std::string entry = text.substr(line + 1, text.find('\n', line + 1) - line - 1);
    EXPECT_NE(entry.find(local_ / "a/x.txt"), std::string::npos) << entry;
  }
}

// Entries that fail are named in one box at the end of the run, shown before the window is
// hidden again; the rest is sent.
TEST_F(TransferRunTest, FailuresAreNamedInOneBoxAtTheEnd) {
  using Names = std::vector<std::string>;
  const std::string missing = local_ / "missing.txt";
  const std::string gone = local_ / "gone/*.log";
  const std::string goneLine = "\n" + gone + " (" + kFolderMissingReason + ")";
  Names thirteen;
  for (int i = 0; i < 13; ++i) thirteen.push_back(local_ / ("gone" + std::to_string(i)));
  const struct {
    const char* name;
    Names server;
    Names entries;
    std::string heading;
    Names named;
    std::string unnamed;
    Names stored;
    Calls steps;  // none: the window is visible and its calls are not checked
  } cases[] = {
      {"a missing file and a line break", Names{},
       Names{Local("good.txt", "good"), missing, "line\nbreak.txt", Local("also-good.txt", "also")},
       "2 files could not be sent:\n",
       Names{missing + " (No such file or directory)",
             "line break.txt (The entry contains a line break)"},
       "", Names{"good.txt", "also-good.txt"},
       Calls{"IsVisible", "ShowNow", "Pause 2000", "Entry 0", "Entry 1", "Entry 2", "Entry 3",
             "Files up to 3/3", "Reset", "Tell", "Hide"}},
      {"at most ten named", Names{}, thirteen, "13 files could not be sent:",
       Names{"gone9 (", "and 3 more."}, "gone10 (", Names{}, Calls{}},
      {"one file", Names{}, Names{local_ / "gone"}, "1 file could not be sent:", Names{}, "",
       Names{}, Calls{}},
      {"a server's refusal", Names{"--fail", "FINAL=452"}, Names{Local("a.txt", "a")},
       "1 file could not be sent:", Names{"a.txt (452 Upload failed by request)"}, "", Names{},
       Calls{}},
      {"a folder that cannot be read", Names{}, Names{gone, Local("a.log", "A")},
       "1 folder could not be read:\n" + goneLine, Names{}, "", Names{"a.log"}, Calls{}},
      {"files and folders", Names{}, Names{missing, gone, local_ / "gone2/*"},
       "1 file could not be sent and 2 folders could not be read:\n", Names{goneLine}, "", Names{},
       Calls{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server(c.server);
    window_ = FakeWindow();
    window_.visible = c.steps.empty();
    window_.entries = c.entries;
    Run(Settings(server));
    if (!c.steps.empty()) {
      EXPECT_EQ(Steps(window_.calls), c.steps);
    }
    ASSERT_EQ(window_.told.size(), 1u);
    const std::string& text = window_.told[0];
    EXPECT_EQ(text.rfind(c.heading, 0), 0u) << text;
    for (const std::string& named : c.named) EXPECT_NE(text.find(named), std::string::npos) << text;
    if (!c.unnamed.empty()) {
      EXPECT_EQ(text.find(c.unnamed), std::string::npos) << text;
    }
    EXPECT_EQ(Stors(server), c.stored);
  }
}

}  // namespace

// Each server's record stays its own: answering for one leaves the others as they were.
TEST(CertificateTrust, ChangesAreAskedAboutPerServerAndOnlyWhatIsAcceptedIsKept) {
  struct Case {
    CertificateRecord presented;
    std::vector<bool> answers;
    bool accepted;
    std::string asked;  // a text the question holds; empty when nothing is asked
  };
  const CertificateRecord nas{"nas:21", "AA:AA", false};
  const CertificateRecord bank{"bank:990", "BB:BB", true};
  const std::vector<Case> cases = {
      {nas, {}, true, ""},                                    // first use
      {bank, {}, true, ""},                                   // another server, first use
      {{"nas:21", "CC:CC", false}, {false}, false, "CC:CC"},  // changed pin, refused
      {nas, {}, true, ""},                                    // still the pin
      {{"bank:990", "DD:DD", false}, {false}, false, "trusted the earlier"},  // self-signed
      {{"bank:990", "EE:EE", true}, {}, true, ""},                            // renewal
      {{"bank:990", "FF:FF", false}, {true}, true, "FF:FF"},  // accepted: pinned now
      {{"bank:990", "FF:FF", false}, {}, true, ""},
      {{"nas:21", "CC:CC", true}, {true}, true, "it trusts this one"},
  };
  FakeWindow window;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.presented.server + " " + c.presented.fingerprint);
    window.calls.clear();
    window.answers = c.answers;
    const std::optional<CertificateRecord> before = window.StoredCertificate(c.presented.server);
    EXPECT_EQ(AcceptCertificate(c.presented, window), c.accepted);
    const bool asked = !window.calls.empty() && window.calls[0].rfind("Ask ", 0) == 0;
    EXPECT_EQ(asked, !c.asked.empty());
    if (asked) {
      EXPECT_NE(window.calls[0].find(c.asked), std::string::npos) << window.calls[0];
    }
    const std::optional<CertificateRecord> after = window.StoredCertificate(c.presented.server);
    ASSERT_TRUE(after.has_value());
    const CertificateRecord& kept = c.accepted ? c.presented : *before;
    EXPECT_EQ(after->fingerprint, kept.fingerprint);
    EXPECT_EQ(after->trustedByWindows, kept.trustedByWindows);
  }
  EXPECT_EQ(window.certificates.at("nas:21").fingerprint, "CC:CC");
}

// A server seen with TLS before keeps it: a bare host whose AUTH TLS goes unanswered (as when
// someone on the path hides it) gets no login in the clear. Native builds have no TLS, so the one
// without a record is plain FTP here.
TEST_F(TransferRunTest, BareHostSeenWithTlsBeforeGetsNoLoginInTheClear) {
  for (const bool remembered : {false, true}) {
    SCOPED_TRACE(remembered);
    FaultServer server({});
    const std::string key = "127.0.0.1:" + std::to_string(server.Port());
    window_ = FakeWindow();
    window_.visible = true;
    if (remembered) window_.certificates[key] = {key, "AA:BB", true};
    window_.entries = {Local("a.txt", "a")};
    Run(Settings(server));
    const std::string failure = window_.told.empty() ? "" : window_.told[0];
    const std::vector<std::string> commands = server.Commands();
    const bool loggedIn = std::any_of(commands.begin(), commands.end(),
                                      [](const std::string& c) { return c.rfind("USER", 0) == 0; });
    EXPECT_EQ(loggedIn, !remembered);
    EXPECT_EQ(failure.find("stopped offering encrypted connections") != std::string::npos,
              remembered)
        << failure;
    EXPECT_EQ(Stored(server.Root() + "/a.txt"), remembered ? "<missing>" : "a");
  }
}

// --- Stop, progress and failing data connections ---------------------------------------------

// A window whose user presses Stop while the first question is open, and answers it Yes.
class StopAtQuestionWindow : public FakeWindow {
 public:
  explicit StopAtQuestionWindow(net::StopSignal& stop) : stop_(stop) {}
  bool AskYesNo(const std::string& text) override {
    stop_.Raise();
    FakeWindow::AskYesNo(text);
    return true;
  }

 private:
  net::StopSignal& stop_;
};

TEST_F(TransferRunTest, StopPressedWhileAQuestionIsOpenEndsTheRunWithOneBox) {
  FaultServer server({});
  net::StopSignal stop;
  StopAtQuestionWindow window(stop);
  window.visible = true;
  window.entries = {Local("one.txt", "1"), Local("two.txt", "2")};
  TransferOptions options{kTestTimeoutMs};
  options.stop = &stop;
  RunCounts counts;
  SendBackup(Settings(server, "missing"), window, options, &counts);
  EXPECT_EQ(Steps(window.calls), (Calls{"IsVisible", kCreate, "Reset", "Tell"}));
  EXPECT_EQ(window.told, (std::vector<std::string>{StoppedText(0, 2)}));
  EXPECT_TRUE(counts.stopped);
  for (const std::string& line : server.Commands()) {
    EXPECT_NE(line.rfind("MKD", 0), 0u) << "nothing is done after Stop: " << line;
    EXPECT_NE(line.rfind("STOR", 0), 0u) << "nothing is done after Stop: " << line;
  }
}

TEST_F(TransferRunTest, BarMovesByBytesWithinOneBigFile) {
  FaultServer server({});
  constexpr std::size_t kBig = 3 * 1024 * 1024;
  window_.visible = true;
  window_.entries = {Local("small.txt", "1234"), Local("big.bin", std::string(kBig, 'b'))};
  struct Recorder : FakeWindow {
    std::vector<RunProgress> reports;
    void ShowProgress(const RunProgress& progress) override {
      reports.push_back(progress);
      FakeWindow::ShowProgress(progress);
    }
  } window;
  window.visible = true;
  window.entries = window_.entries;
  RunCounts counts;
  SendBackup(Settings(server), window, TransferOptions{kTestTimeoutMs}, &counts);
  int withinBigFile = 0;
  for (const RunProgress& report : window.reports) {
    EXPECT_EQ(report.bytesTotal, kBig + 4);
    if (report.file == 2 && report.bytesDone > 4 && report.bytesDone < kBig + 4) ++withinBigFile;
  }
  EXPECT_GE(withinBigFile, 2) << "the bar moves while one file goes out";
  EXPECT_EQ(window.shown.bytesDone, kBig + 4) << "full at the end";
  EXPECT_EQ(counts.sent, 2);
  EXPECT_EQ(counts.files, 2);
}

TEST_F(TransferRunTest, DataConnectionsFailingThreeTimesInARowEndTheRun) {
  FaultServer server({"--fail", "STOR=425"});
  const std::string file = Local("one.txt", "1");
  constexpr int kEntries = 12;
  window_.visible = true;
  window_.entries.assign(kEntries, file);
  RunCounts counts;
  SendBackup(Settings(server), window_, TransferOptions{kTestTimeoutMs}, &counts);
  ASSERT_EQ(window_.told.size(), 1u);
  const std::string& text = window_.told[0];
  EXPECT_EQ(text.rfind("The backup was ended after 3 files in a row", 0), 0u) << text;
  // Files already going on other connections when the third failed may fail too; none starts
  // after it.
  std::size_t named = 0;
  const std::string line = "\n" + file + " (";
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++named;
  }
  EXPECT_GE(named, 3u) << text;
  EXPECT_LE(named, 3u + 3u) << text;
  EXPECT_EQ(counts.failed, kEntries) << "the files not tried count as failed";
}

// --- Several connections at once ----------------------------------------------------------------

// The files of a directory on the server, by name.
std::map<std::string, std::string> ServerFiles(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    ftptest::ReadFile(entry.path().string(), &files[entry.path().filename().string()]);
  }
  return files;
}

class ParallelRunTest : public TransferRunTest {
 protected:
  // Files p00.bin, p01.bin, ... of sizes that differ, listed in that order.
  std::map<std::string, std::string> ListFiles(int count) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < count; ++i) {
      const std::string name = (i < 10 ? "p0" : "p") + std::to_string(i) + ".bin";
      files[name] =
          ftptest::RandomBytes(3000 + static_cast<std::size_t>(i) * 100, static_cast<unsigned>(i));
      window_.entries.push_back(Local(name, files[name]));
    }
    return files;
  }
  // Files counted up in list order, across every connection, to the last one; and no box.
  void ExpectFilesCountedUpAndNoBox(int count) {
    Calls expected{"IsVisible"};
    for (int i = 0; i < count; ++i) expected.push_back("Entry " + std::to_string(i));
    expected.push_back("Files up to " + std::to_string(count) + "/" + std::to_string(count));
    expected.push_back("Reset");
    EXPECT_EQ(Steps(window_.calls), expected);
  }
};

TEST_F(ParallelRunTest, ServerThatTakesTwoConnectionsGetsEveryFileWithoutABox) {
  ftptest::ChildProcess servers(
      {ftptest::PythonPath(), ftptest::ServersDir() + "/ftpservers.py", "vsftpd-max2"});
  std::string line;
  ASSERT_TRUE(servers.ReadLine(&line));
  std::istringstream fields(line);
  std::string kind, name, port, user, password, upload, directory;
  fields >> kind >> name >> port >> user >> password >> upload >> directory;
  if (kind != "SERVER") GTEST_SKIP() << line;
  constexpr int kFiles = 12;
  window_.visible = true;
  const std::map<std::string, std::string> files = ListFiles(kFiles);
  RunCounts counts;
  SendBackup({"127.0.0.1:" + port, directory, user, password}, window_,
             TransferOptions{kTestTimeoutMs, 50}, &counts);
  ExpectFilesCountedUpAndNoBox(kFiles);
  EXPECT_EQ(ServerFiles(upload), files);
  EXPECT_EQ(counts.sent, kFiles);
}

TEST_F(ParallelRunTest, ConnectionDroppedInTheMiddleIsMadeAgainAndLosesNothing) {
  FaultServer server({"--drop-after-stores", "3"});
  constexpr int kFiles = 12;
  window_.visible = true;
  const std::map<std::string, std::string> files = ListFiles(kFiles);
  RunCounts counts;
  SendBackup(Settings(server), window_, TransferOptions{kTestTimeoutMs, 50}, &counts);
  ExpectFilesCountedUpAndNoBox(kFiles);
  // Every file under its own name, and nothing else: no temporary name stays.
  EXPECT_EQ(ServerFiles(server.Root()), files);
  EXPECT_EQ(counts.sent, kFiles);
  int logins = 0;
  for (const std::string& command : server.Commands()) logins += command.rfind("USER", 0) == 0;
  EXPECT_GT(logins, 2) << "several connections, and the dropped one made again";
}

// A window whose user presses Stop once the third file has started.
class StopAtThirdFileWindow : public FakeWindow {
 public:
  explicit StopAtThirdFileWindow(net::StopSignal& stop) : stop_(stop) {}
  void ShowProgress(const RunProgress& progress) override {
    if (progress.file >= 3) stop_.Raise();
    FakeWindow::ShowProgress(progress);
  }

 private:
  net::StopSignal& stop_;
};

TEST_F(ParallelRunTest, StopAbandonsTheFileOfEveryConnectionAndRemovesItsTemporaryFile) {
  // Slow enough that every file is still going out when Stop comes.
  FaultServer server({"--trickle", "1000000"});
  net::StopSignal stop;
  StopAtThirdFileWindow window(stop);
  window.visible = true;
  constexpr int kFiles = 6;
  const std::string bytes(1024 * 1024, 's');
  for (int i = 0; i < kFiles; ++i) {
    window.entries.push_back(Local("s" + std::to_string(i), bytes));
  }
  TransferOptions options{kTestTimeoutMs, 50};
  options.stop = &stop;
  RunCounts counts;
  SendBackup(Settings(server), window, options, &counts);
  EXPECT_TRUE(counts.stopped);
  EXPECT_EQ(window.told, (std::vector<std::string>{StoppedText(counts.sent, kFiles)}));
  EXPECT_EQ(counts.sent, 0);
  EXPECT_EQ(Stors(server).size(), 0u) << "no file was put in place";
  // A file whose last bytes were still on their way is removed once the server has taken them.
  for (int waits = 0; waits < 100 && !ServerFiles(server.Root()).empty(); ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(ServerFiles(server.Root()).empty()) << "every temporary file was removed";
  int stors = 0;
  for (const std::string& command : server.Commands()) stors += command.rfind("STOR", 0) == 0;
  // Each connection was still on its first file: a fifth would have started after Stop.
  EXPECT_LE(stors, backup::kMaxUploadConnections) << "no file starts after Stop";
}
