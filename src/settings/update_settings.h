#pragma once
// The settings record and its file: section "Main" of the settings file, read once when the
// program starts and written back once when the main window is closed.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "settings/profile_store.h"

namespace quillon {

struct UpdateSettings {
  std::string ProgramDir;  ///< ends in the path separator
  std::string IniPath;
  std::string MotFile;     ///< full path of the update file; empty when none was chosen
  std::string InfoFile;    ///< boot file name, looked up in ProgramDir
  std::string BesideProgramDir;  ///< an installed Windows copy: where InfoFile is looked for next
  std::string StsPath;
  std::int32_t Baudrate = 115200;
  std::int32_t Com = 0;    ///< first set by LoadSettings
  std::int32_t SendWait = 10;
  std::int32_t MaxCom = 20;
  /// Section "Ports": "COMn" -> the device that COM port n names on a system without COM
  /// ports of its own (a stable /dev/serial/by-id path, a simulated device's link).
  std::map<int, std::string> Ports;
};

/// The boot file: ProgramDir + InfoFile; for an installed Windows copy whose settings folder
/// has no such file, the one beside the programs.
std::string BootFilePath(const UpdateSettings& settings);

/// "COM12" (any case) gives 12; any other name gives 0.
int ComNameNumber(std::string_view name);

/// The six working bit rates of the link.
bool IsSupportedBaudrate(std::int32_t rate);

/// A value of the file that LoadSettings replaced: the key, what the file says, what is used.
struct SettingReplaced {
  std::string key;
  std::int32_t read = 0;
  std::int32_t used = 0;
};

/// Reads the six keys of "Main" (and "Ports") with their defaults and replacements; a
/// missing file, section or key gives the default. Nothing is reported to the person (the
/// desktop program stays silent); `replaced`, when given, lists the values replaced.
void LoadSettings(UpdateSettings& settings, ProfileStore& store, std::vector<SettingReplaced>* replaced = nullptr);
/// Writes the six keys back, in the order of the file's keys. False when the file could not
/// take them (`why`, when given, says why); the desktop program closes all the same.
bool SaveSettings(const UpdateSettings& settings, ProfileStore& store, std::string* why = nullptr);
/// Writes these entries of section "Ports" (`COMn=device`; an empty device clears the entry),
/// all in one write, leaving the others as they are. False, with `why`, when it could not.
bool SavePorts(const std::map<int, std::string>& ports, ProfileStore& store,
               std::string* why = nullptr);

}  // namespace quillon
