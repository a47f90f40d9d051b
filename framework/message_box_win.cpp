#include "framework/message_box.h"

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
  std::wstring wideTitle(title.size(), L'\0');
  const int chars =
      title.empty() ? 0
                    : ::MultiByteToWideChar(CP_ACP, 0, title.data(), static_cast<int>(title.size()),
                                            &wideTitle[0], static_cast<int>(wideTitle.size()));
  wideTitle.resize(static_cast<std::size_t>(chars > 0 ? chars : 0));
  return ::MessageBoxW(BoxOwner(app), text.c_str(), wideTitle.empty() ? nullptr : wideTitle.c_str(),
                       type);
}
