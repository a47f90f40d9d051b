#include "settings/autorun.h"

#include <gtest/gtest.h>

#include <string>

#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "tests/unit/fake_registry.h"

namespace {

const std::string kCommand = "\"C:\\Program Files\\Quillory\\Quillory.exe\" RunHidden";
const std::string kOldCommand = "C:\\Old\\Quillory.exe RunHidden";

class AutoRunTest : public ::testing::Test {
 protected:
  FakeRegistry registry;

  AutoRunTest() {
    registry.keys[{RegistryRoot::LocalMachine, kRunKeyPath}];
    registry.keys[{RegistryRoot::CurrentUser, kRunKeyPath}];
  }

  FakeKeyData& Machine() { return *registry.Find(RegistryRoot::LocalMachine, kRunKeyPath); }
  FakeKeyData* User() { return registry.Find(RegistryRoot::CurrentUser, kRunKeyPath); }

  static std::optional<std::string> Stored(FakeKeyData* key) {
    if (key == nullptr) return std::nullopt;
    const auto it = key->values.find(kRunValueName);
    if (it == key->values.end()) return std::nullopt;
    return DecodeText(it->second);
  }

  static void Put(FakeKeyData& key, const std::string& command) {
    key.values[kRunValueName] = EncodeText(command);
  }
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

TEST_F(AutoRunTest, CheckedWritesTheMachineWideValueAsText) {
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  const RegistryValue& value = Machine().values[kRunValueName];
  EXPECT_EQ(value.type, kRegSz);
  EXPECT_EQ(value.data, kCommand + '\0');
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, MachineWideWriteRemovesAnEarlierPerUserCopy) {
  Put(*User(), kOldCommand);
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  EXPECT_EQ(Stored(&Machine()), kCommand);
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, RefusedMachineWideKeyFallsBackToThePerUserKey) {
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  EXPECT_EQ(Stored(User()), kCommand);
  EXPECT_EQ(User()->values[kRunValueName].type, kRegSz);
  EXPECT_EQ(Stored(&Machine()), std::nullopt);
}

TEST_F(AutoRunTest, RefusedMachineWideWriteFallsBackToThePerUserKey) {
  Machine().refuseWrites = true;
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  EXPECT_EQ(Stored(User()), kCommand);
}

TEST_F(AutoRunTest, MissingPerUserRunKeyIsCreated) {
  registry.keys.erase({RegistryRoot::CurrentUser, kRunKeyPath});
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  EXPECT_EQ(Stored(User()), kCommand);
}

TEST_F(AutoRunTest, SameCommandAlreadyMachineWideNeedsNoPerUserCopy) {
  Put(Machine(), kCommand);
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::nullopt);
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, BothKeysRefusedReportsTheWriteFailure) {
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  User()->refuseWrites = true;
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::string(kAutoRunWriteError));
  EXPECT_EQ(std::string(kAutoRunWriteError),
            "ERROR: Failed to implement autorun component using the registry.");

  registry.refuseAll.insert(RegistryRoot::CurrentUser);
  EXPECT_EQ(RegisterAutoRun(registry, true, kCommand), std::string(kAutoRunWriteError));
}

TEST_F(AutoRunTest, UncheckedRemovesTheValueFromBothKeys) {
  Put(Machine(), kCommand);
  Put(*User(), kOldCommand);
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::nullopt);
  EXPECT_EQ(Stored(&Machine()), std::nullopt);
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, UncheckedWithoutAValueIsNoError) {
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::nullopt);
}

TEST_F(AutoRunTest, UncheckedWithoutAValueIsNoErrorEvenWhenTheKeysRefuseWriting) {
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  registry.refuseAll.insert(RegistryRoot::CurrentUser);
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::nullopt);

  registry.keys.erase({RegistryRoot::LocalMachine, kRunKeyPath});
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::nullopt);
}

TEST_F(AutoRunTest, UncheckedRemovesThePerUserValueWhenTheMachineWideKeyRefusesWriting) {
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  Put(*User(), kCommand);
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::nullopt);
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, MachineWideValueThatCannotBeRemovedIsReported) {
  Put(Machine(), kCommand);
  Put(*User(), kCommand);
  registry.refuseFullAccess.insert(RegistryRoot::LocalMachine);
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::string(kAutoRunRemoveError));
  EXPECT_EQ(std::string(kAutoRunRemoveError),
            "ERROR: Failed to remove autorun component from the registry");
  // The part that could be removed is gone all the same.
  EXPECT_EQ(Stored(User()), std::nullopt);
}

TEST_F(AutoRunTest, ValueWhoseDeletionFailsIsReported) {
  Put(*User(), kCommand);
  User()->refuseDeletes = true;
  EXPECT_EQ(RegisterAutoRun(registry, false, kCommand), std::string(kAutoRunRemoveError));
}

}  // namespace
