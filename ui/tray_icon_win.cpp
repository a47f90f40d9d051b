#include "ui/tray_icon.h"

#include <cstring>

namespace {

// The first published form of the record holds 64 bytes of tip, terminator included; later forms
// widened the field, but the shell reads only as much as cbSize announces.
constexpr int kTipBytes = 64;
constexpr UINT kNoMenuCommand = static_cast<UINT>(-1);

static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V1_SIZE == 88,
              "the first form of the notify-icon record is 88 bytes in a 32-bit build");

HINSTANCE ProgramModule() { return ::GetModuleHandleA(nullptr); }

}  // namespace

CTrayIcon::CTrayIcon() { std::memset(&data_, 0, sizeof(data_)); }

// Resource 0 removes the icon. A virtual call from a destructor reaches this class's CallShell,
// which is the real shell call.
CTrayIcon::~CTrayIcon() { ShowResourceIcon(0); }

BOOL CTrayIcon::Prepare(UINT resourceId) {
  std::memset(&data_, 0, sizeof(data_));
  data_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data_.uID = resourceId;
  LoadTip(resourceId);
  return TRUE;
}

void CTrayIcon::SetCallback(HWND window, UINT message) {
  data_.hWnd = window;
  data_.uCallbackMessage = message;
}

BOOL CTrayIcon::ShowResourceIcon(UINT resourceId) {
  if (resourceId == 0) return ApplyIcon(nullptr, nullptr);
  LoadTip(resourceId);
  // Shared, so the handle needs no destroying; at the small-icon size the notification area draws.
  HICON icon = static_cast<HICON>(::LoadImageA(ProgramModule(), MAKEINTRESOURCEA(resourceId),
                                               IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  return ApplyIcon(icon, nullptr);
}

BOOL CTrayIcon::ApplyIcon(HICON icon, const char* tip) {
  DWORD action = NIM_ADD;
  if (icon != nullptr) {
    action = data_.hIcon != nullptr ? NIM_MODIFY : NIM_ADD;
    data_.hIcon = icon;
  } else {
    if (data_.hIcon == nullptr) return TRUE;
    action = NIM_DELETE;
  }
  if (tip != nullptr) {
    std::memset(data_.szTip, 0, sizeof(data_.szTip));
    std::strncpy(data_.szTip, tip, kTipBytes - 1);
  }
  SetFlags(icon != nullptr);
  BOOL result = CallShell(action);
  if (action == NIM_DELETE || !result) data_.hIcon = nullptr;
  return result;
}

BOOL CTrayIcon::Restore() {
  if (data_.hIcon == nullptr) return TRUE;
  SetFlags(true);
  if (CallShell(NIM_ADD)) return TRUE;
  // The message also reaches programs when no new taskbar came with it; the icon is then still
  // there, and an add of the same icon fails.
  if (CallShell(NIM_MODIFY)) return TRUE;
  data_.hIcon = nullptr;
  return FALSE;
}

LRESULT CTrayIcon::HandleNotification(WPARAM wParam, LPARAM lParam) {
  if (wParam != data_.uID) return 0;
  if (lParam != WM_RBUTTONUP && lParam != WM_LBUTTONDBLCLK) return 0;

  HMENU menu = ::LoadMenuA(ProgramModule(), MAKEINTRESOURCEA(data_.uID));
  if (menu == nullptr) return 0;
  HMENU popup = ::GetSubMenu(menu, 0);
  if (popup == nullptr) {
    ::DestroyMenu(menu);
    return 0;
  }

  if (lParam == WM_RBUTTONUP) {
    ::SetMenuDefaultItem(popup, 0, TRUE);
    POINT cursor = {};
    ::GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(data_.hWnd);
    ::TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, data_.hWnd,
                     nullptr);
    // Completes the switch of foreground the menu began; without it the menu can fail to close on
    // the next click elsewhere, or fail to open the next time.
    ::PostMessageA(data_.hWnd, WM_NULL, 0, 0);
  } else {
    UINT command = ::GetMenuItemID(popup, 0);
    if (command != kNoMenuCommand) ::SendMessageA(data_.hWnd, WM_COMMAND, command, 0);
  }

  ::DestroyMenu(menu);
  return 1;
}

BOOL CTrayIcon::CallShell(DWORD action) { return ::Shell_NotifyIconA(action, &data_); }

void CTrayIcon::LoadTip(UINT resourceId) {
  // A missing string leaves the tip empty, and the shell is then given no tip at all.
  std::memset(data_.szTip, 0, sizeof(data_.szTip));
  ::LoadStringA(ProgramModule(), resourceId, data_.szTip, kTipBytes);
}

void CTrayIcon::SetFlags(bool withIcon) {
  data_.uFlags = withIcon ? NIF_ICON : 0;
  if (data_.szTip[0] != '\0') data_.uFlags |= NIF_TIP;
  if (data_.uCallbackMessage != 0 && data_.hWnd != nullptr) data_.uFlags |= NIF_MESSAGE;
}
