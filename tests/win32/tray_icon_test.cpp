#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "ui/tray_icon.h"

namespace {

constexpr UINT kCallbackMessage = WM_USER + 5;
constexpr UINT kNoSuchResource = 4242;
constexpr std::size_t kTipLimit = 63;
constexpr UINT_PTR kMenuTimerMs = 100;
constexpr int kMenuTimerTicksBeforeGivingUp = 50;
const char kWindowClass[] = "QuilloryTrayTestWindow";
const char kTipProbeVariable[] = "QUILLORY_TRAY_TIP_PROBE";
const char kLongTip[] =
    "A tip text far longer than the sixty-three characters the notification area keeps";
constexpr int kTipProbeMismatch = 255;

std::vector<UINT> receivedCommands;

LRESULT CALLBACK RecordingWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) receivedCommands.push_back(LOWORD(wParam));
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

void PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

NOTIFYICONDATAA BareRecord(HWND window, UINT id) {
  NOTIFYICONDATAA record;
  std::memset(&record, 0, sizeof(record));
  record.cbSize = NOTIFYICONDATAA_V1_SIZE;
  record.hWnd = window;
  record.uID = id;
  return record;
}

// Asks the notification area itself: a change that names no field succeeds only for an icon it
// holds.
bool IconInTray(HWND window, UINT id) {
  NOTIFYICONDATAA record = BareRecord(window, id);
  return ::Shell_NotifyIconA(NIM_MODIFY, &record) != FALSE;
}

// What a restarted taskbar does to every icon it held.
void DropIconFromTray(HWND window, UINT id) {
  NOTIFYICONDATAA record = BareRecord(window, id);
  ::Shell_NotifyIconA(NIM_DELETE, &record);
}

bool AddIconBehindTheObjectsBack(HWND window, UINT id) {
  NOTIFYICONDATAA record = BareRecord(window, id);
  record.uFlags = NIF_ICON;
  record.hIcon = ::LoadIconA(nullptr, IDI_APPLICATION);
  return ::Shell_NotifyIconA(NIM_ADD, &record) != FALSE;
}

struct ShellCall {
  DWORD action;
  UINT flags;
  bool withIcon;
};

// The real shell call, recorded; a test can make the next calls fail instead.
class RecordingTrayIcon : public CTrayIcon {
 public:
  std::vector<ShellCall> calls;
  int failuresToInject = 0;

 protected:
  BOOL CallShell(DWORD action) override {
    calls.push_back({action, Data().uFlags, Data().hIcon != nullptr});
    if (failuresToInject > 0) {
      --failuresToInject;
      return FALSE;
    }
    return CTrayIcon::CallShell(action);
  }
};

class TrayIconTest : public ::testing::Test {
 protected:
  HWND window = nullptr;

  void SetUp() override {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RecordingWindowProc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassA(&windowClass);
    window = ::CreateWindowExA(0, kWindowClass, "tray test", WS_OVERLAPPEDWINDOW, 100, 100, 200,
                               100, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    receivedCommands.clear();
  }

  void TearDown() override {
    DropIconFromTray(window, IDR_MAINFRAME);
    DropIconFromTray(window, kNoSuchResource);
    ::DestroyWindow(window);
    PumpMessages();
  }

  void PrepareForWindow(CTrayIcon& icon, UINT id = IDR_MAINFRAME) {
    icon.Prepare(id);
    icon.SetCallback(window, kCallbackMessage);
  }
};

constexpr UINT kAllFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;

TEST(TrayIconRecord, PrepareStartsAFreshRecordInTheFirstPublishedForm) {
  CTrayIcon icon;
  EXPECT_EQ(icon.Data().hIcon, nullptr);
  icon.SetCallback(::GetDesktopWindow(), kCallbackMessage);
  EXPECT_TRUE(icon.Prepare(IDR_MAINFRAME));
  const NOTIFYICONDATAA& data = icon.Data();
  EXPECT_EQ(data.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V1_SIZE));
  EXPECT_EQ(data.uID, static_cast<UINT>(IDR_MAINFRAME));
  EXPECT_STREQ(data.szTip, "Brannoch Quillory");
  // Prepare clears the whole record, so a callback set before it is gone.
  EXPECT_EQ(data.hWnd, nullptr);
  EXPECT_EQ(data.uCallbackMessage, 0u);
  EXPECT_EQ(data.hIcon, nullptr);
}

