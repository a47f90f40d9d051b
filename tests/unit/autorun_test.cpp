#include "settings/autorun.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "tests/unit/fake_registry.h"

namespace {

const std::string kCommand = "\"C:\\Program Files\\Quillory\\Quillory.exe\" RunHidden";
const std::string kOldCommand = "C:\\Old\\Quillory.exe RunHidden";

// The command in a Run value, which is always text.
std::optional<std::string> Stored(FakeKeyData* key) {
  if (key == nullptr) return std::nullopt;
  const auto it = key->values.find(kRunValueName);
  if (it == key->values.end()) return std::nullopt;
  EXPECT_EQ(it->second.type, kRegSz);
  return DecodeText(it->second);
}

// How the two Run keys stand before a case, besides the values they hold.
enum Keys : unsigned {
  kOpen = 0,
  kMachineReadOnly = 1,  // as for a user who is no administrator
  kMachineRefusesWrites = 2,
  kNoMachineKey = 4,
  kUserRefusesWrites = 8,
  kUserRefusesDeletes = 16,
  kUserClosed = 32,  // does not even open for reading
  kNoUserKey = 64,
};

TEST(AutoRunCommandTest, PathIsQuotedOnlyWhenItHoldsASpace) {
  EXPECT_EQ(AutoRunCommand("C:\\Tools\\Quillory.exe"), "C:\\Tools\\Quillory.exe RunHidden");
  EXPECT_EQ(AutoRunCommand("C:\\Program Files\\Quillory\\Quillory.exe"), kCommand);
}

TEST(RunHiddenSwitchTest, FoundAnywhereAndOnlyInItsOwnCase) {
  EXPECT_TRUE(HasRunHiddenSwitch("C:\\Tools\\Quillory.exe RunHidden"));
  EXPECT_TRUE(HasRunHiddenSwitch("\"C:\\RunHiddenDir\\Quillory.exe\""));
  EXPECT_TRUE(HasRunHiddenSwitch("Quillory.exe /xRunHiddeny"));
  EXPECT_FALSE(HasRunHiddenSwitch("Quillory.exe runhidden"));
  EXPECT_FALSE(HasRunHiddenSwitch("Quillory.exe Run Hidden"));
  EXPECT_FALSE(HasRunHiddenSwitch(""));
}

// Checked, the command goes machine-wide where that key can be written, else to the user's key,
// and is never in both; unchecked, it leaves both. Each row: the keys and their values as found,
// the box, what is reported and the values after.
TEST(AutoRun, RegistersWhereItCanAndRemovesFromBoth) {
  using Value = std::optional<std::string>;
  const Value none;
  const Value written = kAutoRunWriteError;
  const Value removed = kAutoRunRemoveError;
  const struct {
    const char* name;
    unsigned keys;
    Value machine, user;
    bool checked;
    Value reported;
    Value machineAfter, userAfter;
  } cases[] = {
      {"machine-wide", kOpen, none, none, true, none, kCommand, none},
      {"machine-wide, an earlier per-user copy removed", kOpen, none, kOldCommand, true, none,
       kCommand, none},
      {"machine key read-only: per user", kMachineReadOnly, none, none, true, none, none, kCommand},
      {"machine write refused: per user", kMachineRefusesWrites, none, none, true, none, none,
       kCommand},
      {"missing per-user key created", kMachineReadOnly | kNoUserKey, none, none, true, none, none,
       kCommand},
      {"same command machine-wide already: no per-user copy", kMachineReadOnly, kCommand, none,
       true, none, kCommand, none},
      {"both refuse writing", kMachineReadOnly | kUserRefusesWrites, none, none, true, written,
       none, none},
      {"user key closed", kMachineReadOnly | kUserClosed, none, none, true, written, none, none},
      {"unchecked: removed from both", kOpen, kCommand, kOldCommand, false, none, none, none},
      {"unchecked, no value", kOpen, none, none, false, none, none, none},
      {"unchecked, no value, neither writable", kMachineReadOnly | kUserClosed, none, none, false,
       none, none, none},
      {"unchecked, no value, no machine key", kMachineReadOnly | kNoMachineKey | kUserClosed, none,
       none, false, none, none, none},
      {"unchecked, machine key read-only: the per-user value removed", kMachineReadOnly, none,
       kCommand, false, none, none, none},
      // The part that could be removed is gone all the same.
      {"unchecked, machine value that cannot be removed", kMachineReadOnly, kCommand, kCommand,
       false, removed, kCommand, none},
      {"unchecked, deletion refused", kUserRefusesDeletes, none, kCommand, false, removed, none,
       kCommand},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry registry;
    const std::pair<RegistryRoot, std::string> machine{RegistryRoot::LocalMachine, kRunKeyPath};
    const std::pair<RegistryRoot, std::string> user{RegistryRoot::CurrentUser, kRunKeyPath};
    if (!(c.keys & kNoMachineKey)) {
      FakeKeyData& key = registry.keys[machine];
      if (c.machine) key.values[kRunValueName] = EncodeText(*c.machine);
      key.refuseWrites = c.keys & kMachineRefusesWrites;
    }
    if (!(c.keys & kNoUserKey)) {
      FakeKeyData& key = registry.keys[user];
      if (c.user) key.values[kRunValueName] = EncodeText(*c.user);
      key.refuseWrites = c.keys & kUserRefusesWrites;
      key.refuseDeletes = c.keys & kUserRefusesDeletes;
    }
    if (c.keys & kMachineReadOnly) registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
    if (c.keys & kUserClosed) registry.refuseAll.insert(RegistryRoot::CurrentUser);
    EXPECT_EQ(RegisterAutoRun(registry, c.checked, kCommand), c.reported);
    EXPECT_EQ(Stored(registry.Find(machine.first, machine.second)), c.machineAfter);
    EXPECT_EQ(Stored(registry.Find(user.first, user.second)), c.userAfter);
  }
}

}  // namespace
