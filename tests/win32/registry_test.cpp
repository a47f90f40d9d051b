#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/process.h"
#include "settings/autorun.h"
#include "settings/registry.h"
#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "settings/settings_store.h"

namespace {

// A key of its own per test process under HKEY_CURRENT_USER, removed afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  std::string path = "Software\\QuilloryTest-" + std::to_string(GetCurrentProcessId());
  std::unique_ptr<RegistryKey> key;
  HKEY raw = nullptr;

  void SetUp() override {
    key = SystemRegistry().Create(RegistryRoot::CurrentUser, path);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &raw),
              ERROR_SUCCESS);
  }

  void TearDown() override {
    key.reset();
    if (raw != nullptr) RegCloseKey(raw);
    RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
  }

  void SetRaw(const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExA(raw, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }

  // Type and bytes exactly as the registry holds them.
  bool GetRaw(const char* name, DWORD& type, std::string& data) {
    DWORD size = 0;
    if (RegQueryValueExA(raw, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return false;
    }
    std::vector<BYTE> buffer(size + 1);
    size = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExA(raw, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS) {
      return false;
    }
    data.assign(reinterpret_cast<const char*>(buffer.data()), size);
    return true;
  }

  static BackupSettings Sample() {
    BackupSettings settings;
    settings.serverAddress = "127.0.0.1";
    settings.remoteDirectory = "";
    settings.loginName = "tester";
    settings.password = "abc";
    settings.sendTime = 7200;
    settings.autoRunFlag = true;
    return settings;
  }
};

TEST_F(RegistryTest, OpenFindsOnlyExistingKeys) {
  EXPECT_NE(SystemRegistry().Open(RegistryRoot::CurrentUser, path, RegistryAccess::Full), nullptr);
  EXPECT_NE(SystemRegistry().Open(RegistryRoot::CurrentUser, path, RegistryAccess::Read), nullptr);
  EXPECT_EQ(
      SystemRegistry().Open(RegistryRoot::CurrentUser, path + "\\Missing", RegistryAccess::Full),
      nullptr);
}

TEST_F(RegistryTest, ValuesRoundTripWithTypeAndExactBytes) {
  const std::string binary("a\0b\xFF", 4);
  RegistryValue value;
  value.type = REG_BINARY;
  value.data = binary;
  ASSERT_TRUE(key->Write("Bytes", value));
  const std::optional<RegistryValue> read = key->Read("Bytes");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->type, static_cast<std::uint32_t>(REG_BINARY));
  EXPECT_EQ(read->data, binary);

  ASSERT_TRUE(key->Write("Empty", EncodeText("")));
  EXPECT_EQ(key->Read("Empty")->data, std::string(1, '\0'));

  EXPECT_FALSE(key->Read("Missing"));
  EXPECT_TRUE(key->Delete("Bytes"));
  EXPECT_FALSE(key->Delete("Bytes"));
  EXPECT_FALSE(key->Read("Bytes"));
}

TEST_F(RegistryTest, ValueNamesListsEveryValue) {
  SetRaw("One", REG_SZ, std::string("1\0", 2));
  SetRaw("Two", REG_DWORD, std::string(4, '\0'));
  std::vector<std::string> names = key->ValueNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"One", "Two"}));
}

