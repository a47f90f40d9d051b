#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/registry.h"

namespace {

HKEY RootHandle(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

class WinRegistryKey : public RegistryKey {
 public:
  explicit WinRegistryKey(HKEY key) : key_(key) {}
  ~WinRegistryKey() override { RegCloseKey(key_); }
  WinRegistryKey(const WinRegistryKey&) = delete;
  WinRegistryKey& operator=(const WinRegistryKey&) = delete;

  std::optional<RegistryValue> Read(const std::string& name) override {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    // The value can grow between the size query and the read; retry with the size reported then.
    // The ANSI query converts texts from the stored form, so the first size is only an upper bound.
    std::vector<BYTE> buffer;
    LONG result = ERROR_MORE_DATA;
    while (result == ERROR_MORE_DATA) {
      buffer.resize(size == 0 ? 1 : size);
      size = static_cast<DWORD>(buffer.size());
      result = RegQueryValueExA(key_, name.c_str(), nullptr, &type, buffer.data(), &size);
    }
    if (result != ERROR_SUCCESS) return std::nullopt;
    RegistryValue value;
    value.type = type;
    value.data.assign(reinterpret_cast<const char*>(buffer.data()), size);
    return value;
  }

  bool Write(const std::string& name, const RegistryValue& value) override {
    return RegSetValueExA(key_, name.c_str(), 0, value.type,
                          reinterpret_cast<const BYTE*>(value.data.data()),
                          static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
  }

  bool Delete(const std::string& name) override {
    return RegDeleteValueA(key_, name.c_str()) == ERROR_SUCCESS;
  }

  std::vector<std::string> ValueNames() override {
    std::vector<std::string> names;
    DWORD maxNameLength = 0;
    if (RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxNameLength, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return names;
    }
    // The longest value name the registry allows, in characters, without its terminating zero.
    constexpr DWORD kMaxValueNameLength = 16383;
    std::vector<char> buffer(maxNameLength + 1);
    DWORD index = 0;
    for (;;) {
      DWORD length = static_cast<DWORD>(buffer.size());
      const LONG result =
          RegEnumValueA(key_, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_MORE_DATA && buffer.size() <= kMaxValueNameLength) {
        // A longer name was added since the size query; read this index again.
        buffer.resize(kMaxValueNameLength + 1);
        continue;
      }
      if (result != ERROR_SUCCESS) break;
      names.emplace_back(buffer.data(), length);
      ++index;
    }
    return names;
  }

 private:
  HKEY key_;
};

class WinRegistry : public Registry {
 public:
  std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path,
                                    RegistryAccess access) override {
    const REGSAM rights = access == RegistryAccess::Full ? KEY_ALL_ACCESS : KEY_READ;
    HKEY key = nullptr;
    if (RegOpenKeyExA(RootHandle(root), path.c_str(), 0, rights, &key) != ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<WinRegistryKey>(key);
  }

  std::unique_ptr<RegistryKey> Create(RegistryRoot root, const std::string& path) override {
    HKEY key = nullptr;
    if (RegCreateKeyExA(RootHandle(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<WinRegistryKey>(key);
  }
};

}  // namespace

Registry& SystemRegistry() {
  static WinRegistry registry;
  return registry;
}
