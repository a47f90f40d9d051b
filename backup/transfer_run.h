// One backup run: connect, enter the remote directory, upload every entry of the backup list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/stop.h"
#include "settings/certificate_store.h"

// Texts as the edits hold them, in the ANSI code page.
struct TransferSettings {
  std::string serverAddress;
  std::string remoteDirectory;
  std::string loginName;
  std::string password;
};

// Where a run stands, by bytes across the whole run.
struct RunProgress {
  int file = 0;  // the file going out, from 1
  int files = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
};

// How a run ended, for the tray tip.
struct RunCounts {
  int files = 0;
  int sent = 0;
  int failed = 0;
  bool stopped = false;
  std::string failure;  // what ended the run before its end, told in one box; empty otherwise
};

// What a transfer run needs from the main window. The dialog implements it; tests use a fake.
// Entries come as the list box holds them, in the ANSI code page; the texts the run shows are
// UTF-8, so a file name the code page cannot hold is still shown as it is.
class TransferWindow {
 public:
  virtual ~TransferWindow() = default;
  virtual bool IsVisible() = 0;  // minimised counts as visible
  virtual void ShowNow() = 0;    // SW_SHOW + immediate repaint
  virtual void Hide() = 0;       // SW_HIDE
  // Sleep(2000) in the program; false when the run was stopped meanwhile.
  virtual bool Pause(unsigned milliseconds) = 0;
  virtual bool AskYesNo(const std::string& text) = 0;
  virtual void Tell(const std::string& text) = 0;  // one OK box
  virtual int EntryCount() = 0;
  virtual std::string Entry(int index) = 0;
  // Called as the run goes (once per percent, or a few times a second), and once full at the end.
  virtual void ShowProgress(const RunProgress& progress) = 0;
  virtual void ResetProgress() = 0;  // position 0
  // The certificate accepted before for a server ("host:port"), if any.
  virtual std::optional<CertificateRecord> StoredCertificate(const std::string& server) = 0;
  // Remembers a server's certificate in place of the one before, beside other servers' ones.
  virtual void StoreCertificate(const CertificateRecord& record) = 0;
};

struct TransferOptions {
  int timeoutMs = 60000;        // shortened by tests
  int reconnectPauseMs = 3000;  // likewise
  // Raised from another thread to stop the run: the file in flight is given up on (its temporary
  // file removed where the connection allows), nothing more is sent, one box says so.
  const net::StopSignal* stop = nullptr;
};

// After this many files in a row failed on their data connection the run ends: a list of a
// thousand must not cost a full wait per file.
constexpr int kMaxDataFailuresInRow = 3;

extern const char* const kCreateDirectoryQuestion;
extern const char* const kContinueInDefaultQuestion;
// Failed uploads, and wildcard entries whose folder could not be read, named one by one in the
// closing summary; the rest are only counted.
constexpr int kMaxNamedFailures = 10;

// A failed connection or login, or a remote directory that cannot be sent, ends the run with one
// box saying why; the window then stays shown and the progress bar keeps its state. counts, when
// given, gets how the run ended. Returns 1, which nobody reads.
int SendBackup(const TransferSettings& settings, TransferWindow& window,
               const TransferOptions& options = {}, RunCounts* counts = nullptr);

// The box after a stopped run.
std::string StoppedText(int sent, int files);

// The name a plain entry is stored under: the text after its last '\' or '/'.
std::string RemoteNameOf(const std::string& entry);
