#pragma once
// The registry seam's fake: the contents a test gives.

#include <map>

#include "serial/registry.h"

namespace quillon::testing {

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

}  // namespace quillon::testing
