#include "ui/backup_dialog.h"

#include <commctrl.h>
#include <cderr.h>
#include <commdlg.h>
#include <direct.h>

#include <ctime>
#include <vector>

#include "backup/run_status.h"
#include "base/process.h"
#include "backup/schedule.h"
#include "files/file_name.h"
#include "base/wide_win.h"
#include "framework/message_box.h"
#include "backup/time_value_win.h"
#include "resources/resource.h"
#include "settings/autorun.h"
#include "settings/certificate_store.h"
#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "settings/settings_store.h"
#include "ui/file_selection.h"
#include "ui/small_dialogs.h"

namespace {
constexpr UINT_PTR kTimerId = 1024;
constexpr UINT kTimerPeriodMs = 1000;
constexpr UINT kTrayCallbackMessage = WM_USER + 5;
// From the run's thread: lParam points to a std::function to run on the window's thread.
constexpr UINT kWindowThreadWorkMessage = WM_APP + 1;
// Posted by the run's thread as its last act.
constexpr UINT kRunEndedMessage = WM_APP + 2;
// The bar's range: fine enough for a smooth bar, whatever the run's size.
constexpr int kProgressSteps = 1000;
// How long a shutdown waits for a stopped run before it ends the program anyway.
constexpr DWORD kRunEndLimitMs = 5000;
constexpr UINT_PTR kQuitTimerId = 1025;
// The controls that change what a run reads: held still while one goes.
constexpr int kListControls[] = {IDC_ADD_FILES, IDC_ADD_WILDCARD, IDC_REMOVE_ITEM, IDC_REMOVE_ALL,
                                 IDC_APPLY_SETTINGS};

// "02:00", the local time now.
std::string LocalClockText() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char text[8] = {};
  ::wsprintfA(text, "%02u:%02u", now.wHour, now.wMinute);
  return text;
}

// A box of this thread's other than the main window: the run's question or failure box.
BOOL CALLBACK AnswerNo(HWND window, LPARAM mainWindow) {
  char className[16] = {};
  ::GetClassNameA(window, className, sizeof className);
  if (window != reinterpret_cast<HWND>(mainWindow) && lstrcmpA(className, "#32770") == 0 &&
      ::GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(mainWindow)) {
    ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  }
  return TRUE;
}
constexpr int kEditTextLimit = 1000;
constexpr std::size_t kDirectoryBufferSize = 1000;
// Room for a few thousand names picked at once; a selection still larger is reported, not dropped.
constexpr std::size_t kSelectionBufferSize = 65536;

// The selection up to and including its closing empty name, in UTF-8.
std::string WideSelectionToUtf8(const std::vector<wchar_t>& selection) {
  std::size_t length = 0;
  while (length + 1 < selection.size() &&
         !(selection[length] == L'\0' && selection[length + 1] == L'\0')) {
    ++length;
  }
  return Utf8FromWide(selection.data(), length + 2);
}

std::wstring NotAddedText(const std::vector<std::string>& paths) {
  std::string text =
      paths.size() == 1
          ? std::string(
                "This file cannot be added: its name has characters this system cannot "
                "keep in the backup list, and it has no short name to stand in for it. "
                "Rename the file to back it up.\n")
          : std::to_string(paths.size()) +
                " files cannot be added: their names have characters this system cannot keep in "
                "the backup list, and they have no short names to stand in for them. Rename the "
                "files to back them up.\n";
  for (const std::string& path : paths) text += "\n" + path;
  return WideFromUtf8(text);
}
}  // namespace

// Explorer broadcasts this when the taskbar is (re)created; icons added before are gone then.
const UINT BackupDialog::taskbarCreatedMessage = ::RegisterWindowMessageA("TaskbarCreated");

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
    OnMessage(taskbarCreatedMessage, &BackupDialog::OnTaskbarCreated),
    OnMessage(kWindowThreadWorkMessage, &BackupDialog::OnWindowThreadWork),
    OnMessage(kRunEndedMessage, &BackupDialog::OnRunEnded),
    OnMessage(WM_QUERYENDSESSION, &BackupDialog::OnQueryEndSession),
    OnMessage(WM_ENDSESSION, &BackupDialog::OnEndSession),
};

MessageTable BackupDialog::GetMessageTable() const {
  return {kMessageTable, QUILLORY_TABLE_SIZE(kMessageTable)};
}

