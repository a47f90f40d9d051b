#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class RegistryRoot { CurrentUser, LocalMachine };

// Full = KEY_ALL_ACCESS (0xF003F); Read = KEY_READ, which ordinary users get on machine-wide keys.
enum class RegistryAccess { Full, Read };

// A value as stored: its registry type and its raw bytes (a REG_SZ keeps its terminating zero, if
// it was written with one).
struct RegistryValue {
  std::uint32_t type = 0;
  std::string data;
};

// An open key; destruction closes it.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // Any size; nullopt when the value is missing or cannot be read.
  virtual std::optional<RegistryValue> Read(const std::string& name) = 0;
  virtual bool Write(const std::string& name, const RegistryValue& value) = 0;
  virtual bool Delete(const std::string& name) = 0;
  // Names of all values of the key, in the registry's enumeration order.
  virtual std::vector<std::string> ValueNames() = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens an existing key; null on failure.
  virtual std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path,
                                            RegistryAccess access) = 0;
  // Opens the key with full access, creating it (non-volatile, default security) when missing;
  // null on failure.
  virtual std::unique_ptr<RegistryKey> Create(RegistryRoot root, const std::string& path) = 0;
};

// The Windows registry; defined in registry_win.cpp.
Registry& SystemRegistry();
