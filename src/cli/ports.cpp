// quillon-cli ports: the serial ports a person can pick, and the COM number of each.

#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/program_paths.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "serial/port_list.h"
#include "settings/update_settings.h"

namespace quillon::cli {
namespace {

struct PortsOptions {
  std::string ini;
  bool json = false;
};

nlohmann::json OrNull(const std::optional<std::string>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

int RunPorts(const Context& context, const PortsOptions& options) {
  const UpdateSettings settings = context.LoadSettings(options.ini);
  const auto ports = ListSerialPorts(settings.Ports);
  if (options.json) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& p : ports) {
      out.push_back(nlohmann::ordered_json{{"device", p.device},
                                           {"com", p.com ? nlohmann::json(*p.com) : nlohmann::json(nullptr)},
                                           {"by_id", p.by_id},
                                           {"by_path", p.by_path},
                                           {"vid", OrNull(p.vid)},
                                           {"pid", OrNull(p.pid)},
                                           {"serial", OrNull(p.serial)},
                                           {"description", OrNull(p.description)}});
    }
    Print(stdout, "%s\n", JsonText(out).c_str());
    return kExitSuccess;
  }
  if (ports.empty()) Say(stdout, "No serial ports found.\n");
  for (const auto& p : ports) {
    Print(stdout, "%-24s %s", p.device.c_str(),
          p.com ? ("COM" + std::to_string(*p.com)).c_str() : "-");
    if (p.vid && p.pid) Say(stdout, "  usb %s:%s", {p.vid->c_str(), p.pid->c_str()});
    if (p.serial) Say(stdout, "  serial %s", {p.serial->c_str()});
    if (p.description) Print(stdout, "  %s", p.description->c_str());
    Print(stdout, "\n");
    for (const auto& name : p.by_id) Print(stdout, "    %s\n", name.c_str());
    for (const auto& name : p.by_path) Print(stdout, "    %s\n", name.c_str());
  }
  return kExitSuccess;
}

}  // namespace

void AddPortsCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<PortsOptions>();
  auto* sub = app.add_subcommand("ports", "List the serial ports and the COM number of each");
  sub->add_option("--ini", options->ini, "settings file whose [Ports] maps COM numbers to devices")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "print a JSON array");
  sub->callback([options, &context, &status] { status = RunPorts(context, *options); });
}

}  // namespace quillon::cli