BackupDialog::BackupDialog()
    : CDialog(IDD_QUILLORY_DIALOG),
      windowIcon_(::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      windowThread_(::GetCurrentThreadId()),
      runEnded_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

BackupDialog::~BackupDialog() {
  // The window is gone: what the run still asks of it fails at once, and the stop ends it soon.
  if (worker_.joinable()) {
    stop_.Raise();
    worker_.join();
  }
  if (runEnded_ != nullptr) ::CloseHandle(runEnded_);
}

BOOL BackupDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  // Prepare clears the whole record, so the callback is set after it.
  trayIcon_.Prepare(IDR_MAINFRAME);
  trayIcon_.SetCallback(hwnd_, kTrayCallbackMessage);
  trayIcon_.ShowResourceIcon(IDR_MAINFRAME);

  HMENU systemMenu = ::GetSystemMenu(hwnd_, FALSE);
  if (systemMenu != nullptr) {
    char aboutText[256] = {};
    ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, aboutText, sizeof(aboutText));
    if (aboutText[0] != '\0') {
      ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(systemMenu, MF_STRING, ID_ABOUT, aboutText);
    }
  }

  ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowIcon_));
  ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowIcon_));

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
  testSettingsCaption_ = GetDlgItemText(IDC_TEST_SETTINGS);

  for (HWND edit : {serverEdit_, directoryEdit_, loginEdit_, passwordEdit_}) {
    ::SendMessageA(edit, EM_SETLIMITTEXT, kEditTextLimit, 0);
  }

  settings_.sendTime = kDefaultSendTime;
  ShowSendTime();

  ::SendMessageA(autoRunCheck_, BM_SETCHECK, BST_CHECKED, 0);

  ::SendMessageA(progressBar_, PBM_SETRANGE32, 0, 0);
  ::SendMessageA(progressBar_, PBM_SETPOS, 0, 0);

  LoadSettings();

  // Started last: on a first run the welcome text has been closed by now.
  ::SetTimer(hwnd_, kTimerId, kTimerPeriodMs, nullptr);
  return TRUE;
}

void BackupDialog::ShowSendTime() {
  SYSTEMTIME local = LocalTimeFromValue(settings_.sendTime);
  ::SendMessageA(sendTimeControl_, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&local));
}

void BackupDialog::OnCancel() {
  if (AfxMessageBox("Are you sure you want to quit?", MB_YESNO) != IDYES) return;
  StopRunThen([this] {
    CDialog::OnCancel();
    ::KillTimer(hwnd_, kTimerId);
  });
}

void BackupDialog::OnTrayShutdown() {
  ::KillTimer(hwnd_, kTimerId);
  StopRunThen([] { ::PostQuitMessage(1); });
}

void BackupDialog::StopRunThen(std::function<void()> then) {
  if (!running_) {
    then();
    return;
  }
  quitting_ = true;
  afterRun_ = std::move(then);
  stop_.Raise();
  // A question or failure box of the run holds its thread: answered No, it lets the run end.
  ::EnumThreadWindows(windowThread_, AnswerNo, reinterpret_cast<LPARAM>(hwnd_));
  // A run that will not end must not keep the program from doing so.
  ::SetTimer(hwnd_, kQuitTimerId, kRunEndLimitMs, nullptr);
}

bool BackupDialog::WaitForRunEnd(DWORD limitMs) {
  const ULONGLONG end = ::GetTickCount64() + limitMs;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= end) return false;
    const DWORD woke = ::MsgWaitForMultipleObjects(1, &runEnded_, FALSE,
                                                   static_cast<DWORD>(end - now), QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke != WAIT_OBJECT_0 + 1) return false;
    // Serves the run's calls on the window (sent messages), and nothing else.
    MSG message;
    ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

LRESULT BackupDialog::OnQueryEndSession(WPARAM, LPARAM) {
  if (running_) {
    quitting_ = true;
    stop_.Raise();
    ::EnumThreadWindows(windowThread_, AnswerNo, reinterpret_cast<LPARAM>(hwnd_));
  }
  return TRUE;
}

LRESULT BackupDialog::OnEndSession(WPARAM ending, LPARAM) {
  if (!running_) return 0;
  if (!ending) {
    // The session goes on after all; the stopped run ends as any stopped run.
    quitting_ = false;
    return 0;
  }
  // Windows ends the process once this returns: the run ends cleanly first.
  quitting_ = true;
  stop_.Raise();
  if (WaitForRunEnd(kRunEndLimitMs) && worker_.joinable()) worker_.join();
  return 0;
}

void BackupDialog::OnSysCommand(UINT id, LPARAM) {
  if ((id & 0xFFF0) == ID_ABOUT) {
    OnAbout();
  } else {
    Default();
  }
}

