// The program's one top-level window: settings, backup list, buttons, timer and tray icon.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "framework/dialog.h"

class BackupDialog : public CDialog {
 public:
  BackupDialog();
  ~BackupDialog() override;

  MessageTable GetMessageTable() const override;

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;

 private:
  static const MessageEntry kMessageTable[];

  void OnSysCommand(UINT id, LPARAM param);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnTestSettings();
  void OnApplySettings();
  void OnAddFiles();
  void OnRemoveItem();
  void OnRemoveAll();
  void OnTrayShow();
  void OnTrayHide();
  void OnAbout();
  void OnTrayShutdown();
  LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR timerId);
  void OnAddWildcard();

  void ShowSendTime();

  HICON windowIcon_;
  std::string startDirectory_;
  HWND serverEdit_ = nullptr;
  HWND directoryEdit_ = nullptr;
  HWND loginEdit_ = nullptr;
  HWND passwordEdit_ = nullptr;
  HWND sendTimeControl_ = nullptr;
  HWND backupList_ = nullptr;
  HWND progressBar_ = nullptr;
  std::int32_t sendTime_ = 0;
  HWND autoRunCheck_ = nullptr;
  int hideOnFirstTick_ = 0;
};
