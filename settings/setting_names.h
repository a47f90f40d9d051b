#pragma once

#include <cstdint>
#include <string>

// Per-user settings key, under HKEY_CURRENT_USER.
inline constexpr char kSettingsKeyPath[] = "Software\\Brannoch\\Quillory";

// Value names are the names of the controls the values come from.
inline constexpr char kServerAddressValue[] = "DomainEdit";
inline constexpr char kRemoteDirectoryValue[] = "DirectoryEdit";
inline constexpr char kLoginNameValue[] = "LoginEdit";
inline constexpr char kPasswordValue[] = "PasswordEdit";
inline constexpr char kFileCountValue[] = "NumFiles";
inline constexpr char kFileListEntryPrefix[] = "FileListEntry";
inline constexpr char kSendTimeValue[] = "SendTime";
inline constexpr char kAutoRunFlagValue[] = "AutoRunCheck";
// The certificates accepted per server, one record each: "host:port FINGERPRINT" (SHA-256, hex
// pairs), with " trusted" behind it when Windows trusted that certificate. A REG_MULTI_SZ; a REG_SZ
// holds the one record that earlier versions kept.
inline constexpr char kServerCertificateValue[] = "ServerCertificate";
inline constexpr char kTrustedCertificateMark[] = "trusted";

// "FileListEntry%d": the zero-based index in decimal, no leading zeros.
inline std::string FileListEntryName(std::uint32_t index) {
  return kFileListEntryPrefix + std::to_string(index);
}

// Start-with-Windows registration: the same sub-key under HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.
inline constexpr char kRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValueName[] = "Quillory";

// Command-line switch the Run value carries; matched case-sensitively anywhere in the command line.
inline constexpr char kRunHiddenSwitch[] = "RunHidden";
