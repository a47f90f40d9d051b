#include "framework/message_box.h"

#include "base/wide_win.h"

#include "framework/dialog.h"
#include "framework/win_app.h"

namespace {

HWND BoxOwner(CWinApp* app) {
  if (app == nullptr || app->MainWindow() == nullptr ||
      app->MainWindow()->GetSafeHwnd() == nullptr) {
    return nullptr;
  }
  return ::GetLastActivePopup(app->MainWindow()->GetSafeHwnd());
}

std::string BoxTitle(CWinApp* app) { return app != nullptr ? app->AppName() : std::string(); }

}  // namespace

int AfxMessageBox(const std::string& text, UINT type) {
  CWinApp* app = AfxGetApp();
  const std::string title = BoxTitle(app);
  return ::MessageBoxA(BoxOwner(app), text.c_str(), title.empty() ? nullptr : title.c_str(), type);
}

int AfxMessageBox(const std::wstring& text, UINT type) {
  CWinApp* app = AfxGetApp();
  const std::string title = BoxTitle(app);
  const std::wstring wideTitle = WideFromAnsi(title);
  return ::MessageBoxW(BoxOwner(app), text.c_str(), wideTitle.empty() ? nullptr : wideTitle.c_str(),
                       type);
}