TEST_F(TrayIconTest, AddsChangesAndRemovesTheIconInTheNotificationArea) {
  RecordingTrayIcon icon;
  PrepareForWindow(icon);

  EXPECT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));
  ASSERT_EQ(icon.calls.size(), 1u);
  EXPECT_EQ(icon.calls[0].action, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(icon.calls[0].flags, kAllFlags);
  EXPECT_NE(icon.Data().hIcon, nullptr);
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));

  EXPECT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));
  ASSERT_EQ(icon.calls.size(), 2u);
  EXPECT_EQ(icon.calls[1].action, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(icon.calls[1].flags, kAllFlags);
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));

  EXPECT_TRUE(icon.ShowResourceIcon(0));
  ASSERT_EQ(icon.calls.size(), 3u);
  EXPECT_EQ(icon.calls[2].action, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(icon.calls[2].flags & NIF_ICON, 0u);
  EXPECT_EQ(icon.Data().hIcon, nullptr);
  EXPECT_FALSE(IconInTray(window, IDR_MAINFRAME));

  // Nothing shown: nothing to remove, and no call.
  EXPECT_TRUE(icon.ShowResourceIcon(0));
  EXPECT_TRUE(icon.ApplyIcon(nullptr, nullptr));
  EXPECT_EQ(icon.calls.size(), 3u);

  EXPECT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));
  ASSERT_EQ(icon.calls.size(), 4u);
  EXPECT_EQ(icon.calls[3].action, static_cast<DWORD>(NIM_ADD));
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));
}

TEST_F(TrayIconTest, FlagsNameOnlyTheFieldsThatHoldSomething) {
  RecordingTrayIcon noTip;
  PrepareForWindow(noTip, kNoSuchResource);
  EXPECT_STREQ(noTip.Data().szTip, "");
  EXPECT_TRUE(noTip.ApplyIcon(::LoadIconA(nullptr, IDI_APPLICATION), nullptr));
  ASSERT_EQ(noTip.calls.size(), 1u);
  EXPECT_EQ(noTip.calls[0].flags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE));
  EXPECT_TRUE(IconInTray(window, kNoSuchResource));

  RecordingTrayIcon noMessage;
  noMessage.Prepare(IDR_MAINFRAME);
  noMessage.SetCallback(window, 0);
  EXPECT_TRUE(noMessage.ShowResourceIcon(IDR_MAINFRAME));
  ASSERT_EQ(noMessage.calls.size(), 1u);
  EXPECT_EQ(noMessage.calls[0].flags, static_cast<UINT>(NIF_ICON | NIF_TIP));
}

TEST_F(TrayIconTest, AnIdWithoutIconRemovesTheIconAndKeepsThePreparedId) {
  RecordingTrayIcon icon;
  PrepareForWindow(icon);
  ASSERT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));

  EXPECT_TRUE(icon.ShowResourceIcon(kNoSuchResource));
  ASSERT_EQ(icon.calls.size(), 2u);
  EXPECT_EQ(icon.calls[1].action, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(icon.Data().uID, static_cast<UINT>(IDR_MAINFRAME));
  EXPECT_EQ(icon.Data().hWnd, window);
  EXPECT_STREQ(icon.Data().szTip, "");
  EXPECT_FALSE(IconInTray(window, IDR_MAINFRAME));
}

TEST_F(TrayIconTest, AFailedAddOrChangeLeavesNoIconRecorded) {
  // The shell refuses a second icon with the same window and id.
  CTrayIcon first;
  PrepareForWindow(first);
  ASSERT_TRUE(first.ShowResourceIcon(IDR_MAINFRAME));
  {
    CTrayIcon second;
    PrepareForWindow(second);
    EXPECT_FALSE(second.ShowResourceIcon(IDR_MAINFRAME));
    EXPECT_EQ(second.Data().hIcon, nullptr);
  }
  // The refused object removed nothing when it went: the first icon is still there.
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));

  // A change of an icon the shell no longer holds fails; the next show adds it afresh.
  DropIconFromTray(window, IDR_MAINFRAME);
  EXPECT_FALSE(first.ShowResourceIcon(IDR_MAINFRAME));
  EXPECT_EQ(first.Data().hIcon, nullptr);
  EXPECT_TRUE(first.ShowResourceIcon(IDR_MAINFRAME));
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));
}

TEST_F(TrayIconTest, DestructionRemovesOnlyAShownIcon) {
  {
    CTrayIcon shown;
    PrepareForWindow(shown);
    ASSERT_TRUE(shown.ShowResourceIcon(IDR_MAINFRAME));
    ASSERT_TRUE(IconInTray(window, IDR_MAINFRAME));
  }
  EXPECT_FALSE(IconInTray(window, IDR_MAINFRAME));

  // An object that never showed its icon must not take away one that carries the same id.
  ASSERT_TRUE(AddIconBehindTheObjectsBack(window, IDR_MAINFRAME));
  {
    CTrayIcon prepared;
    PrepareForWindow(prepared);
  }
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));

  RecordingTrayIcon neverPrepared;
  EXPECT_TRUE(neverPrepared.ShowResourceIcon(0));
  EXPECT_TRUE(neverPrepared.calls.empty());
}

