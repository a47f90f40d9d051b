#include "framework/dialog.h"

#include <exception>
#include <vector>

#include "framework/message_box.h"
#include "framework/win_app.h"

CDialog::CDialog(UINT templateId, CDialog* parent) : templateId_(templateId), parent_(parent) {}

CDialog::~CDialog() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

INT_PTR CDialog::DoModal() {
  HWND owner = parent_ != nullptr ? parent_->GetSafeHwnd() : nullptr;
  CWinApp* app = AfxGetApp();
  if (owner == nullptr && app != nullptr && app->MainWindow() != nullptr &&
      app->MainWindow() != this) {
    owner = app->MainWindow()->GetSafeHwnd();
  }
  const bool reenableOwner = owner != nullptr && ::IsWindowEnabled(owner);
  if (reenableOwner) ::EnableWindow(owner, FALSE);

  ended_ = false;
  result_ = IDABORT;
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  HWND hwnd = ::CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId_), owner, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  if (hwnd != nullptr && !ended_ && !::IsWindowVisible(hwnd)) {
    // Templates without WS_VISIBLE are shown once created, as a modal box always is.
    ::ShowWindow(hwnd, SW_SHOWNORMAL);
  }
  if (hwnd != nullptr) {
    // Our own modal loop rather than DialogBox: the main window must survive being hidden, and a
    // quit message posted by the tray's Shutdown must end the run and reach the program's exit.
    MSG msg;
    while (!ended_) {
      BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
      if (got == -1) break;
      if (!::IsDialogMessageA(hwnd, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
    }
  }
  if (reenableOwner) {
    ::EnableWindow(owner, TRUE);
    if (hwnd != nullptr && ::GetActiveWindow() == hwnd) ::SetActiveWindow(owner);
  }
  if (hwnd_ != nullptr) {
    ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }
  return result_;
}

void CDialog::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  // Wake the modal loop in case this was called from outside a dispatched message.
  if (hwnd_ != nullptr) ::PostMessageA(hwnd_, WM_NULL, 0, 0);
}

std::string CDialog::GetDlgItemText(int id) const {
  HWND item = GetDlgItem(id);
  int length = ::GetWindowTextLengthA(item);
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  int copied = ::GetWindowTextA(item, buffer.data(), length + 1);
  return std::string(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lParam);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  try {
    return self->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& error) {
    // An error that escapes a handler ends that handler only; the user is told and the program
    // goes on.
    AfxMessageBox(error.what(), MB_OK);
    return TRUE;
  }
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      return HandleCommand(wParam);
    default:
      break;
  }
  const MessageEntry* entry = FindEntry(message, 0);
  if (entry == nullptr) return FALSE;
  wantsDefault_ = false;
  LRESULT result = Invoke(*entry, wParam, lParam);
  if (wantsDefault_) return FALSE;
  if (message == WM_QUERYDRAGICON) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, result);
  return TRUE;
}

INT_PTR CDialog::HandleCommand(WPARAM wParam) {
  UINT id = LOWORD(wParam);
  UINT code = HIWORD(wParam);
  // Menus and accelerators (codes 0 and 1) and button clicks (BN_CLICKED is 0) are commands;
  // other control notifications are not.
  if (code > 1) return FALSE;
  if (OnCmdMsg(id)) return TRUE;
  if (id == IDOK) {
    OnOK();
    return TRUE;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return TRUE;
  }
  CWinApp* app = AfxGetApp();
  if (app != nullptr && app->OnCmdMsg(id)) return TRUE;
  return FALSE;
}
