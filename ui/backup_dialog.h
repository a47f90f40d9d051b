// The program's one top-level window: settings, backup list, buttons, timer and tray icon.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "backup/transfer_run.h"
#include "framework/dialog.h"
#include "settings/backup_settings.h"
#include "settings/registry.h"
#include "ui/tray_icon.h"

class BackupDialog : public CDialog, private TransferWindow {
 public:
  BackupDialog();
  ~BackupDialog() override;

  MessageTable GetMessageTable() const override;

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;

 private:
  static const UINT taskbarCreatedMessage;
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
  LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR timerId);
  void OnAddWildcard();

  void ShowSendTime();
  void LoadSettings();
  void TakeSettingsFromWindow();
  void UpdateAutoRun();
  int RunTransfer();
  std::vector<std::string> BackupListEntries();

  // What a transfer run sees of the window.
  bool IsVisible() override;
  void ShowNow() override;
  void Hide() override;
  void Pause(unsigned milliseconds) override;
  bool AskYesNo(const std::string& text) override;
  void Tell(const std::string& text) override;
  int EntryCount() override;
  std::string Entry(int index) override;
  void SetProgressRange(int count) override;
  void StepProgress() override;
  void ResetProgress() override;
  std::optional<CertificateRecord> StoredCertificate(const std::string& server) override;
  void StoreCertificate(const CertificateRecord& record) override;

  HICON windowIcon_;
  CTrayIcon trayIcon_;
  // Held from start-up to exit; null if it cannot be had.
  std::unique_ptr<RegistryKey> settingsKey_;
  std::string startDirectory_;
  HWND serverEdit_ = nullptr;
  HWND directoryEdit_ = nullptr;
  HWND loginEdit_ = nullptr;
  HWND passwordEdit_ = nullptr;
  HWND sendTimeControl_ = nullptr;
  HWND backupList_ = nullptr;
  HWND progressBar_ = nullptr;
  BackupSettings settings_;
  HWND autoRunCheck_ = nullptr;
  bool hideOnFirstTick_ = false;
};
