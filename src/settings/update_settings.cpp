#include "settings/update_settings.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quillon {
namespace {
constexpr const char* kMain = "Main";
constexpr const char* kPortsSection = "Ports";
}  // namespace

bool IsSupportedBaudrate(std::int32_t rate) {
  constexpr std::array<std::int32_t, 6> kRates{4800, 9600, 19200, 38400, 57600, 115200};
  return std::find(kRates.begin(), kRates.end(), rate) != kRates.end();
}

void LoadSettings(UpdateSettings& settings, ProfileStore& store) {
  settings.MotFile = ReadProfileString(store, kMain, "Mot File", "");
  settings.InfoFile = ReadProfileString(store, kMain, "Info File", "nivaload.sub");
  settings.Baudrate = store.ReadInt(kMain, "Baudrate", 115200);
  // An unknown rate becomes 19200, the boot mode's own rate, not the default.
  if (!IsSupportedBaudrate(settings.Baudrate)) settings.Baudrate = 19200;
  settings.MaxCom = store.ReadInt(kMain, "MAXCOM", 20);
  if (settings.MaxCom < 1 || settings.MaxCom > 99) settings.MaxCom = 20;
  settings.Com = store.ReadInt(kMain, "COM", 1);
  if (settings.Com < 1 || settings.Com > settings.MaxCom) settings.Com = 1;
  settings.SendWait = store.ReadInt(kMain, "SendWait", 10);

  settings.Ports.clear();
  for (const auto& [key, device] : store.ReadSection(kPortsSection)) {
    if (key.size() < 4 || !std::equal(key.begin(), key.begin() + 3, "COM", [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == b;
        })) {
      continue;
    }
    const std::string digits = key.substr(3);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 4) continue;
    if (!device.empty()) settings.Ports.emplace(std::stoi(digits), device);
  }
}

void SaveSettings(const UpdateSettings& settings, ProfileStore& store) {
  store.WriteString(kMain, "Mot File", settings.MotFile);
  store.WriteString(kMain, "Info File", settings.InfoFile);
  WriteProfileUnsigned(store, kMain, "Baudrate", settings.Baudrate);
  WriteProfileUnsigned(store, kMain, "COM", settings.Com);
  WriteProfileUnsigned(store, kMain, "MAXCOM", settings.MaxCom);
  WriteProfileUnsigned(store, kMain, "SendWait", settings.SendWait);
}

}  // namespace quillon
