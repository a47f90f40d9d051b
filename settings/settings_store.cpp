#include "settings/settings_store.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "settings/setting_names.h"

namespace {

std::optional<std::string> ReadEditText(RegistryKey& key, const char* name) {
  const std::optional<RegistryValue> value = key.Read(name);
  if (!value) return std::nullopt;
  return DecodeText(*value, kTextBufferSize);
}

std::optional<std::uint32_t> ReadDword(RegistryKey& key, const char* name) {
  const std::optional<RegistryValue> value = key.Read(name);
  if (!value) return std::nullopt;
  return DecodeDword(*value);
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The index of a list entry value, for the names a lookup of FileListEntryName(index) finds: the
// registry compares value names without regard to case, and the index has no leading zeros.
std::optional<std::uint32_t> ParseEntryIndex(const std::string& name) {
  const std::size_t prefixLength = std::strlen(kFileListEntryPrefix);
  if (name.size() <= prefixLength) return std::nullopt;
  if (!EqualsIgnoringAsciiCase(name.substr(0, prefixLength), kFileListEntryPrefix)) {
    return std::nullopt;
  }
  const std::string digits = name.substr(prefixLength);
  constexpr std::size_t kMaxIndexDigits = 10;
  if (digits.size() > kMaxIndexDigits) return std::nullopt;
  std::uint64_t index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (index > UINT32_MAX || std::to_string(index) != digits) return std::nullopt;
  return static_cast<std::uint32_t>(index);
}

// Entries 0 .. count-1 that exist, in index order. Walking the key's values instead of querying
// every index keeps a damaged "NumFiles" (up to four billion) from stalling the start.
std::vector<std::string> ReadBackupList(RegistryKey& key, std::uint32_t count) {
  std::vector<std::pair<std::uint32_t, std::string>> present;
  for (const std::string& name : key.ValueNames()) {
    const std::optional<std::uint32_t> index = ParseEntryIndex(name);
    if (index && *index < count) present.emplace_back(*index, name);
  }
  std::sort(present.begin(), present.end());
  std::vector<std::string> list;
  for (const auto& entry : present) {
    const std::optional<RegistryValue> value = key.Read(entry.second);
    if (!value) continue;
    std::optional<std::string> text = DecodeText(*value);
    if (text) list.push_back(std::move(*text));
  }
  return list;
}

}  // namespace

StoredSettings LoadSettings(RegistryKey& key) {
  StoredSettings stored;
  stored.serverAddress = ReadEditText(key, kServerAddressValue);
  stored.remoteDirectory = ReadEditText(key, kRemoteDirectoryValue);
  stored.loginName = ReadEditText(key, kLoginNameValue);
  const std::optional<std::string> scrambled = ReadEditText(key, kPasswordValue);
  if (scrambled) stored.password = UnscrambleText(*scrambled);
  const std::optional<std::uint32_t> count = ReadDword(key, kFileCountValue);
  if (count) stored.backupList = ReadBackupList(key, *count);
  const std::optional<std::uint32_t> sendTime = ReadDword(key, kSendTimeValue);
  if (sendTime) stored.sendTime = SendTimeFromDword(*sendTime);
  const std::optional<std::uint32_t> autoRun = ReadDword(key, kAutoRunFlagValue);
  // The check box knows only checked and unchecked; any other stored number means checked.
  if (autoRun) stored.autoRunFlag = *autoRun != 0;
  return stored;
}

void CutToStoredTexts(BackupSettings& settings, LeadBytePredicate isLeadByte) {
  settings.serverAddress = CutToTextLimit(settings.serverAddress, isLeadByte);
  settings.remoteDirectory = CutToTextLimit(settings.remoteDirectory, isLeadByte);
  settings.loginName = CutToTextLimit(settings.loginName, isLeadByte);
  settings.password = CutToTextLimit(settings.password, isLeadByte);
}

void SaveSettings(RegistryKey& key, const BackupSettings& settings,
                  const std::vector<std::string>& backupList) {
  key.Write(kServerAddressValue, EncodeText(settings.serverAddress));
  key.Write(kRemoteDirectoryValue, EncodeText(settings.remoteDirectory));
  key.Write(kLoginNameValue, EncodeText(settings.loginName));
  key.Write(kPasswordValue, EncodeText(ScrambleText(settings.password)));
  const auto count = static_cast<std::uint32_t>(backupList.size());
  key.Write(kFileCountValue, EncodeDword(count));
  for (std::uint32_t index = 0; index < count; ++index) {
    key.Write(FileListEntryName(index), EncodeText(backupList[index]));
  }
  key.Write(kSendTimeValue, EncodeDword(SendTimeToDword(settings.sendTime)));
  key.Write(kAutoRunFlagValue, EncodeDword(settings.autoRunFlag ? 1u : 0u));
}
