#pragma once
// The Windows registry as the port checks read it: keys under HKEY_LOCAL_MACHINE named by
// their path ("SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS"), their subkeys and their values.
// Windows reads the machine's own; tests give canned contents (testing/canned_registry.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

class Registry {
 public:
  virtual ~Registry() = default;
  /// The names of the key's subkeys; none when it does not exist.
  virtual std::vector<std::string> SubKeys(const std::string& key) const = 0;
  /// A REG_DWORD value; nothing when it or its key does not exist, or it is of another type.
  virtual std::optional<std::uint32_t> Number(const std::string& key, const std::string& name) const = 0;
  /// A REG_SZ value, likewise.
  virtual std::optional<std::string> Text(const std::string& key, const std::string& name) const = 0;
};

/// HKEY_LOCAL_MACHINE of this computer (Windows only).
std::unique_ptr<Registry> MachineRegistry();

}  // namespace quillon