TEST_F(RegistryTest, SaveStoresTheDocumentedTypesAndSizes) {
  SaveSettings(*key, Sample(), {"C:\\data\\report.doc", "C:\\logs\\*.log"});
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(GetRaw(kServerAddressValue, type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("127.0.0.1\0", 10));
  ASSERT_TRUE(GetRaw(kRemoteDirectoryValue, type, data));
  EXPECT_EQ(data, std::string(1, '\0'));
  ASSERT_TRUE(GetRaw(kPasswordValue, type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("bcd\0", 4));
  ASSERT_TRUE(GetRaw(kFileCountValue, type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\x02\0\0\0", 4));
  ASSERT_TRUE(GetRaw("FileListEntry1", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("C:\\logs\\*.log\0", 14));
  ASSERT_TRUE(GetRaw(kSendTimeValue, type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\x20\x1c\0\0", 4));
  ASSERT_TRUE(GetRaw(kAutoRunFlagValue, type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\x01\0\0\0", 4));
}

TEST_F(RegistryTest, ShortenedListKeepsOldEntriesButLoadsTheNewCount) {
  SaveSettings(*key, Sample(), {"e0", "e1", "e2", "e3", "e4"});
  SaveSettings(*key, Sample(), {"n0", "n1"});
  DWORD type = 0;
  std::string data;
  EXPECT_TRUE(GetRaw("FileListEntry2", type, data));
  EXPECT_TRUE(GetRaw("FileListEntry4", type, data));
  EXPECT_EQ(LoadSettings(*key).backupList, (std::vector<std::string>{"n0", "n1"}));
}

TEST_F(RegistryTest, TextWithoutTerminatorLoadsWithoutStaleBytes) {
  SetRaw(kServerAddressValue, REG_SZ, std::string("a-much-longer-server-name\0", 26));
  SetRaw(kRemoteDirectoryValue, REG_SZ, "dir");
  SetRaw(kLoginNameValue, REG_EXPAND_SZ, "me");
  const StoredSettings loaded = LoadSettings(*key);
  EXPECT_EQ(loaded.serverAddress, "a-much-longer-server-name");
  EXPECT_EQ(loaded.remoteDirectory, "dir");
  EXPECT_EQ(loaded.loginName, "me");
}

TEST_F(RegistryTest, WrongTypeOrSizeCountsAsMissing) {
  SetRaw(kServerAddressValue, REG_BINARY, std::string("host\0", 5));
  SetRaw(kPasswordValue, REG_SZ, std::string(1200, 'p') + '\0');
  SetRaw(kFileCountValue, REG_BINARY, std::string("\x01\0\0\0", 4));
  SetRaw("FileListEntry0", REG_SZ, std::string("entry\0", 6));
  SetRaw(kSendTimeValue, REG_DWORD, std::string("\x10\x0e\0\0\0\0\0\0", 8));
  SetRaw(kAutoRunFlagValue, REG_SZ, std::string("\x01\0\0\0", 4));
  const StoredSettings loaded = LoadSettings(*key);
  EXPECT_FALSE(loaded.serverAddress);
  EXPECT_FALSE(loaded.password);
  EXPECT_TRUE(loaded.backupList.empty());
  EXPECT_FALSE(loaded.sendTime);
  EXPECT_FALSE(loaded.autoRunFlag);
}

TEST_F(RegistryTest, ListLoadsPresentEntriesInIndexOrder) {
  SetRaw(kFileCountValue, REG_DWORD, std::string("\x0c\0\0\0", 4));
  SetRaw("FileListEntry10", REG_SZ, std::string("ten\0", 4));
  SetRaw("FileListEntry2", REG_SZ, std::string("two\0", 4));
  SetRaw("filelistentry0", REG_SZ, std::string("zero\0", 5));
  SetRaw("FileListEntry12", REG_SZ, std::string("beyond\0", 7));
  EXPECT_EQ(LoadSettings(*key).backupList, (std::vector<std::string>{"zero", "two", "ten"}));
}

TEST_F(RegistryTest, EverythingSavedLoadsBackExactly) {
  BackupSettings settings = Sample();
  settings.serverAddress = std::string(1500, 's');
  settings.password =
      "\xFF"
      "pass\xFF";
  settings.sendTime = -9 * 3600;
  settings.autoRunFlag = false;
  CutToStoredTexts(settings, IsAnsiLeadByte);
  const std::vector<std::string> list = {std::string(5000, 'L'), "C:\\short.txt"};
  SaveSettings(*key, settings, list);

  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(GetRaw(kPasswordValue, type, data));
  EXPECT_EQ(data, std::string("\x01qbtt\x01\0", 7));

  const StoredSettings loaded = LoadSettings(*key);
  EXPECT_EQ(loaded.serverAddress, std::string(999, 's'));
  EXPECT_EQ(loaded.password, settings.password);
  EXPECT_EQ(loaded.backupList, list);
  EXPECT_EQ(loaded.sendTime, -9 * 3600);
  EXPECT_EQ(loaded.autoRunFlag, false);
}

// Runs where the ANSI code page has two-byte characters (for example Wine started with
// LANG=ja_JP.UTF-8, code page 932).
TEST_F(RegistryTest, CutTextOfTwoByteCharactersStoresWholeCharacters) {
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  if (info.MaxCharSize != 2) GTEST_SKIP() << "single-byte ANSI code page";
  const std::wstring wide(600, L'\x3042');
  char buffer[2 * 600 + 1] = {};
  BOOL usedDefault = FALSE;
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), 600, buffer, sizeof buffer,
                                        nullptr, &usedDefault);
  if (bytes != 1200 || usedDefault) GTEST_SKIP() << "code page without that character";

  BackupSettings settings = Sample();
  settings.serverAddress.assign(buffer, 1200);
  settings.loginName = "a" + settings.serverAddress;
  CutToStoredTexts(settings, IsAnsiLeadByte);
  EXPECT_EQ(settings.serverAddress.size(), 998u);
  EXPECT_EQ(settings.loginName.size(), 999u);
  SaveSettings(*key, settings, {});

  const StoredSettings loaded = LoadSettings(*key);
  ASSERT_TRUE(loaded.serverAddress);
  EXPECT_EQ(*loaded.serverAddress, std::string(buffer, 998));
  EXPECT_EQ(loaded.loginName, settings.loginName);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, loaded.serverAddress->c_str(),
                                static_cast<int>(loaded.serverAddress->size()), nullptr, 0),
            499);
}

TEST(AnsiCodePageTest, LeadBytesFollowTheCodePage) {
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  const bool doubleByte = info.MaxCharSize == 2;
  EXPECT_EQ(IsAnsiLeadByte('A'), false);
  if (!doubleByte) {
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(IsAnsiLeadByte(static_cast<unsigned char>(b)));
  } else {
    EXPECT_TRUE(IsAnsiLeadByte(info.LeadByte[0]));
  }
}

TEST(ProcessTest, ExecutablePathAndCommandLine) {
  const std::string exe = RunningExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_NE(GetFileAttributesA(exe.c_str()), INVALID_FILE_ATTRIBUTES);
  const std::size_t slash = exe.find_last_of('\\');
  const std::string fileName = exe.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::string stem = fileName.substr(0, fileName.find_last_of('.'));
  EXPECT_NE(ProcessCommandLine().find(stem), std::string::npos);
}

}  // namespace
