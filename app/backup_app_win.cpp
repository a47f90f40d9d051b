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

BOOL BackupApp::InitInstance() {
  BackupDialog dialog;
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  // No message loop of our own: the process ends when the main window's run is over.
  return FALSE;
}

// Built by static initialisation, before the entry point runs.
static BackupApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  return AfxWinMain(instance, showCommand);
}
