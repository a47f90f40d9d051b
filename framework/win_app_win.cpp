#include "framework/win_app.h"

#include <commctrl.h>

#include "base/process.h"

namespace {
CWinApp* theApp = nullptr;

std::string ExecutableBaseName() {
  std::string name = RunningExecutablePath();
  std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}
}  // namespace

CWinApp::CWinApp() { theApp = this; }

CWinApp::~CWinApp() {
  if (theApp == this) theApp = nullptr;
}

CWinApp* AfxGetApp() { return theApp; }

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 1;
  app->appName_ = ExecutableBaseName();

  // The date-time picker and the progress bar are common controls: their classes must be
  // registered before any dialog template names them.
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_DATE_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);

  app->InitInstance();
  MSG quit;
  if (::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    return static_cast<int>(quit.wParam);
  }
  return 0;
}