TEST_F(TrayIconTest, LongTipIsCutTo63Characters) {
  RecordingTrayIcon icon;
  PrepareForWindow(icon);
  ASSERT_GT(std::strlen(kLongTip), kTipLimit);
  EXPECT_TRUE(icon.ApplyIcon(::LoadIconA(nullptr, IDI_APPLICATION), kLongTip));
  EXPECT_EQ(std::string(icon.Data().szTip), std::string(kLongTip, kTipLimit));
  EXPECT_EQ(icon.calls.back().flags, kAllFlags);
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));
}

TEST_F(TrayIconTest, RestoreAddsTheIconAgainOnlyWhenItWasShown) {
  RecordingTrayIcon icon;
  PrepareForWindow(icon);
  EXPECT_TRUE(icon.Restore());
  EXPECT_TRUE(icon.calls.empty());
  EXPECT_FALSE(IconInTray(window, IDR_MAINFRAME));

  ASSERT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));
  DropIconFromTray(window, IDR_MAINFRAME);
  icon.calls.clear();
  EXPECT_TRUE(icon.Restore());
  ASSERT_EQ(icon.calls.size(), 1u);
  EXPECT_EQ(icon.calls[0].action, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(icon.calls[0].flags, kAllFlags);
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));

  // A broadcast without a new taskbar: the icon is still there and stays recorded, so that it is
  // removed at the end.
  EXPECT_TRUE(icon.Restore());
  EXPECT_NE(icon.Data().hIcon, nullptr);
  EXPECT_TRUE(IconInTray(window, IDR_MAINFRAME));
  EXPECT_TRUE(icon.ShowResourceIcon(0));
  EXPECT_FALSE(IconInTray(window, IDR_MAINFRAME));

  ASSERT_TRUE(icon.ShowResourceIcon(IDR_MAINFRAME));
  icon.failuresToInject = 2;
  EXPECT_FALSE(icon.Restore());
  EXPECT_EQ(icon.Data().hIcon, nullptr);
}

TEST_F(TrayIconTest, IgnoresOtherIconsAndOtherMouseMessages) {
  CTrayIcon icon;
  PrepareForWindow(icon);
  const LPARAM ignored[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE,
                            WM_RBUTTONDBLCLK};
  for (LPARAM mouseMessage : ignored) {
    EXPECT_EQ(icon.HandleNotification(IDR_MAINFRAME, mouseMessage), 0) << mouseMessage;
  }
  EXPECT_EQ(icon.HandleNotification(IDR_MAINFRAME + 1, WM_LBUTTONDBLCLK), 0);
  EXPECT_EQ(icon.HandleNotification(IDR_MAINFRAME + 1, WM_RBUTTONUP), 0);
  PumpMessages();
  EXPECT_TRUE(receivedCommands.empty());

  // An id without a menu resource has nothing to offer.
  CTrayIcon noMenu;
  PrepareForWindow(noMenu, kNoSuchResource);
  EXPECT_EQ(noMenu.HandleNotification(kNoSuchResource, WM_LBUTTONDBLCLK), 0);
  EXPECT_TRUE(receivedCommands.empty());
}

TEST_F(TrayIconTest, DoubleClickSendsTheFirstMenuCommandAtOnce) {
  CTrayIcon icon;
  PrepareForWindow(icon);
  EXPECT_EQ(icon.HandleNotification(IDR_MAINFRAME, WM_LBUTTONDBLCLK), 1);
  // Sent, not posted: it has arrived before the call returns.
  ASSERT_EQ(receivedCommands.size(), 1u);
  EXPECT_EQ(receivedCommands[0], static_cast<UINT>(ID_TRAY_SHOW));
}

// What the tracked menu looked like while it was open, gathered by a timer inside its loop.
struct OpenMenuSight {
  bool seen = false;
  RECT rect = {};
  int itemCount = 0;
  UINT defaultItem = static_cast<UINT>(-1);
  UINT firstCommand = 0;
  int ticks = 0;
};
OpenMenuSight menuSight;