void BackupDialog::OnPaint() {
  if (!::IsIconic(hwnd_)) {
    Default();
    return;
  }
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(hwnd_, &paint);
  ::SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  int iconWidth = ::GetSystemMetrics(SM_CXICON);
  int iconHeight = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(hwnd_, &client);
  int x = (client.right - client.left - iconWidth + 1) / 2;
  int y = (client.bottom - client.top - iconHeight + 1) / 2;
  ::DrawIcon(dc, x, y, windowIcon_);
  ::EndPaint(hwnd_, &paint);
}

HCURSOR BackupDialog::OnQueryDragIcon() { return static_cast<HCURSOR>(windowIcon_); }

void BackupDialog::LoadSettings() {
  settingsKey_ =
      SystemRegistry().Open(RegistryRoot::CurrentUser, kSettingsKeyPath, RegistryAccess::Full);
  if (!settingsKey_) {
    // First run (or a key we may not open): make the key, greet the user, load nothing. The
    // hidden-start switch is not honoured here, so the welcome is never hidden away.
    settingsKey_ = SystemRegistry().Create(RegistryRoot::CurrentUser, kSettingsKeyPath);
    WelcomeDialog welcome(this);
    welcome.DoModal();
    return;
  }

  StoredSettings stored = ::LoadSettings(*settingsKey_);
  const struct {
    const std::optional<std::string>& value;
    std::string& setting;
    HWND edit;
  } texts[] = {{stored.serverAddress, settings_.serverAddress, serverEdit_},
               {stored.remoteDirectory, settings_.remoteDirectory, directoryEdit_},
               {stored.loginName, settings_.loginName, loginEdit_},
               {stored.password, settings_.password, passwordEdit_}};
  for (const auto& text : texts) {
    if (!text.value) continue;
    text.setting = *text.value;
    ::SetWindowTextA(text.edit, text.setting.c_str());
  }
  for (const std::string& entry : stored.backupList) {
    ::SendMessageA(backupList_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
  if (stored.sendTime) {
    settings_.sendTime = *stored.sendTime;
    ShowSendTime();
  }
  if (stored.autoRunFlag) {
    settings_.autoRunFlag = *stored.autoRunFlag;
    ::SendMessageA(autoRunCheck_, BM_SETCHECK, settings_.autoRunFlag ? BST_CHECKED : BST_UNCHECKED,
                   0);
  }

  if (HasRunHiddenSwitch(ProcessCommandLine())) hideOnFirstTick_ = true;
}

void BackupDialog::TakeSettingsFromWindow() {
  settings_.serverAddress = GetDlgItemText(IDC_SERVER_EDIT);
  settings_.remoteDirectory = GetDlgItemText(IDC_DIRECTORY_EDIT);
  settings_.loginName = GetDlgItemText(IDC_LOGIN_EDIT);
  settings_.password = GetDlgItemText(IDC_PASSWORD_EDIT);
  settings_.autoRunFlag = ::SendMessageA(autoRunCheck_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::vector<std::string> BackupDialog::BackupListEntries() {
  std::vector<std::string> entries;
  int count = EntryCount();
  for (int i = 0; i < count; ++i) entries.push_back(Entry(i));
  return entries;
}

void BackupDialog::OnTestSettings() {
  // The button reads "Stop" while a run goes.
  if (running_) {
    stop_.Raise();
    return;
  }
  // Uses what is typed now without storing it; the time of day is not taken here.
  TakeSettingsFromWindow();
  RunTransfer();
}

void BackupDialog::OnApplySettings() {
  TakeSettingsFromWindow();
  CutToStoredTexts(settings_, IsAnsiLeadByte);
  SYSTEMTIME chosen = {};
  if (::SendMessageA(sendTimeControl_, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&chosen)) ==
      GDT_VALID) {
    settings_.sendTime = static_cast<std::int32_t>(ValueFromLocalTime(chosen));
  }
  if (settingsKey_) SaveSettings(*settingsKey_, settings_, BackupListEntries());
  UpdateAutoRun();
}

void BackupDialog::UpdateAutoRun() {
  std::optional<std::string> problem = RegisterAutoRun(SystemRegistry(), settings_.autoRunFlag,
                                                       AutoRunCommand(RunningExecutablePath()));
  if (problem) AfxMessageBox(*problem, MB_OK);
}

void BackupDialog::RunTransfer() {
  if (running_) return;
  const TransferSettings transfer{settings_.serverAddress, settings_.remoteDirectory,
                                  settings_.loginName, settings_.password};
  stop_.Reset();
  quitting_ = false;
  ::ResetEvent(runEnded_);
  runCounts_ = RunCounts();
  runStartedAt_ = LocalClockText();
  running_ = true;
  ShowRunState(true);
  worker_ = std::thread([this, transfer] { RunOnWorker(transfer); });
}

void BackupDialog::RunOnWorker(const TransferSettings& transfer) {
  TransferOptions options;
  options.stop = &stop_;
  try {
    SendBackup(transfer, *this, options, &runCounts_);
  } catch (const std::exception& error) {
    // Nothing is meant to leave a run; what does ends it with a box, as a run's own failure does.
    runCounts_.failure = error.what();
    Tell(runCounts_.failure);
  }
  ::SetEvent(runEnded_);
  ::PostMessageA(hwnd_, kRunEndedMessage, 0, 0);
}

LRESULT BackupDialog::OnRunEnded(WPARAM, LPARAM) {
  if (worker_.joinable()) worker_.join();
  if (!running_) return 0;
  running_ = false;
  ShowRunState(false);
  SetTip(LastBackupTip(runStartedAt_, runCounts_));
  ::KillTimer(hwnd_, kQuitTimerId);
  if (afterRun_) {
    std::function<void()> then = std::move(afterRun_);
    afterRun_ = nullptr;
    then();
  }
  return 0;
}

void BackupDialog::ShowRunState(bool running) {
  ::SetDlgItemTextA(hwnd_, IDC_TEST_SETTINGS, running ? "Stop" : testSettingsCaption_.c_str());
  for (int id : kListControls) ::EnableWindow(GetDlgItem(id), running ? FALSE : TRUE);
}

void BackupDialog::SetTip(const std::string& tip) {
  if (tip == tip_ || trayIcon_.Data().hIcon == nullptr) return;
  tip_ = tip;
  trayIcon_.ApplyIcon(trayIcon_.Data().hIcon, tip.c_str());
}

void BackupDialog::OnWindowThread(const std::function<void()>& work) {
  if (::GetCurrentThreadId() == windowThread_) {
    work();
    return;
  }
  ::SendMessageA(hwnd_, kWindowThreadWorkMessage, 0, reinterpret_cast<LPARAM>(&work));
}

LRESULT BackupDialog::OnWindowThreadWork(WPARAM, LPARAM work) {
  (*reinterpret_cast<const std::function<void()>*>(work))();
  return 0;
}

bool BackupDialog::IsVisible() {
  bool visible = false;
  OnWindowThread([&] { visible = ::IsWindowVisible(hwnd_) != FALSE; });
  return visible;
}

void BackupDialog::ShowNow() {
  OnWindowThread([this] {
    ::ShowWindow(hwnd_, SW_SHOW);
    ::UpdateWindow(hwnd_);
  });
}

void BackupDialog::Hide() {
  OnWindowThread([this] { ::ShowWindow(hwnd_, SW_HIDE); });
}

// Waits on the run's own thread: the window answers meanwhile, and Stop ends the pause.
bool BackupDialog::Pause(unsigned milliseconds) {
  return stop_.Pause(static_cast<int>(milliseconds));
}

bool BackupDialog::AskYesNo(const std::string& text) {
  bool yes = false;
  // A question that comes after Stop is answered No without a box.
  OnWindowThread([&] { yes = !stop_.IsRaised() && AfxMessageBox(text, MB_YESNO) == IDYES; });
  return yes && !stop_.IsRaised();
}

void BackupDialog::Tell(const std::string& text) {
  OnWindowThread([&] {
    if (!quitting_) AfxMessageBox(WideFromUtf8(text), MB_OK);
  });
}

int BackupDialog::EntryCount() {
  LRESULT count = LB_ERR;
  OnWindowThread([&] { count = ::SendMessageA(backupList_, LB_GETCOUNT, 0, 0); });
  return count == LB_ERR ? 0 : static_cast<int>(count);
}

std::string BackupDialog::Entry(int index) {
  std::string text;
  OnWindowThread([&] {
    LRESULT length = ::SendMessageA(backupList_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return;
    text.assign(static_cast<std::size_t>(length) + 1, '\0');
    LRESULT copied = ::SendMessageA(backupList_, LB_GETTEXT, static_cast<WPARAM>(index),
                                    reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied == LB_ERR ? 0 : static_cast<std::size_t>(copied));
  });
  return text;
}

void BackupDialog::ShowProgress(const RunProgress& progress) {
  OnWindowThread([&] {
    ::SendMessageA(progressBar_, PBM_SETRANGE32, 0, kProgressSteps);
    ::SendMessageA(progressBar_, PBM_SETPOS, PercentDone(progress) * kProgressSteps / 100, 0);
    SetTip(SendingTip(progress));
  });
}

void BackupDialog::ResetProgress() {
  OnWindowThread([this] { ::SendMessageA(progressBar_, PBM_SETPOS, 0, 0); });
}

std::optional<CertificateRecord> BackupDialog::StoredCertificate(const std::string& server) {
  std::optional<CertificateRecord> stored;
  OnWindowThread([&] {
    if (settingsKey_) stored = LoadCertificate(*settingsKey_, server);
  });
  return stored;
}

void BackupDialog::StoreCertificate(const CertificateRecord& record) {
  OnWindowThread([&] {
    if (settingsKey_) SaveCertificate(*settingsKey_, record);
  });
}

void BackupDialog::OnAddFiles() {
  // The wide dialog, converted to the ANSI code page here: Wine's ANSI open-file dialog hands back
  // a multiple selection in UTF-16, and a name the code page cannot hold needs its short form.
  std::vector<wchar_t> selection(kSelectionBufferSize, L'\0');
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFile = selection.data();
  dialog.nMaxFile = static_cast<DWORD>(selection.size());
  // Names need not exist: a typed name of a file yet to be written is added like a chosen one.
  dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER;
  if (!::GetOpenFileNameW(&dialog)) {
    if (::CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
      AfxMessageBox(
          "Too many files were selected at once; none of them were added. Please select fewer "
          "files at a time.",
          MB_OK);
    }
    return;
  }
  const std::string utf8 = WideSelectionToUtf8(selection);
  std::vector<std::string> notAdded;
  for (const std::string& path : SelectedPaths(utf8.data(), utf8.size())) {
    // A "?" in place of a letter would name no file, or another one.
    std::string entry;
    if (AnsiPathOf(path, &entry)) {
      ::SendMessageA(backupList_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    } else {
      notAdded.push_back(path);
    }
  }
  if (!notAdded.empty()) AfxMessageBox(NotAddedText(notAdded), MB_OK);
}

void BackupDialog::OnAddWildcard() {
  WildcardDialog dialog;
  dialog.DoModal();
  if (!dialog.Pattern().empty()) {
    ::SendMessageA(backupList_, LB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(dialog.Pattern().c_str()));
  }
}

void BackupDialog::OnRemoveItem() {
  LRESULT selected = ::SendMessageA(backupList_, LB_GETCURSEL, 0, 0);
  if (selected == LB_ERR) {
    AfxMessageBox("You must select a file to remove!", MB_OK);
    return;
  }
  ::SendMessageA(backupList_, LB_DELETESTRING, static_cast<WPARAM>(selected), 0);
}

void BackupDialog::OnRemoveAll() { ::SendMessageA(backupList_, LB_RESETCONTENT, 0, 0); }

void BackupDialog::OnTrayShow() { ::ShowWindow(hwnd_, SW_SHOW); }

void BackupDialog::OnTrayHide() { ::ShowWindow(hwnd_, SW_HIDE); }

void BackupDialog::OnAbout() {
  AboutDialog about;
  about.DoModal();
}

LRESULT BackupDialog::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
  return trayIcon_.HandleNotification(wParam, lParam);
}

LRESULT BackupDialog::OnTaskbarCreated(WPARAM, LPARAM) {
  trayIcon_.Restore();
  return 0;
}

void BackupDialog::OnTimer(UINT_PTR timerId) {
  if (timerId == kQuitTimerId) {
    // The stopped run did not end in time: the program ends without it.
    ::KillTimer(hwnd_, kQuitTimerId);
    if (worker_.joinable()) worker_.detach();
    running_ = false;
    if (afterRun_) afterRun_();
    afterRun_ = nullptr;
    return;
  }
  if (hideOnFirstTick_) {
    hideOnFirstTick_ = false;
    ::ShowWindow(hwnd_, SW_HIDE);
  }
  int now = LocalTimeOfDay(static_cast<std::int64_t>(std::time(nullptr)));
  int scheduled = LocalTimeOfDay(settings_.sendTime);
  if (!TakeScheduledRun(now, scheduled, scheduleArmed)) return;
  if (running_) {
    SetTip(SkippedTip(LocalClockText()));
  } else {
    RunTransfer();
  }
}
