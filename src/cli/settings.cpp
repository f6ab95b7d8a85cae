// quillon-cli settings: the settings the desktop program would start with, and a way to
// create or normalise the settings file as closing its main window would.

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/program_paths.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
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
  if (com <= 0)
    return TrF("--map %s: give COMn=DEVICE, e.g. COM3=/dev/serial/by-id/usb-FTDI_...", {text});
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
  const auto relative =
      std::filesystem::proximate(Utf8Path(boot), Utf8Path(settings.ProgramDir), error);
  if (error || relative.is_absolute() || relative.empty()) return {};
  const auto text = relative.generic_u8string();
  return std::string(text.begin(), text.end());
}

// --map COMn=DEVICE (DEVICE empty: the entry goes): into the settings and `mapped`.
std::optional<int> ApplyMaps(const SettingsOptions& options, UpdateSettings& settings, std::map<int, std::string>& mapped) {
  for (const auto& text : options.maps) {
    int com = 0;
    std::string device;
    if (const auto problem = ParseMap(text, com, device); !problem.empty()) {
      Say(stderr, "error: %s\n", {problem});
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
      Say(stderr, "note: %s does not exist now; COM%s will open it once it does\n", {device, std::to_string(com)});
    }
    if (com > settings.MaxCom) {
      Say(stderr, "note: the desktop program's COM list ends at COM%s (MAXCOM); --port COM%s reaches it\n",
          {std::to_string(settings.MaxCom), std::to_string(com)});
    }
  }
  return std::nullopt;
}

// --boot FILE as the Info File the programs find it by.
std::optional<int> ApplyBoot(const SettingsOptions& options, UpdateSettings& settings) {
  if (options.boot.empty()) return std::nullopt;
  const auto name = InfoFileName(options.boot, settings);
  if (name.empty()) {
    Say(stderr,
        "error: --boot %s: the programs look for the boot file from %s, and no relative name "
        "reaches it from there; copy it into that folder and give that copy\n",
        {options.boot, settings.ProgramDir});
    return kExitUsage;
  }
  std::error_code error;
  if (std::filesystem::is_directory(Utf8Path(options.boot), error)) {
    Say(stderr, "error: --boot %s is a folder; give the boot file in it\n", {options.boot});
    return kExitUsage;
  }
  settings.InfoFile = name;
  if (!std::filesystem::exists(Utf8Path(BootFilePath(settings)), error)) {
    Say(stderr, "note: %s does not exist now\n", {options.boot});
  }
  return std::nullopt;
}

// The settings as they are now (or would be saved), where from, and what was not allowed.
struct Shown {
  const UpdateSettings& settings;
  const std::string& ini;
  const std::string& log;
  bool existed;
  const std::vector<SettingReplaced>& replaced;
};

void PrintSettingsJson(const Shown& shown) {
  const UpdateSettings& settings = shown.settings;
  nlohmann::ordered_json ports = nlohmann::ordered_json::object();
  for (const auto& [com, device] : settings.Ports) ports[ComLabel(com)] = device;
  nlohmann::ordered_json out{{"MotFile", settings.MotFile},   {"InfoFile", settings.InfoFile},
                             {"Baudrate", settings.Baudrate}, {"Com", settings.Com},
                             {"MaxCom", settings.MaxCom},     {"SendWait", settings.SendWait},
                             {"Ports", ports},                {"IniPath", shown.ini},
                             {"StsPath", shown.log}};
  out["IniExists"] = shown.existed;
  out["Replaced"] = nlohmann::ordered_json::array();
  for (const auto& r : shown.replaced) out["Replaced"].push_back({{"key", r.key}, {"read", r.read}, {"used", r.used}});
  Print(stdout, "%s\n", JsonText(out).c_str());
}

void PrintSettings(const Shown& shown, bool save) {
  const UpdateSettings& settings = shown.settings;
  const std::string_view state = shown.existed ? ""
                                 : save        ? Tr(" (did not exist: made now)")
                                               : Tr(" (does not exist: these are the defaults; --save makes it)");
  Say(stdout, "Settings file: %s%s\nLog:           %s\n", {shown.ini, state, shown.log});
  for (const auto& r : shown.replaced) {
    Say(stdout, "  %s: the file says %s, which is not allowed; %s is used instead\n",
        {r.key, std::to_string(r.read), std::to_string(r.used)});
  }
  Say(stdout,
      "  Mot File  = %s\n  Info File = %s\n  Baudrate  = %s\n  COM       = %s\n  MAXCOM    = "
      "%s\n  SendWait  = %s\n",
      {settings.MotFile, settings.InfoFile, std::to_string(settings.Baudrate), std::to_string(settings.Com),
       std::to_string(settings.MaxCom), std::to_string(settings.SendWait)});
  for (const auto& [com, device] : settings.Ports) Say(stdout, "  [Ports] COM%s -> %s\n", {std::to_string(com), device});
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
  if (const auto status = ApplyMaps(options, settings, mapped)) return *status;
  if (const auto status = ApplyBoot(options, settings)) return *status;
  std::string why;
  if (options.save && (!SaveSettings(settings, *store, &why) || !SavePorts(mapped, *store, &why))) {
    Say(stderr, "error: the settings were not saved: %s\n", {why});
    return kExitFailure;
  }
  if (!options.save && (!mapped.empty() || !options.boot.empty())) {
    Say(stderr, "note: shown only; add --save to write it into %s\n", {ini});
  }
  const Shown shown{settings, ini, paths.StsPath, existed, replaced};
  if (options.json) {
    PrintSettingsJson(shown);
  } else {
    PrintSettings(shown, options.save);
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
                  "COMn=DEVICE: COM port n opens DEVICE (best a /dev/serial/by-id name, which "
                  "stays with the "
                  "adapter); COMn= removes the entry; repeatable; written with --save")
      ->allow_extra_args(false);
  sub->add_option("--boot", options->boot, "the boot file (Info File), written with --save")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->add_flag("--save", options->save, "write the values back, as closing the main window does");
  sub->callback([options, &context, &status] { status = RunSettings(context, *options); });
}

}  // namespace quillon::cli
