// quillon-cli settings: the settings the desktop program would start with, and a way to
// create or normalise the settings file as closing its main window would.

#include <cstdio>
#include <iostream>
#include <memory>
#include <filesystem>
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
};

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
  UpdateSettings settings;
  std::vector<SettingReplaced> replaced;
  LoadSettings(settings, *store, &replaced);
  std::string why;
  if (options.save && !SaveSettings(settings, *store, &why)) {
    std::fprintf(stderr, "error: the settings were not saved: %s\n", why.c_str());
    return kExitFailure;
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
  sub->add_option("--ini", options->ini, "settings file (default: quillon.ini beside the programs)")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->add_flag("--save", options->save, "write the values back, as closing the main window does");
  sub->callback([options, &context, &status] { status = RunSettings(context, *options); });
}

}  // namespace quillon::cli
