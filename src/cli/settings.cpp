// quillon-cli settings: the settings the desktop program would start with, and a way to
// create or normalise the settings file as closing its main window would.

#include <cstdio>
#include <iostream>
#include <memory>
#include <filesystem>
#include <map>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "base/messages.h"
#include "base/program_paths.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "settings/update_settings.h"

namespace quillon::cli {
namespace {

struct SettingsOptions {
  std::string ini;
  bool json = false;
  bool save = false;
  std::vector<std::string> maps;  ///< "COMn=DEVICE"
  std::string boot;
};

// "COM3=/dev/ttyUSB0" into its number and device (made absolute; empty clears the entry);
// an error text for anything else.
std::string ParseMap(const std::string& text, int& com, std::string& device) {
  const auto equals = text.find('=');
  com = equals == std::string::npos ? 0 : ComNameNumber(std::string_view(text).substr(0, equals));
  if (com <= 0) return "--map " + text + ": give COMn=DEVICE, e.g. COM3=/dev/serial/by-id/usb-FTDI_...";
  device = text.substr(equals + 1);
  if (device.empty()) return {};
  std::error_code error;
  const auto absolute = std::filesystem::absolute(Utf8Path(device), error).u8string();
  if (!error) device.assign(absolute.begin(), absolute.end());
  return {};
}

// The boot file as the settings name it: relative to the folder the programs look in, which
// is the settings file's folder for a file given with --ini. Empty when no relative name
// reaches it (another drive).
std::string InfoFileName(const std::string& boot, const UpdateSettings& settings) {
  std::error_code error;
  const auto relative = std::filesystem::proximate(Utf8Path(boot), Utf8Path(settings.ProgramDir), error);
  if (error || relative.is_absolute() || relative.empty()) return {};
  const auto text = relative.generic_u8string();
  return std::string(text.begin(), text.end());
}

int RunSettings(const Context& context, const SettingsOptions& options) {
  const ProgramPaths& paths = context.paths;
  const std::string ini = context.IniPath(options.ini);
  if (options.save && options.ini.empty() && paths.Installed) {
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(ini).parent_path(), error);
  }
  std::error_code missing_error;
  const bool existed = std::filesystem::exists(Utf8Path(ini), missing_error);
  auto store = OpenProfileStore(Utf8Path(ini));
  std::vector<SettingReplaced> replaced;
  UpdateSettings settings = context.LoadSettings(options.ini, {}, &replaced);
  std::map<int, std::string> mapped;
  for (const auto& text : options.maps) {
    int com = 0;
    std::string device;
    if (const auto problem = ParseMap(text, com, device); !problem.empty()) {
      std::fprintf(stderr, "error: %s\n", problem.c_str());
      return kExitUsage;
    }
    mapped[com] = device;
    if (device.empty()) {
      settings.Ports.erase(com);
    } else {
      settings.Ports[com] = device;
    }
    std::error_code error;
    if (!device.empty() && !std::filesystem::exists(Utf8Path(device), error)) {
      std::fprintf(stderr, "note: %s does not exist now; COM%d will open it once it does\n", device.c_str(), com);
    }
    if (com > settings.MaxCom) {
      std::fprintf(stderr, "note: the desktop program's COM list ends at COM%d (MAXCOM); --port COM%d reaches it\n",
                   settings.MaxCom, com);
    }
  }
  if (!options.boot.empty()) {
    const auto name = InfoFileName(options.boot, settings);
    if (name.empty()) {
      std::fprintf(stderr, "error: --boot %s: the programs look for the boot file from %s, and no relative name "
                           "reaches it from there; copy it into that folder and give that copy\n",
                   options.boot.c_str(), settings.ProgramDir.c_str());
      return kExitUsage;
    }
    std::error_code error;
    if (std::filesystem::is_directory(Utf8Path(options.boot), error)) {
      std::fprintf(stderr, "error: --boot %s is a folder; give the boot file in it\n", options.boot.c_str());
      return kExitUsage;
    }
    settings.InfoFile = name;
    if (!std::filesystem::exists(Utf8Path(BootFilePath(settings)), error)) {
      std::fprintf(stderr, "note: %s does not exist now\n", options.boot.c_str());
    }
  }
  std::string why;
  if (options.save && (!SaveSettings(settings, *store, &why) || !SavePorts(mapped, *store, &why))) {
    std::fprintf(stderr, "error: the settings were not saved: %s\n", why.c_str());
    return kExitFailure;
  }
  if (!options.save && (!mapped.empty() || !options.boot.empty())) {
    std::fprintf(stderr, "note: shown only; add --save to write it into %s\n", ini.c_str());
  }
  if (options.json) {
    nlohmann::ordered_json ports = nlohmann::ordered_json::object();
    for (const auto& [com, device] : settings.Ports) ports[ComLabel(com)] = device;
    nlohmann::ordered_json out{{"MotFile", settings.MotFile},   {"InfoFile", settings.InfoFile},
                                     {"Baudrate", settings.Baudrate}, {"Com", settings.Com},
                                     {"MaxCom", settings.MaxCom},     {"SendWait", settings.SendWait},
                                     {"Ports", ports},                {"IniPath", ini},
                                     {"StsPath", paths.StsPath}};
    out["IniExists"] = existed;
    out["Replaced"] = nlohmann::ordered_json::array();
    for (const auto& r : replaced) out["Replaced"].push_back({{"key", r.key}, {"read", r.read}, {"used", r.used}});
    std::cout << JsonText(out) << "\n";
  } else {
    std::printf("Settings file: %s%s\nLog:           %s\n", ini.c_str(),
                existed ? "" : options.save ? " (did not exist: made now)"
                                            : " (does not exist: these are the defaults; --save makes it)",
                paths.StsPath.c_str());
    for (const auto& r : replaced) {
      std::printf("  %s: the file says %d, which is not allowed; %d is used instead\n", r.key.c_str(), r.read, r.used);
    }
    std::printf("  Mot File  = %s\n  Info File = %s\n  Baudrate  = %d\n  COM       = %d\n"
                "  MAXCOM    = %d\n  SendWait  = %d\n",
                settings.MotFile.c_str(), settings.InfoFile.c_str(), settings.Baudrate, settings.Com,
                settings.MaxCom, settings.SendWait);
    for (const auto& [com, device] : settings.Ports) std::printf("  [Ports] COM%d -> %s\n", com, device.c_str());
  }
  return kExitSuccess;
}

}  // namespace

void AddSettingsCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<SettingsOptions>();
  auto* sub = app.add_subcommand("settings", "Show the settings file's values after defaults and replacements");
  sub->add_option("--ini", options->ini, "settings file (default: " + context.IniPlace() + ")")
      ->transform(AbsolutePath());
  sub->add_option("--map", options->maps,
                  "COMn=DEVICE: COM port n opens DEVICE (best a /dev/serial/by-id name, which stays with the "
                  "adapter); COMn= removes the entry; repeatable; written with --save")
      ->allow_extra_args(false);
  sub->add_option("--boot", options->boot, "the boot file (Info File), written with --save")->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->add_flag("--save", options->save, "write the values back, as closing the main window does");
  sub->callback([options, &context, &status] { status = RunSettings(context, *options); });
}

}  // namespace quillon::cli
