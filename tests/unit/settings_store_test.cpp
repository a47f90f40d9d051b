#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "tests/unit/fake_registry.h"

namespace {

RegistryValue Sz(const std::string& text) { return Raw(kRegSz, text + '\0'); }

bool IsShiftJisLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  FakeKeyData data;
  FakeRegistryKey key{data, true};

  BackupSettings Sample() {
    BackupSettings settings;
    settings.serverAddress = "ftp.example.test";
    settings.remoteDirectory = "backup";
    settings.loginName = "user";
    settings.password = "abc";
    settings.sendTime = 7200;
    settings.autoRunFlag = true;
    return settings;
  }
};

TEST_F(SettingsStoreTest, SaveWritesEveryValueInOrderWithItsType) {
  SaveSettings(key, Sample(), {"C:\\a.txt", "C:\\logs\\*.log"});
  const std::vector<std::string> expectedOrder = {
      kServerAddressValue, kRemoteDirectoryValue, kLoginNameValue,
      kPasswordValue,      kFileCountValue,       "FileListEntry0",
      "FileListEntry1",    kSendTimeValue,        kAutoRunFlagValue};
  EXPECT_EQ(data.writeOrder, expectedOrder);
  EXPECT_EQ(data.values[kServerAddressValue].data, std::string("ftp.example.test\0", 17));
  EXPECT_EQ(data.values[kServerAddressValue].type, kRegSz);
  EXPECT_EQ(data.values[kPasswordValue].data, std::string("bcd\0", 4));
  EXPECT_EQ(data.values[kPasswordValue].type, kRegSz);
  EXPECT_EQ(data.values[kFileCountValue].type, kRegDword);
  EXPECT_EQ(data.values[kFileCountValue].data, std::string("\x02\0\0\0", 4));
  EXPECT_EQ(data.values["FileListEntry1"].data, std::string("C:\\logs\\*.log\0", 14));
  EXPECT_EQ(data.values[kSendTimeValue].type, kRegDword);
  EXPECT_EQ(DecodeDword(data.values[kSendTimeValue]), 7200u);
  EXPECT_EQ(data.values[kAutoRunFlagValue].type, kRegDword);
  EXPECT_EQ(DecodeDword(data.values[kAutoRunFlagValue]), 1u);
}

TEST_F(SettingsStoreTest, EmptyFieldsAreStoredAsOneZeroByte) {
  BackupSettings settings;
  SaveSettings(key, settings, {});
  for (const char* name :
       {kServerAddressValue, kRemoteDirectoryValue, kLoginNameValue, kPasswordValue}) {
    EXPECT_EQ(data.values[name].data, std::string(1, '\0')) << name;
    EXPECT_EQ(data.values[name].type, kRegSz) << name;
  }
  EXPECT_EQ(DecodeDword(data.values[kFileCountValue]), 0u);
  EXPECT_EQ(data.values.count("FileListEntry0"), 0u);
}

TEST_F(SettingsStoreTest, ShorterListLeavesOldEntriesThatNoLongerLoad) {
  SaveSettings(key, Sample(), {"e0", "e1", "e2", "e3", "e4"});
  SaveSettings(key, Sample(), {"n0", "n1"});
  EXPECT_EQ(DecodeDword(data.values[kFileCountValue]), 2u);
  EXPECT_EQ(DecodeText(data.values["FileListEntry2"]), "e2");
  EXPECT_EQ(DecodeText(data.values["FileListEntry4"]), "e4");
  EXPECT_EQ(LoadSettings(key).backupList, (std::vector<std::string>{"n0", "n1"}));
}

TEST_F(SettingsStoreTest, SavedSettingsLoadBack) {
  BackupSettings settings = Sample();
  settings.password = "p\xFFw";  // a byte the plain +1 rule cannot store
  settings.sendTime = -3600;     // 00:00 local in a zone one hour east of UTC
  settings.autoRunFlag = false;
  const std::vector<std::string> list = {"C:\\one", std::string(5000, 'L'), "C:\\*.txt"};
  SaveSettings(key, settings, list);
  const StoredSettings loaded = LoadSettings(key);
  EXPECT_EQ(loaded.serverAddress, settings.serverAddress);
  EXPECT_EQ(loaded.remoteDirectory, settings.remoteDirectory);
  EXPECT_EQ(loaded.loginName, settings.loginName);
  EXPECT_EQ(loaded.password, settings.password);
  EXPECT_EQ(loaded.backupList, list);
  EXPECT_EQ(loaded.sendTime, -3600);
  EXPECT_EQ(loaded.autoRunFlag, false);
}

TEST_F(SettingsStoreTest, LongListEntriesAreWrittenWhole) {
  const std::string longEntry = "C:\\" + std::string(4000, 'd') + "\\file.txt";
  SaveSettings(key, Sample(), {longEntry});
  EXPECT_EQ(data.values["FileListEntry0"].data, longEntry + '\0');
}

TEST_F(SettingsStoreTest, PasswordLoadsUnscrambled) {
  data.values[kPasswordValue] = Sz("bcd");
  EXPECT_EQ(LoadSettings(key).password, "abc");
}

