// The program's one top-level window: settings, backup list, buttons, timer and tray icon.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
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
  LRESULT OnWindowThreadWork(WPARAM wParam, LPARAM lParam);
  LRESULT OnRunEnded(WPARAM wParam, LPARAM lParam);
  LRESULT OnQueryEndSession(WPARAM wParam, LPARAM lParam);
  LRESULT OnEndSession(WPARAM wParam, LPARAM lParam);

  void ShowSendTime();
  void LoadSettings();
  void TakeSettingsFromWindow();
  void UpdateAutoRun();
  // Starts a run on the worker thread; does nothing while one goes.
  void RunTransfer();
  void RunOnWorker(const TransferSettings& transfer);
  // Runs work on the window's thread and returns when it is done: every TransferWindow method
  // the worker calls wraps its body in it.
  void OnWindowThread(const std::function<void()>& work);
  // Ends a run for a shutdown: stops it, answers its open box No, and once it has ended does
  // `then` (on the window's thread).
  void StopRunThen(std::function<void()> then);
  // Waits for the run to end while serving what its thread asks of the window; false when it
  // did not end in time.
  bool WaitForRunEnd(DWORD limitMs);
  void ShowRunState(bool running);
  void SetTip(const std::string& tip);
  std::vector<std::string> BackupListEntries();

  // What a transfer run sees of the window.
  bool IsVisible() override;
  void ShowNow() override;
  void Hide() override;
  bool Pause(unsigned milliseconds) override;
  bool AskYesNo(const std::string& text) override;
  void Tell(const std::string& text) override;
  int EntryCount() override;
  std::string Entry(int index) override;
  void ShowProgress(const RunProgress& progress) override;
  void ResetProgress() override;
  std::optional<CertificateRecord> StoredCertificate(const std::string& server) override;
  void StoreCertificate(const CertificateRecord& record) override;

  HICON windowIcon_;
  CTrayIcon trayIcon_;
  // Held from start-up to exit; null if it cannot be had.
  std::unique_ptr<RegistryKey> settingsKey_;
  // The working directory at start, as captured; nothing reads it now: the Run value names the
  // executable's own path, which a start from elsewhere does not change.
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

  // The run: one at a time, on its own thread; the window's thread only shows what it posts.
  DWORD windowThread_ = 0;
  std::thread worker_;
  net::StopSignal stop_;
  HANDLE runEnded_ = nullptr;
  bool running_ = false;
  // A shutdown is under way: the run asks nothing and tells nothing more.
  bool quitting_ = false;
  std::function<void()> afterRun_;
  std::string runStartedAt_;
  RunCounts runCounts_;
  std::string testSettingsCaption_;
  std::string tip_;
};
