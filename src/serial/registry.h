#pragma once
// The Windows registry as the port checks read it: keys under HKEY_LOCAL_MACHINE named by
// their path ("SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS"), their subkeys and their values.
// Windows reads the machine's own; tests give canned contents.

#include <cstdint>
#include <map>
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

/// A registry made of the values given (a key exists when a value or a subkey of it is given;
/// key paths compare without regard to case, as Windows' do).
class CannedRegistry final : public Registry {
 public:
  CannedRegistry& Set(const std::string& key, const std::string& name, std::uint32_t number);
  CannedRegistry& Set(const std::string& key, const std::string& name, const std::string& text);

  std::vector<std::string> SubKeys(const std::string& key) const override;
  std::optional<std::uint32_t> Number(const std::string& key, const std::string& name) const override;
  std::optional<std::string> Text(const std::string& key, const std::string& name) const override;

 private:
  std::map<std::string, std::map<std::string, std::uint32_t>> numbers_;
  std::map<std::string, std::map<std::string, std::string>> texts_;
  std::vector<std::string> keys_;  // as given, for their subkeys' names
};

}  // namespace quillon
