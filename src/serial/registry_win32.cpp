#include <windows.h>

#include "base/wide_text_win32.h"
#include "serial/registry.h"

namespace quillon {
namespace {

// An open key of HKEY_LOCAL_MACHINE, closed with it.
class Key {
 public:
  explicit Key(const std::string& path) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(path).c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class MachineKeys final : public Registry {
 public:
  std::vector<std::string> SubKeys(const std::string& path) const override {
    std::vector<std::string> names;
    const Key key(path);
    if (key.get() == nullptr) return names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD size = 256;
      if (RegEnumKeyExW(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(Narrow(std::wstring(name, size)));
    }
    return names;
  }

  std::optional<std::uint32_t> Number(const std::string& path, const std::string& name) const override {
    const Key key(path);
    DWORD value = 0, size = sizeof value, type = 0;
    if (key.get() == nullptr || RegQueryValueExW(key.get(), Widen(name).c_str(), nullptr, &type,
                                                 reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
      return std::nullopt;
    }
    return value;
  }

  std::optional<std::string> Text(const std::string& path, const std::string& name) const override {
    const Key key(path);
    wchar_t value[512] = {};
    DWORD size = sizeof value - sizeof(wchar_t), type = 0;
    if (key.get() == nullptr || RegQueryValueExW(key.get(), Widen(name).c_str(), nullptr, &type,
                                                 reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::nullopt;
    }
    return Narrow(value);
  }
};

}  // namespace

std::unique_ptr<Registry> MachineRegistry() { return std::make_unique<MachineKeys>(); }

}  // namespace quillon
