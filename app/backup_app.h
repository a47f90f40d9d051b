#pragma once

#include "framework/win_app.h"

class BackupApp : public CWinApp {
 public:
  bool InitInstance() override;
  MessageTable GetMessageTable() const override;

 private:
  static const MessageEntry kMessageTable[];
};
