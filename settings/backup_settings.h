#pragma once

#include <cstdint>
#include <string>

// Seconds since 1970-01-01 00:00:00 UTC: 06:00 in UTC, shown as that moment's local time of day.
constexpr std::int32_t kDefaultSendTime = 21600;

// The working settings the main window holds. The backup list has no copy here: the list box is
// its only holder while the program runs.
struct BackupSettings {
  std::string serverAddress;
  std::string remoteDirectory;
  std::string loginName;
  std::string password;                      // plain in memory; scrambled only in the registry
  std::int32_t sendTime = kDefaultSendTime;  // seconds since 1970-01-01 UTC, signed
  bool autoRunFlag = true;                   // stored as a DWORD 0 or 1
};
