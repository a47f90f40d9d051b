#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/backup_settings.h"
#include "settings/registry.h"
#include "settings/settings_codec.h"

// What the settings key holds. A missing value (or one of the wrong type or size) is nullopt, and
// the window keeps its default for it.
struct StoredSettings {
  std::optional<std::string> serverAddress;
  std::optional<std::string> remoteDirectory;
  std::optional<std::string> loginName;
  std::optional<std::string> password;  // plain
  std::vector<std::string> backupList;  // empty when "NumFiles" is missing
  std::optional<std::int32_t> sendTime;
  std::optional<bool> autoRunFlag;
};

StoredSettings LoadSettings(RegistryKey& key);

// Cuts the four texts to what the store keeps (kMaxTextBytes, never inside a two-byte character).
// "Apply Settings" runs it on the texts taken from the edits before they go into the record and
// SaveSettings, so the record holds exactly what was stored.
void CutToStoredTexts(BackupSettings& settings, LeadBytePredicate isLeadByte);

// Writes every value in a fixed order; failed writes leave the old value. List entries are written
// whole, whatever their length. Entries beyond the new count, left from a longer list, stay in the
// key: "NumFiles" keeps them from loading.
void SaveSettings(RegistryKey& key, const BackupSettings& settings,
                  const std::vector<std::string>& backupList);