void CALLBACK InspectAndChooseHide(HWND, UINT, UINT_PTR timerId, DWORD) {
  HWND menuWindow = ::FindWindowA("#32768", nullptr);
  if (menuWindow == nullptr || !::IsWindowVisible(menuWindow)) {
    if (++menuSight.ticks > kMenuTimerTicksBeforeGivingUp) {
      ::KillTimer(nullptr, timerId);
      ::EndMenu();
    }
    return;
  }
  ::KillTimer(nullptr, timerId);
  menuSight.seen = true;
  ::GetWindowRect(menuWindow, &menuSight.rect);
  HMENU menu = reinterpret_cast<HMENU>(::SendMessageA(menuWindow, MN_GETHMENU, 0, 0));
  menuSight.itemCount = ::GetMenuItemCount(menu);
  menuSight.defaultItem = ::GetMenuDefaultItem(menu, TRUE, 0);
  menuSight.firstCommand = ::GetMenuItemID(menu, 0);
  // Down twice selects the second item, "&Hide Quillory"; Return chooses it.
  ::PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
  ::PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
  ::PostMessageA(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
}

TEST_F(TrayIconTest, RightClickOpensTheMenuAtTheCursorWithTheFirstItemInBold) {
  CTrayIcon icon;
  PrepareForWindow(icon);
  ::SetCursorPos(300, 200);
  POINT cursor = {};
  ::GetCursorPos(&cursor);

  menuSight = OpenMenuSight{};
  ::SetTimer(nullptr, 0, kMenuTimerMs, InspectAndChooseHide);
  EXPECT_EQ(icon.HandleNotification(IDR_MAINFRAME, WM_RBUTTONUP), 1);
  ASSERT_TRUE(menuSight.seen);
  EXPECT_EQ(menuSight.rect.left, cursor.x);
  EXPECT_EQ(menuSight.rect.top, cursor.y);
  EXPECT_EQ(menuSight.itemCount, 6);
  EXPECT_EQ(menuSight.defaultItem, 0u);
  EXPECT_EQ(menuSight.firstCommand, static_cast<UINT>(ID_TRAY_SHOW));

  // The chosen item arrives at the callback window as a command.
  PumpMessages();
  ASSERT_EQ(receivedCommands.size(), 1u);
  EXPECT_EQ(receivedCommands[0], static_cast<UINT>(ID_TRAY_HIDE));
}

// The program's own tip string is short; a copy of this test program with a long string 132
// shows what Prepare makes of one. The copy runs only the probe below and reports by exit code.
std::vector<char> StringBlockWithLongTip() {
  constexpr int kStringsPerBlock = 16;
  const int position = IDR_MAINFRAME % kStringsPerBlock;
  std::vector<char> block;
  for (int i = 0; i < kStringsPerBlock; ++i) {
    std::wstring text;
    if (i == position) text.assign(kLongTip, kLongTip + std::strlen(kLongTip));
    WORD length = static_cast<WORD>(text.size());
    block.insert(block.end(), reinterpret_cast<char*>(&length),
                 reinterpret_cast<char*>(&length) + sizeof(length));
    block.insert(block.end(), reinterpret_cast<const char*>(text.data()),
                 reinterpret_cast<const char*>(text.data() + text.size()));
  }
  return block;
}

int ProbeTipFromResources() {
  CTrayIcon icon;
  icon.Prepare(IDR_MAINFRAME);
  std::string tip = icon.Data().szTip;
  if (std::string(kLongTip).compare(0, tip.size(), tip) != 0) return kTipProbeMismatch;
  return static_cast<int>(tip.size());
}

const bool tipProbeRun = [] {
  if (std::getenv(kTipProbeVariable) != nullptr) ::ExitProcess(ProbeTipFromResources());
  return false;
}();

TEST(TrayIconTip, ALongTipStringIsCutTo63CharactersWhenLoaded) {
  char self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, sizeof(self)), 0u);
  char directory[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathA(sizeof(directory), directory), 0u);
  std::string copy = std::string(directory) + "quillory-tray-tip-" +
                     std::to_string(::GetCurrentProcessId()) + ".exe";
  ASSERT_TRUE(::CopyFileA(self, copy.c_str(), FALSE));

  HANDLE update = ::BeginUpdateResourceA(copy.c_str(), FALSE);
  ASSERT_NE(update, nullptr);
  constexpr int kStringsPerBlock = 16;
  std::vector<char> block = StringBlockWithLongTip();
  ASSERT_TRUE(::UpdateResourceA(update, RT_STRING,
                                MAKEINTRESOURCEA(IDR_MAINFRAME / kStringsPerBlock + 1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), block.data(),
                                static_cast<DWORD>(block.size())));
  ASSERT_TRUE(::EndUpdateResourceA(update, FALSE));

  ::SetEnvironmentVariableA(kTipProbeVariable, "1");
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::string commandLine = "\"" + copy + "\"";
  BOOL started = ::CreateProcessA(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &process);
  ::SetEnvironmentVariableA(kTipProbeVariable, nullptr);
  ASSERT_TRUE(started);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  ::DeleteFileA(copy.c_str());
  EXPECT_EQ(exitCode, kTipLimit);
}

}  // namespace
