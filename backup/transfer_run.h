// One backup run: connect, enter the remote directory, upload every entry of the backup list.
#pragma once

#include <optional>
#include <string>

#include "settings/certificate_store.h"

// Texts as the edits hold them, in the ANSI code page.
struct TransferSettings {
  std::string serverAddress;
  std::string remoteDirectory;
  std::string loginName;
  std::string password;
};

// What a transfer run needs from the main window. The dialog implements it; tests use a fake.
// Entries come as the list box holds them, in the ANSI code page; the texts the run shows are
// UTF-8, so a file name the code page cannot hold is still shown as it is.
class TransferWindow {
 public:
  virtual ~TransferWindow() = default;
  virtual bool IsVisible() = 0;                   // minimised counts as visible
  virtual void ShowNow() = 0;                     // SW_SHOW + immediate repaint
  virtual void Hide() = 0;                        // SW_HIDE
  virtual void Pause(unsigned milliseconds) = 0;  // Sleep(2000) in the program
  virtual bool AskYesNo(const std::string& text) = 0;
  virtual void Tell(const std::string& text) = 0;  // one OK box
  virtual int EntryCount() = 0;
  virtual std::string Entry(int index) = 0;
  virtual void SetProgressRange(int count) = 0;  // range 0..count, position 0, step 1
  virtual void StepProgress() = 0;
  virtual void ResetProgress() = 0;  // position 0
  // The certificate accepted before for a server ("host:port"), if any.
  virtual std::optional<CertificateRecord> StoredCertificate(const std::string& server) = 0;
  // Remembers a server's certificate in place of the one before, beside other servers' ones.
  virtual void StoreCertificate(const CertificateRecord& record) = 0;
};

struct TransferOptions {
  int timeoutMs = 60000;        // shortened by tests
  int reconnectPauseMs = 3000;  // likewise
};

extern const char* const kCreateDirectoryQuestion;
extern const char* const kContinueInDefaultQuestion;
// Failed uploads, and wildcard entries whose folder could not be read, named one by one in the
// closing summary; the rest are only counted.
constexpr int kMaxNamedFailures = 10;

// A failed connection or login, or a remote directory that cannot be sent, leaves as
// CInternetException; the window then stays shown and the progress bar keeps its state.
// Returns 1.
int SendBackup(const TransferSettings& settings, TransferWindow& window,
               const TransferOptions& options = {});

// The name a plain entry is stored under: the text after its last '\' or '/'.
std::string RemoteNameOf(const std::string& entry);
