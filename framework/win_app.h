// The application object and the main routine that runs it.
#pragma once

#include <windows.h>

#include <string>

#include "framework/cmd_target.h"

class CDialog;

class CWinApp : public CCmdTarget {
 public:
  CWinApp();
  ~CWinApp() override;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Start-up. The process ends when it returns: there is no message loop of the application's
  // own, whichever answer it gives.
  virtual bool InitInstance() { return false; }

  // Help command of the framework; the program ships no help file, so there is nothing to open.
  void OnHelp() {}

  CDialog* MainWindow() const { return mainWindow_; }
  void SetMainWindow(CDialog* window) { mainWindow_ = window; }
  // The executable's file name without its extension; message boxes carry it as their title.
  const std::string& AppName() const { return appName_; }

 private:
  friend int AfxWinMain();
  CDialog* mainWindow_ = nullptr;
  std::string appName_;
};

CWinApp* AfxGetApp();

// Runs the one application object and returns the process's exit code: the code of a quit message
// that ended the run, 0 otherwise.
int AfxWinMain();
