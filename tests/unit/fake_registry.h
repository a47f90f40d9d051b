#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "settings/registry.h"

// A stored value of any type, as the system would hand it back.
inline RegistryValue Raw(std::uint32_t type, const std::string& data) {
  RegistryValue value;
  value.type = type;
  value.data = data;
  return value;
}

// Values of one key in memory. Names enumerate in sorted order, so FileListEntry10 comes before
// FileListEntry2, as an enumeration order need not follow the index.
struct FakeKeyData {
  std::map<std::string, RegistryValue> values;
  std::vector<std::string> writeOrder;
  bool refuseWrites = false;
  bool refuseDeletes = false;
};

class FakeRegistryKey : public RegistryKey {
 public:
  FakeKeyData& data;
  bool writable;

  FakeRegistryKey(FakeKeyData& keyData, bool canWrite) : data(keyData), writable(canWrite) {}

  std::optional<RegistryValue> Read(const std::string& name) override {
    const auto it = data.values.find(name);
    if (it == data.values.end()) return std::nullopt;
    return it->second;
  }
  bool Write(const std::string& name, const RegistryValue& value) override {
    if (!writable || data.refuseWrites) return false;
    data.values[name] = value;
    data.writeOrder.push_back(name);
    return true;
  }
  bool Delete(const std::string& name) override {
    if (!writable || data.refuseDeletes) return false;
    return data.values.erase(name) == 1;
  }
  std::vector<std::string> ValueNames() override {
    std::vector<std::string> names;
    for (const auto& entry : data.values) names.push_back(entry.first);
    return names;
  }
};

// Keys per root and path. A root in refuseFullAccess opens only for reading (like the machine-wide
// keys for a user without administrator rights); one in refuseAll does not open at all.
class FakeRegistry : public Registry {
 public:
  std::map<std::pair<RegistryRoot, std::string>, FakeKeyData> keys;
  std::set<RegistryRoot> refuseFullAccess;
  std::set<RegistryRoot> refuseAll;

  FakeKeyData* Find(RegistryRoot root, const std::string& path) {
    const auto it = keys.find({root, path});
    return it == keys.end() ? nullptr : &it->second;
  }

  std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path,
                                    RegistryAccess access) override {
    if (refuseAll.count(root) != 0) return nullptr;
    const bool full = access == RegistryAccess::Full;
    if (full && refuseFullAccess.count(root) != 0) return nullptr;
    FakeKeyData* key = Find(root, path);
    if (key == nullptr) return nullptr;
    return std::make_unique<FakeRegistryKey>(*key, full);
  }

  std::unique_ptr<RegistryKey> Create(RegistryRoot root, const std::string& path) override {
    if (refuseAll.count(root) != 0 || refuseFullAccess.count(root) != 0) return nullptr;
    return std::make_unique<FakeRegistryKey>(keys[{root, path}], true);
  }
};
