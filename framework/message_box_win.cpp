#include "framework/message_box.h"

#include "framework/dialog.h"
#include "framework/win_app.h"

int AfxMessageBox(const std::string& text, UINT type) {
  CWinApp* app = AfxGetApp();
  HWND owner = nullptr;
  std::string title;
  if (app != nullptr) {
    title = app->m_appName;
    if (app->m_pMainWnd != nullptr && app->m_pMainWnd->GetSafeHwnd() != nullptr) {
      owner = ::GetLastActivePopup(app->m_pMainWnd->GetSafeHwnd());
    }
  }
  return ::MessageBoxA(owner, text.c_str(), title.empty() ? nullptr : title.c_str(), type);
}
