// The settings file through the Windows profile functions. Texts are UTF-8 in the program and
// cross the boundary as wide characters, so no path is lost to a code page.

#include <windows.h>

#include <vector>

#include "settings/profile_store.h"

namespace quillon {
namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

}  // namespace

std::string Win32ProfileStore::ReadString(std::string_view section, std::string_view key, std::string_view fallback) {
  wchar_t buffer[1024];
  const DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(fallback).c_str(), buffer,
                                           static_cast<DWORD>(std::size(buffer)), path_.wstring().c_str());
  return Utf8({buffer, n});
}

std::int32_t Win32ProfileStore::ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) {
  return static_cast<std::int32_t>(
      GetPrivateProfileIntW(Wide(section).c_str(), Wide(key).c_str(), fallback, path_.wstring().c_str()));
}

std::vector<std::pair<std::string, std::string>> Win32ProfileStore::ReadSection(std::string_view section) {
  std::vector<wchar_t> buffer(32767);
  const DWORD n = GetPrivateProfileSectionW(Wide(section).c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                            path_.wstring().c_str());
  std::vector<std::pair<std::string, std::string>> keys;
  for (std::size_t at = 0; at < n && buffer[at] != L'\0';) {
    std::wstring_view entry(buffer.data() + at);
    at += entry.size() + 1;
    const auto eq = entry.find(L'=');
    if (eq == std::wstring_view::npos) continue;
    keys.emplace_back(Utf8(entry.substr(0, eq)), Utf8(entry.substr(eq + 1)));
  }
  return keys;
}

bool Win32ProfileStore::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                    path_.wstring().c_str()) != 0;
}

std::unique_ptr<ProfileStore> OpenProfileStore(const std::filesystem::path& path) {
  return std::make_unique<Win32ProfileStore>(path);
}

}  // namespace quillon
