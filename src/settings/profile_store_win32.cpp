// The settings file through the Windows profile functions. Texts are UTF-8 in the program and
// cross the boundary as wide characters, so no path is lost to a code page.

#include <windows.h>

#include <vector>

#include "base/wide_text_win32.h"
#include "settings/profile_store.h"

namespace quillon {

/// The Windows profile functions themselves (wide-character calls; texts are UTF-8 here).
class Win32ProfileStore final : public ProfileStore {
 public:
  explicit Win32ProfileStore(std::filesystem::path path) : path_(std::move(path)) {}
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) override;
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) override;
  std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) override;
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) override;

 private:
  std::filesystem::path path_;
};

std::string Win32ProfileStore::ReadString(std::string_view section, std::string_view key, std::string_view fallback) {
  wchar_t buffer[1024];
  const DWORD n = GetPrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), Widen(fallback).c_str(), buffer,
                                           static_cast<DWORD>(std::size(buffer)), path_.wstring().c_str());
  return Narrow({buffer, n});
}

std::int32_t Win32ProfileStore::ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) {
  return static_cast<std::int32_t>(
      GetPrivateProfileIntW(Widen(section).c_str(), Widen(key).c_str(), fallback, path_.wstring().c_str()));
}

std::vector<std::pair<std::string, std::string>> Win32ProfileStore::ReadSection(std::string_view section) {
  std::vector<wchar_t> buffer(32767);
  const DWORD n = GetPrivateProfileSectionW(Widen(section).c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                            path_.wstring().c_str());
  std::vector<std::pair<std::string, std::string>> keys;
  for (std::size_t at = 0; at < n && buffer[at] != L'\0';) {
    std::wstring_view entry(buffer.data() + at);
    at += entry.size() + 1;
    const auto eq = entry.find(L'=');
    if (eq == std::wstring_view::npos) continue;
    keys.emplace_back(Narrow(entry.substr(0, eq)), Narrow(entry.substr(eq + 1)));
  }
  return keys;
}

bool Win32ProfileStore::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), Widen(value).c_str(),
                                    path_.wstring().c_str()) != 0;
}

std::unique_ptr<ProfileStore> OpenProfileStore(const std::filesystem::path& path) {
  return std::make_unique<Win32ProfileStore>(path);
}

}  // namespace quillon
