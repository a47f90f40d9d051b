#include "ui/backup_dialog.h"

#include <commctrl.h>
#include <direct.h>

#include "framework/message_box.h"
#include "framework/time_value.h"
#include "resources/resource.h"

namespace {
constexpr UINT_PTR kTimerId = 1024;
constexpr UINT kTimerPeriodMs = 1000;
constexpr UINT kTrayCallbackMessage = WM_USER + 5;
constexpr UINT kAboutSysCommand = 0x0010;
constexpr int kEditTextLimit = 1000;
constexpr std::int32_t kDefaultSendTime = 21600;
constexpr std::size_t kDirectoryBufferSize = 1000;
}  // namespace

const MessageEntry BackupDialog::kMessageTable[] = {
    OnSysCommandMessage(&BackupDialog::OnSysCommand),
    OnPaintMessage(&BackupDialog::OnPaint),
    OnQueryDragIconMessage(&BackupDialog::OnQueryDragIcon),
    OnCommand(IDC_TEST_SETTINGS, &BackupDialog::OnTestSettings),
    OnCommand(IDC_APPLY_SETTINGS, &BackupDialog::OnApplySettings),
    OnCommand(IDC_ADD_FILES, &BackupDialog::OnAddFiles),
    OnCommand(IDC_REMOVE_ITEM, &BackupDialog::OnRemoveItem),
    OnCommand(IDC_REMOVE_ALL, &BackupDialog::OnRemoveAll),
    OnCommand(ID_TRAY_SHOW, &BackupDialog::OnTrayShow),
    OnCommand(ID_TRAY_HIDE, &BackupDialog::OnTrayHide),
    OnCommand(ID_ABOUT, &BackupDialog::OnAbout),
    OnCommand(ID_TRAY_SHUTDOWN, &BackupDialog::OnTrayShutdown),
    OnCommand(IDC_SHUTDOWN, &BackupDialog::OnCancel),
    OnMessage(kTrayCallbackMessage, &BackupDialog::OnTrayNotify),
    OnTimerMessage(&BackupDialog::OnTimer),
    OnCommand(IDC_ADD_WILDCARD, &BackupDialog::OnAddWildcard),
};

MessageTable BackupDialog::GetMessageTable() const {
  return {kMessageTable, QUILLORY_TABLE_SIZE(kMessageTable)};
}

BackupDialog::BackupDialog()
    : CDialog(IDD_QUILLORY_DIALOG),
      windowIcon_(::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BackupDialog::~BackupDialog() = default;

BOOL BackupDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  hideOnFirstTick_ = 0;

  HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE);
  if (systemMenu != nullptr) {
    char aboutText[256] = {};
    ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, aboutText, sizeof(aboutText));
    if (aboutText[0] != '\0') {
      ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(systemMenu, MF_STRING, ID_ABOUT, aboutText);
    }
  }

  ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowIcon_));
  ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowIcon_));

  char directory[kDirectoryBufferSize] = {};
  if (::_getcwd(directory, sizeof(directory)) != nullptr) startDirectory_ = directory;

  serverEdit_ = GetDlgItem(IDC_SERVER_EDIT);
  directoryEdit_ = GetDlgItem(IDC_DIRECTORY_EDIT);
  loginEdit_ = GetDlgItem(IDC_LOGIN_EDIT);
  passwordEdit_ = GetDlgItem(IDC_PASSWORD_EDIT);
  sendTimeControl_ = GetDlgItem(IDC_SEND_TIME);
  backupList_ = GetDlgItem(IDC_BACKUP_LIST);
  autoRunCheck_ = GetDlgItem(IDC_AUTORUN_CHECK);
  progressBar_ = GetDlgItem(IDC_PROGRESS);

  for (HWND edit : {serverEdit_, directoryEdit_, loginEdit_, passwordEdit_}) {
    ::SendMessageA(edit, EM_SETLIMITTEXT, kEditTextLimit, 0);
  }

  sendTime_ = kDefaultSendTime;
  ShowSendTime();

  ::SendMessageA(autoRunCheck_, BM_SETCHECK, BST_CHECKED, 0);

  ::SendMessageA(progressBar_, PBM_SETRANGE32, 0, 0);
  ::SendMessageA(progressBar_, PBM_SETPOS, 0, 0);

  ::SetTimer(m_hWnd, kTimerId, kTimerPeriodMs, nullptr);
  return TRUE;
}

void BackupDialog::ShowSendTime() {
  SYSTEMTIME local = LocalTimeFromValue(sendTime_);
  ::SendMessageA(sendTimeControl_, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&local));
}

void BackupDialog::OnCancel() {
  if (AfxMessageBox("Are you sure you want to quit?", MB_YESNO) != IDYES) return;
  CDialog::OnCancel();
  ::KillTimer(m_hWnd, kTimerId);
}

void BackupDialog::OnTrayShutdown() {
  ::KillTimer(m_hWnd, kTimerId);
  ::PostQuitMessage(1);
}

void BackupDialog::OnSysCommand(UINT id, LPARAM) {
  if ((id & 0xFFF0) == kAboutSysCommand) {
    OnAbout();
  } else {
    Default();
  }
}

void BackupDialog::OnPaint() {
  if (!::IsIconic(m_hWnd)) {
    Default();
    return;
  }
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(m_hWnd, &paint);
  ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  int iconWidth = ::GetSystemMetrics(SM_CXICON);
  int iconHeight = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(m_hWnd, &client);
  int x = (client.right - client.left - iconWidth + 1) / 2;
  int y = (client.bottom - client.top - iconHeight + 1) / 2;
  ::DrawIcon(dc, x, y, windowIcon_);
  ::EndPaint(m_hWnd, &paint);
}

HCURSOR BackupDialog::OnQueryDragIcon() { return static_cast<HCURSOR>(windowIcon_); }

void BackupDialog::OnTestSettings() {}

void BackupDialog::OnApplySettings() {}

void BackupDialog::OnAddFiles() {}

void BackupDialog::OnRemoveItem() {}

void BackupDialog::OnRemoveAll() {}

void BackupDialog::OnTrayShow() { ::ShowWindow(m_hWnd, SW_SHOW); }

void BackupDialog::OnTrayHide() { ::ShowWindow(m_hWnd, SW_HIDE); }

void BackupDialog::OnAbout() {}

LRESULT BackupDialog::OnTrayNotify(WPARAM, LPARAM) { return 0; }

void BackupDialog::OnTimer(UINT_PTR) {}

void BackupDialog::OnAddWildcard() {}