// Only the entries below the count that exist under their exact names, as text, load, in order.
TEST_F(SettingsStoreTest, ListLoadsTheEntriesBelowTheCountThatExist) {
  using Values = std::map<std::string, RegistryValue>;
  using Names = std::vector<std::string>;
  const struct {
    const char* name;
    Values values;
    Names list;
  } cases[] = {
      {"no count", Values{{"FileListEntry0", Sz("C:\\a")}, {"FileListEntry1", Sz("C:\\b")}},
       Names{}},
      {"missing entries skipped",
       Values{{kFileCountValue, EncodeDword(12)},
              {"FileListEntry0", Sz("zero")},
              {"FileListEntry2", Sz("two")},
              {"FileListEntry10", Sz("ten")},
              {"FileListEntry11", Raw(kRegDword, std::string(4, '\0'))},  // wrong type
              {"FileListEntry12", Sz("beyond the count")}},
       Names{"zero", "two", "ten"}},
      {"only exact names",
       Values{{kFileCountValue, EncodeDword(5)},
              {"FileListEntry01", Sz("leading zero")},
              {"FileListEntry-1", Sz("negative")},
              {"FileListEntry", Sz("no index")},
              {"FileListEntry1x", Sz("trailing text")},
              {"filelistentry3", Sz("other case")}},  // value names ignore case
       Names{"other case"}},
      {"huge count",
       Values{{kFileCountValue, EncodeDword(0xFFFFFFFFu)},
              {"FileListEntry0", Sz("first")},
              {"FileListEntry4294967294", Sz("last")},
              {"FileListEntry4294967295", Sz("not below the count")}},
       Names{"first", "last"}},
  };
  for (const auto& c : cases) {
    data.values = c.values;
    EXPECT_EQ(LoadSettings(key).backupList, c.list) << c.name;
  }
}

// Every value missing, or of the wrong type or size: nothing loads.
TEST_F(SettingsStoreTest, EmptyKeyOrValuesOfTheWrongTypeOrSizeLoadNothing) {
  const StoredSettings empty = LoadSettings(key);
  data.values[kServerAddressValue] = Raw(kRegDword, "abcd");
  data.values[kRemoteDirectoryValue] = Raw(3, std::string("dir\0", 4));  // REG_BINARY
  data.values[kLoginNameValue] = Sz(std::string(1000, 'u'));  // larger than the text buffer
  data.values[kPasswordValue] = Raw(kRegDword, EncodeDword(1).data);
  data.values[kFileCountValue] = Raw(kRegSz, std::string("\x01\0\0\0", 4));
  data.values["FileListEntry0"] = Sz("entry");
  data.values[kSendTimeValue] = Raw(kRegDword, std::string("\x10\x0e", 2));
  data.values[kAutoRunFlagValue] = Raw(kRegDword, std::string(8, '\0'));
  for (const StoredSettings& loaded : {empty, LoadSettings(key)}) {
    EXPECT_FALSE(loaded.serverAddress);
    EXPECT_FALSE(loaded.remoteDirectory);
    EXPECT_FALSE(loaded.loginName);
    EXPECT_FALSE(loaded.password);
    EXPECT_TRUE(loaded.backupList.empty());
    EXPECT_FALSE(loaded.sendTime);
    EXPECT_FALSE(loaded.autoRunFlag);
  }
}

TEST_F(SettingsStoreTest, TextsWithoutTerminatorShowNoBytesOfEarlierValues) {
  data.values[kServerAddressValue] = Sz("a-much-longer-server-name");
  data.values[kRemoteDirectoryValue] = Raw(kRegSz, "dir");
  data.values[kLoginNameValue] = Raw(kRegExpandSz, "me");
  const StoredSettings loaded = LoadSettings(key);
  EXPECT_EQ(loaded.remoteDirectory, "dir");
  EXPECT_EQ(loaded.loginName, "me");
}

TEST_F(SettingsStoreTest, StoredAutoRunNumberOtherThanZeroMeansChecked) {
  data.values[kAutoRunFlagValue] = EncodeDword(7);
  EXPECT_EQ(LoadSettings(key).autoRunFlag, true);
  data.values[kAutoRunFlagValue] = EncodeDword(0);
  EXPECT_EQ(LoadSettings(key).autoRunFlag, false);
}

TEST_F(SettingsStoreTest, NegativeSendTimeLoadsBackExactly) {
  data.values[kSendTimeValue] = EncodeDword(0xFFFF8F80u);
  EXPECT_EQ(LoadSettings(key).sendTime, -28800);
}

TEST(StoredTexts, EditTextsAreCutWithoutSplittingCharacters) {
  BackupSettings settings;
  std::string pairs;
  for (int i = 0; i < 600; ++i) pairs += "\x82\xA0";
  settings.serverAddress = std::string(1200, 's');
  settings.remoteDirectory = pairs;
  settings.loginName = "short";
  settings.password = std::string(1000, 'p');
  CutToStoredTexts(settings, IsShiftJisLeadByte);
  EXPECT_EQ(settings.serverAddress, std::string(999, 's'));
  EXPECT_EQ(settings.remoteDirectory, pairs.substr(0, 998));
  EXPECT_EQ(settings.loginName, "short");
  EXPECT_EQ(settings.password, std::string(999, 'p'));
}

}  // namespace
