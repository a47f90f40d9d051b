// Modal dialogs built from a dialog template in the program's resources.
#pragma once

#include <windows.h>

#include <string>

#include "framework/cmd_target.h"

class CDialog : public CCmdTarget {
 public:
  // No parent: like any modal box of this program, the dialog is owned by the main window.
  explicit CDialog(UINT templateId, CDialog* parent = nullptr);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the dialog, runs it until EndDialog or a quit message, destroys it and returns the
  // result given to EndDialog (IDABORT when a quit message ended the run).
  INT_PTR DoModal();
  void EndDialog(int result);

  HWND GetSafeHwnd() const { return hwnd_; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
  std::string GetDlgItemText(int id) const;

 protected:
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }

  // Called from a handler: let the system's default dialog processing have the message as well.
  void Default() { wantsDefault_ = true; }

  HWND hwnd_ = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleCommand(WPARAM wParam);

  UINT templateId_;
  CDialog* parent_;
  bool ended_ = false;
  INT_PTR result_ = IDABORT;
  bool wantsDefault_ = false;
};
