#include "testing/canned_registry.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace quillon::testing {
namespace {

std::string Folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

template <typename Value>
std::optional<Value> Find(const std::map<std::string, std::map<std::string, Value>>& values, const std::string& key,
                          const std::string& name) {
  const auto in_key = values.find(Folded(key));
  if (in_key == values.end()) return std::nullopt;
  const auto value = in_key->second.find(Folded(name));
  if (value == in_key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace

CannedRegistry& CannedRegistry::Set(const std::string& key, const std::string& name, std::uint32_t number) {
  numbers_[Folded(key)][Folded(name)] = number;
  keys_.push_back(key);
  return *this;
}

CannedRegistry& CannedRegistry::Set(const std::string& key, const std::string& name, const std::string& text) {
  texts_[Folded(key)][Folded(name)] = text;
  keys_.push_back(key);
  return *this;
}

std::vector<std::string> CannedRegistry::SubKeys(const std::string& key) const {
  const std::string prefix = Folded(key) + "\\";
  std::set<std::string> seen;
  std::vector<std::string> names;
  for (const auto& given : keys_) {
    if (Folded(given).rfind(prefix, 0) != 0) continue;
    const std::string rest = given.substr(prefix.size());
    const std::string name = rest.substr(0, rest.find('\\'));
    if (seen.insert(Folded(name)).second) names.push_back(name);
  }
  return names;
}

std::optional<std::uint32_t> CannedRegistry::Number(const std::string& key, const std::string& name) const {
  return Find(numbers_, key, name);
}

std::optional<std::string> CannedRegistry::Text(const std::string& key, const std::string& name) const {
  return Find(texts_, key, name);
}

}  // namespace quillon::testing
