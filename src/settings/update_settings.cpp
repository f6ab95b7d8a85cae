#include "settings/update_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>

#include "base/program_paths.h"

namespace quillon {
namespace {
constexpr const char* kMain = "Main";
constexpr const char* kPortsSection = "Ports";
}  // namespace

std::string BootFilePath(const UpdateSettings& settings) {
  const std::string first = settings.ProgramDir + settings.InfoFile;
  if (settings.BesideProgramDir.empty()) return first;
  std::error_code error;
  if (std::filesystem::exists(Utf8Path(first), error)) return first;
  return settings.BesideProgramDir + settings.InfoFile;
}

int ComNameNumber(std::string_view key) {
  if (key.size() < 4 || key.size() > 7) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(key[i])) != "COM"[i]) return 0;
  }
  int number = 0;
  for (char c : key.substr(3)) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

bool IsSupportedBaudrate(std::int32_t rate) {
  constexpr std::array<std::int32_t, 6> kRates{4800, 9600, 19200, 38400, 57600, 115200};
  return std::find(kRates.begin(), kRates.end(), rate) != kRates.end();
}

void LoadSettings(UpdateSettings& settings, ProfileStore& store, std::vector<SettingReplaced>* replaced) {
  auto replace = [replaced](const char* key, std::int32_t& value, std::int32_t used) {
    if (replaced != nullptr) replaced->push_back({key, value, used});
    value = used;
  };
  settings.MotFile = ReadProfileString(store, kMain, "Mot File", "");
  settings.InfoFile = ReadProfileString(store, kMain, "Info File", "nivaload.sub");
  settings.Baudrate = store.ReadInt(kMain, "Baudrate", 115200);
  // An unknown rate becomes 19200, the boot mode's own rate, not the default.
  if (!IsSupportedBaudrate(settings.Baudrate)) replace("Baudrate", settings.Baudrate, 19200);
  settings.MaxCom = store.ReadInt(kMain, "MAXCOM", 20);
  if (settings.MaxCom < 1 || settings.MaxCom > 99) replace("MAXCOM", settings.MaxCom, 20);
  settings.Com = store.ReadInt(kMain, "COM", 1);
  if (settings.Com < 1 || settings.Com > settings.MaxCom) replace("COM", settings.Com, 1);
  settings.SendWait = store.ReadInt(kMain, "SendWait", 10);

  settings.Ports.clear();
  for (const auto& [key, device] : store.ReadSection(kPortsSection)) {
    if (const int com = ComNameNumber(key); com > 0 && !device.empty()) settings.Ports.emplace(com, device);
  }
}

bool SaveSettings(const UpdateSettings& settings, ProfileStore& store, std::string* why) {
  return store.WriteKeys(kMain,
                         {{"Mot File", settings.MotFile},
                          {"Info File", settings.InfoFile},
                          {"Baudrate", ProfileUnsigned(settings.Baudrate)},
                          {"COM", ProfileUnsigned(settings.Com)},
                          {"MAXCOM", ProfileUnsigned(settings.MaxCom)},
                          {"SendWait", ProfileUnsigned(settings.SendWait)}},
                         why);
}

bool SavePorts(const std::map<int, std::string>& ports, ProfileStore& store, std::string* why) {
  std::vector<std::pair<std::string, std::string>> keys;
  for (const auto& [com, device] : ports) keys.emplace_back("COM" + std::to_string(com), device);
  return keys.empty() || store.WriteKeys(kPortsSection, keys, why);
}

}  // namespace quillon
