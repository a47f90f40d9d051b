#include "framework/message_box.h"

#include "framework/dialog.h"
#include "framework/win_app.h"

int AfxMessageBox(const std::string& text, UINT type) {
  CWinApp* app = AfxGetApp();
  HWND owner = nullptr;
  std::string title;
  if (app != nullptr) {
    title = app->AppName();
    if (app->MainWindow() != nullptr && app->MainWindow()->GetSafeHwnd() != nullptr) {
      owner = ::GetLastActivePopup(app->MainWindow()->GetSafeHwnd());
    }
  }
  return ::MessageBoxA(owner, text.c_str(), title.empty() ? nullptr : title.c_str(), type);
}
