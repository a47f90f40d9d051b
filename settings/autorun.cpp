#include "settings/autorun.h"

#include <memory>

#include "settings/setting_names.h"
#include "settings/settings_codec.h"

namespace {

bool HoldsValue(RegistryKey& key) { return key.Read(kRunValueName).has_value(); }

// Removes the value from one Run key. False only when the value is there and stays there.
bool RemoveFrom(Registry& registry, RegistryRoot root) {
  std::unique_ptr<RegistryKey> key = registry.Open(root, kRunKeyPath, RegistryAccess::Full);
  if (key) return key->Delete(kRunValueName) || !HoldsValue(*key);
  // Without write access the value may still be there; a key that cannot even be read holds
  // nothing this user could be started by.
  std::unique_ptr<RegistryKey> readable = registry.Open(root, kRunKeyPath, RegistryAccess::Read);
  return !readable || !HoldsValue(*readable);
}

bool WriteTo(RegistryKey* key, const std::string& command) {
  return key != nullptr && key->Write(kRunValueName, EncodeText(command));
}

// A copy under both Run keys would start the program twice at log-on.
void RemoveUserCopy(Registry& registry) {
  std::unique_ptr<RegistryKey> key =
      registry.Open(RegistryRoot::CurrentUser, kRunKeyPath, RegistryAccess::Full);
  if (key) key->Delete(kRunValueName);
}

bool MachineWideHolds(Registry& registry, const std::string& command) {
  std::unique_ptr<RegistryKey> key =
      registry.Open(RegistryRoot::LocalMachine, kRunKeyPath, RegistryAccess::Read);
  if (!key) return false;
  const std::optional<RegistryValue> value = key->Read(kRunValueName);
  return value && DecodeText(*value) == command;
}

}  // namespace

std::string AutoRunCommand(const std::string& exePath) {
  const bool needsQuotes = exePath.find(' ') != std::string::npos;
  const std::string program = needsQuotes ? "\"" + exePath + "\"" : exePath;
  return program + " " + kRunHiddenSwitch;
}

std::optional<std::string> RegisterAutoRun(Registry& registry, bool enabled,
                                           const std::string& command) {
  if (!enabled) {
    const bool machineRemoved = RemoveFrom(registry, RegistryRoot::LocalMachine);
    const bool userRemoved = RemoveFrom(registry, RegistryRoot::CurrentUser);
    if (machineRemoved && userRemoved) return std::nullopt;
    return std::string(kAutoRunRemoveError);
  }

  std::unique_ptr<RegistryKey> machine =
      registry.Open(RegistryRoot::LocalMachine, kRunKeyPath, RegistryAccess::Full);
  if (WriteTo(machine.get(), command)) {
    RemoveUserCopy(registry);
    return std::nullopt;
  }
  // Already registered machine-wide by an administrator: a user copy would only add a second start.
  if (MachineWideHolds(registry, command)) return std::nullopt;
  std::unique_ptr<RegistryKey> user = registry.Create(RegistryRoot::CurrentUser, kRunKeyPath);
  if (WriteTo(user.get(), command)) return std::nullopt;
  return std::string(kAutoRunWriteError);
}

bool HasRunHiddenSwitch(const std::string& commandLine) {
  return commandLine.find(kRunHiddenSwitch) != std::string::npos;
}
