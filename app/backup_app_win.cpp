#include "app/backup_app.h"

#include "app/running_instance.h"
#include "base/process.h"
#include "settings/autorun.h"
#include "ui/backup_dialog.h"

namespace {
constexpr UINT kHelpCommand = 0xE146;

// The main window, findable from the moment it exists: before the welcome of a first run, which
// keeps its initialisation busy.
class PublishedBackupDialog : public BackupDialog {
 public:
  explicit PublishedBackupDialog(RunningInstance& instance) : instance_(instance) {}

 protected:
  BOOL OnInitDialog() override {
    instance_.PublishWindow(hwnd_);
    return BackupDialog::OnInitDialog();
  }

 private:
  RunningInstance& instance_;
};
}  // namespace

const MessageEntry BackupApp::kMessageTable[] = {
    OnCommand(kHelpCommand, &CWinApp::OnHelp),
};

MessageTable BackupApp::GetMessageTable() const {
  return {kMessageTable, QUILLORY_TABLE_SIZE(kMessageTable)};
}

bool BackupApp::InitInstance() {
  // Held until the process ends: two copies would mean two tray icons and two daily runs.
  RunningInstance instance;
  if (!instance.IsFirst()) {
    // A start by the Run value at log-on asks for no window; a start by hand does.
    if (!HasRunHiddenSwitch(ProcessCommandLine())) instance.ShowRunningCopy();
    return false;
  }
  PublishedBackupDialog dialog(instance);
  SetMainWindow(&dialog);
  dialog.DoModal();
  SetMainWindow(nullptr);
  // No message loop of our own: the process ends when the main window's run is over.
  return false;
}

// Built by static initialisation, before the entry point runs.
static BackupApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return AfxWinMain(); }
