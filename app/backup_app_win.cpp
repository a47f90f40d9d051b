#include "app/backup_app.h"

#include "ui/backup_dialog.h"

namespace {
constexpr UINT kHelpCommand = 0xE146;
}  // namespace

const MessageEntry BackupApp::kMessageTable[] = {
    OnCommand(kHelpCommand, &CWinApp::OnHelp),
};

MessageTable BackupApp::GetMessageTable() const {
  return {kMessageTable, QUILLORY_TABLE_SIZE(kMessageTable)};
}

bool BackupApp::InitInstance() {
  BackupDialog dialog;
  SetMainWindow(&dialog);
  dialog.DoModal();
  SetMainWindow(nullptr);
  // No message loop of our own: the process ends when the main window's run is over.
  return false;
}

// Built by static initialisation, before the entry point runs.
static BackupApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return AfxWinMain(); }
