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

  // Start-up. Returning false ends the process without a message loop of the application's own.
  virtual BOOL InitInstance() { return FALSE; }

  // Help command of the framework; the program ships no help file, so there is nothing to open.
  void OnHelp() {}

  HINSTANCE m_hInstance = nullptr;
  int m_nCmdShow = SW_SHOWDEFAULT;
  CDialog* m_pMainWnd = nullptr;
  // The executable's file name without its extension; message boxes carry it as their title.
  std::string m_appName;
};

CWinApp* AfxGetApp();

// Runs the one application object and returns the process's exit code: the code of a quit message
// that ended the run, 0 otherwise.
int AfxWinMain(HINSTANCE instance, int showCommand);
