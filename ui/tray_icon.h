// One icon with a tip text in the taskbar notification area, and its right-click menu.
//
// Icon, tip and menu all come from one resource id of the program. Mouse events over the icon come
// back to the callback window as the callback message (wParam: icon id, lParam: mouse message); the
// window passes them to HandleNotification, which answers with the menu or with the menu's first
// command.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "framework/cmd_target.h"

class CTrayIcon : public CCmdTarget {
 public:
  CTrayIcon();
  // Removes the icon if it is shown; makes no shell call otherwise.
  ~CTrayIcon() override;
  CTrayIcon(const CTrayIcon&) = delete;
  CTrayIcon& operator=(const CTrayIcon&) = delete;

  // Clears the whole record (callback included), then takes the id and its tip string. Returns 1.
  BOOL Prepare(UINT resourceId);
  void SetCallback(HWND window, UINT message);
  // Shows icon and tip of `resourceId`, or removes the icon when it is 0 or has no icon resource.
  // The icon keeps the id given to Prepare.
  BOOL ShowResourceIcon(UINT resourceId);
  // Adds or changes the icon (`icon` given) or removes it (null). `tip`, when given, replaces the
  // tip text. Returns the shell's result, or 1 when there was nothing to remove.
  BOOL ApplyIcon(HICON icon, const char* tip);
  // Right button released: the menu at the cursor. Left double-click: the menu's first command
  // sent to the callback window. Returns 1 when it handled the notification, 0 otherwise.
  virtual LRESULT HandleNotification(WPARAM wParam, LPARAM lParam);
  // After the taskbar is re-created ("TaskbarCreated"): add the icon again if it was shown.
  BOOL Restore();

  const NOTIFYICONDATAA& Data() const { return data_; }

 protected:
  // The one place the shell is called, with the record as it stands.
  virtual BOOL CallShell(DWORD action);

 private:
  void LoadTip(UINT resourceId);
  void SetFlags(bool withIcon);

  // Only the fields of the first published form are used, and cbSize says so.
  NOTIFYICONDATAA data_;
};
