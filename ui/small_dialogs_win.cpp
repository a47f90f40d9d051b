#include "ui/small_dialogs.h"

#include "framework/message_box.h"
#include "resources/resource.h"

std::string WelcomeText() {
  const std::string twelveTabs(12, '\t');
  const std::string sixTabs(6, '\t');
  return "Dear Customer," + twelveTabs +
         "Quillory is an autonomous backup system which can efficiently "
         "backup any selected files to a server on a daily basis. "
         "Since this program is autonomous it does not need to remain visible. "
         "Therefore, after this session, it will run in the background of windows. "
         "If you look at the bottom right corner of your screen you will see "
         "a small icon. This is all you will see after this session. "
         "Whenever you wish to make changes within this application you "
         "can get back here by double-clicking it. We hope you will find this "
         "application useful." +
         twelveTabs + "Sincerely," + sixTabs + "Brannoch";
}

WelcomeDialog::WelcomeDialog(CDialog* parent) : CDialog(IDD_WELCOME, parent) {}

BOOL WelcomeDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  textEdit_ = GetDlgItem(IDC_WELCOME_TEXT);
  ::SetWindowTextA(textEdit_, WelcomeText().c_str());
  return TRUE;
}

void WelcomeDialog::OnOK() { CDialog::OnOK(); }

AboutDialog::AboutDialog() : CDialog(IDD_ABOUTBOX) {}

WildcardDialog::WildcardDialog() : CDialog(IDD_WILDCARD) {}

BOOL WildcardDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  patternEdit_ = GetDlgItem(IDC_WILDCARD_EDIT);
  return TRUE;
}

void WildcardDialog::OnOK() {
  pattern_ = GetDlgItemText(IDC_WILDCARD_EDIT);
  // Only "*" makes a pattern: a bare name or a "?" alone would name one file, which "Add File(s)"
  // is for. The edit keeps the refused text so it can be corrected.
  if (!pattern_.empty() && pattern_.find('*') == std::string::npos) {
    AfxMessageBox("You did not enter a valid wildcard.", MB_OK);
    pattern_.clear();
    return;
  }
  CDialog::OnOK();
}
