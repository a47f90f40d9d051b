// The program's small modal dialogs: the welcome text, the About box and the wildcard entry.
#pragma once

#include <string>

#include "framework/dialog.h"

// Shown once, on the first run, before the main window appears.
class WelcomeDialog : public CDialog {
 public:
  explicit WelcomeDialog(CDialog* parent);

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;

 private:
  HWND textEdit_ = nullptr;
};

class AboutDialog : public CDialog {
 public:
  AboutDialog();
};

// Asks for one wildcard pattern; `Pattern()` is empty unless "Add" accepted one.
class WildcardDialog : public CDialog {
 public:
  WildcardDialog();
  const std::string& Pattern() const { return pattern_; }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;

 private:
  std::string pattern_;
  HWND patternEdit_ = nullptr;
};

// The welcome text: one paragraph, laid out by tabs for the edit control to wrap.
std::string WelcomeText();
