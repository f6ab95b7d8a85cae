// quillon-cli doctor: what will stop an update, and what to do about each.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>


#include "base/file.h"
#include "base/messages.h"
#include "base/program_paths.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/port_words.h"
#include "image/flash_image.h"
#include "image/srecord.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"

namespace quillon::cli {
namespace {

struct DoctorOptions {
  std::string port;
  std::string ini;
  std::string boot;
  std::string update;
  bool json = false;
};

// Which port the doctor looks at, and how it came to it: "COM9 -> /dev/ttyS8 (the settings' COM)".
FindingWords PortChosen(const DoctorOptions& options, const UpdateSettings& settings, const std::string& device) {
  std::string how;
  if (options.port.empty()) {
    how = "COM" + std::to_string(settings.Com) + " -> " + device + " (the COM of the settings file " + settings.IniPath + ")";
  } else if (ComNameNumber(options.port) > 0) {
    how = options.port + " -> " + device + (settings.Ports.count(ComNameNumber(options.port)) > 0
                                                  ? " (its [Ports] entry in " + settings.IniPath + ")"
                                                  : "");
  } else {
    how = device + " (--port)";
  }
  return {"port.name", true, false, "checking " + how, {}};
}

// Whether the program may write `path`: the file itself when it exists, else its folder (or,
// for an installed copy whose folder is not made yet, the nearest folder that exists).
bool MayWrite(const std::string& path, bool folder_may_be_made) {
  std::error_code error;
  std::filesystem::path p = Utf8Path(path);
  if (!std::filesystem::exists(p, error)) {
    p = p.parent_path();
    while (folder_may_be_made && !p.empty() && !std::filesystem::exists(p, error) && p != p.parent_path()) {
      p = p.parent_path();
    }
  } else if (!std::filesystem::is_regular_file(p, error)) {
    return false;
  }
  return MayWritePath(p);
}

FindingWords FileCheck(const std::string& check, int result, const std::string& path, int missing_id, int bad_id,
                  const std::string& what) {
  if (result >= 1) return {check, true, true, "the " + what + " " + path + " loads", {}};
  const int id = result == -1 ? missing_id : bad_id;
  return {check, false, true, "[" + std::to_string(id) + "] " + std::string(MessageText(id)) + " (" + path + ")",
          result == -1 ? "Check the path of the " + what + " in the settings file."
                       : "quillon-cli info " + (what == "boot file" ? "--boot " + path + " UPDATE.mot" : path) +
                             " shows the record at fault."};
}

int RunDoctor(const Context& context, const DoctorOptions& options) {
  const ProgramPaths& paths = context.paths;
  const UpdateSettings settings = context.LoadSettings(options.ini);

  std::vector<FindingWords> findings;
  const std::string device = options.port.empty()                ? PortDeviceName(settings.Com, settings.Ports)
                             : ComNameNumber(options.port) > 0 ? PortDeviceName(ComNameNumber(options.port), settings.Ports)
                                                               : options.port;
  findings.push_back(PortChosen(options, settings, device));
  for (const auto& found : CheckPort(device)) {
    FindingWords finding = Describe(found);
    if (found.kind == PortFinding::Kind::kMissing) {
      std::string candidates;
      for (const auto& port : ListSerialPorts(settings.Ports)) candidates += (candidates.empty() ? "" : ", ") + port.device;
      if (!candidates.empty()) finding.fix = "Pick one of the serial ports there are: " + candidates + ".";
    }
    findings.push_back(std::move(finding));
  }

  // Cheap clones report one serial number between them: a usb: selector with it cannot tell
  // them apart (flash refuses it rather than guess).
  const auto shared = SharedUsbSerialNumbers(ListSerialPorts(settings.Ports));
  if (shared.empty()) {
    findings.push_back({"usb.serial_numbers", true, false, "no two USB adapters report the same serial number", {}});
  }
  for (const auto& group : shared) {
    std::string devices;
    for (const auto& device : group) devices += (devices.empty() ? "" : " and ") + device;
    findings.push_back({"usb.serial_numbers", false, false,
                        "different USB adapters report the same serial number: " + devices +
                            "; a usb:VID:PID:SERIAL port names none of them",
                        "Name these ports by their device or by usb:VID:PID and the socket order, or give the adapters "
                        "serial numbers of their own (the maker's tool can)."});
  }

  SRecordReader reader;
  BootImage boot;
  // The files as flash resolves them: --boot, else the settings' Info File; the update file
  // given, else the settings' Mot File.
  const std::string boot_path = options.boot.empty() ? BootFilePath(settings) : options.boot;
  const std::string update_path = options.update.empty() ? settings.MotFile : options.update;
  findings.push_back(FileCheck("file.boot", reader.LoadBootImage(Utf8Path(boot_path), boot), boot_path, kMsgNoBootFile,
                               kMsgBootFileBad, "boot file"));
  if (update_path.empty()) {
    findings.push_back({"file.update", true, false, "no update file in the settings (quillon-cli flash names its own)", {}});
  } else {
    FlashImage image;
    int result = reader.LoadFlashImage(image, Utf8Path(update_path));
    if (result >= 1 && TotalUsedLength(image) == 0) result = -2;
    findings.push_back(FileCheck("file.update", result, update_path, kMsgNoDataFile, kMsgDataFileBad, "update file"));
  }
  const bool settings_ok = MayWrite(settings.IniPath, paths.Installed);
  findings.push_back({"file.settings", settings_ok, true,
                      "the settings file " + settings.IniPath + (settings_ok ? " can be written" : " cannot be written"),
                      settings_ok ? "" : "Make it (or its folder) writable for this user; the desktop program saves it on close."});
  const bool log_ok = MayWrite(settings.StsPath, paths.Installed);
  findings.push_back({"file.log", log_ok, true, "the log " + settings.StsPath + (log_ok ? " can be written" : " cannot be written"),
                      log_ok ? "" : "Make it (or its folder) writable for this user, or give quillon-cli flash --log."});

  const bool blocked = std::any_of(findings.begin(), findings.end(), [](const FindingWords& f) { return !f.ok && f.blocking; });
  const int status = blocked ? kExitDoctorFound : kExitSuccess;
  if (options.json) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& f : findings) {
      out.push_back(nlohmann::ordered_json{{"check", f.check},
                                           {"ok", f.ok},
                                           // A check that passed stops nothing.
                                           {"blocking", f.blocking && !f.ok},
                                           {"detail", f.detail},
                                           {"fix", f.ok ? nlohmann::json(nullptr) : nlohmann::json(f.fix)}});
    }
    std::cout << JsonText(out) << '\n';
    return status;
  }
  for (const auto& f : findings) {
    const char* mark = f.ok ? "ok  " : f.blocking ? "FAIL" : "note";
    std::printf("%s %-18s %s\n", mark, f.check.c_str(), f.detail.c_str());
    if (!f.ok && !f.fix.empty()) std::printf("     %-18s %s\n", "", f.fix.c_str());
  }
  std::printf(status == kExitSuccess ? "Nothing found that stops an update.\n"
                                     : "Something above stops an update: see the lines marked FAIL.\n");
  return status;
}

}  // namespace

void AddDoctorCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<DoctorOptions>();
  auto* sub = app.add_subcommand("doctor", "Say what will stop an update, and what to do about it");
  sub->add_option("--port", options->port, "the port to check: COMn or a device path (default: the settings' COM)");
  sub->add_option("--ini", options->ini, "settings file (default: the one in use)")->transform(AbsolutePath());
  sub->add_option("--boot", options->boot, "boot file (default: the settings' Info File, as flash finds it)")
      ->transform(AbsolutePath());
  sub->add_option("update", options->update, "the update file to check (default: the settings' Mot File)")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "the findings as one JSON array");
  sub->callback([options, &context, &status] { status = RunDoctor(context, *options); });
}

}  // namespace quillon::cli
