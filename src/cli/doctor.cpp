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
#include "report/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "report/port_words.h"
#include "image/flash_image.h"
#include "image/srecord.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"

namespace quillon::cli {

using report::Describe;
using report::FindingWords;
namespace {

struct DoctorOptions {
  std::string port;
  std::string ini;
  std::string boot;
  std::string update;
  bool json = false;
};

// Which port the doctor looks at, and how it came to it: "COM9 -> /dev/ttyS8 (the settings' COM)".
FindingWords PortChosen(const DoctorOptions& options, const UpdateSettings& settings,
                        const std::string& device, Language lang) {
  std::string how;
  if (options.port.empty()) {
    how = TrFIn(lang, "checking COM%s -> %s (the COM of the settings file %s)",
                {std::to_string(settings.Com), device, settings.IniPath});
  } else if (ComNameNumber(options.port) > 0 &&
             settings.Ports.count(ComNameNumber(options.port)) > 0) {
    how = TrFIn(lang, "checking %s -> %s (its [Ports] entry in %s)",
                {options.port, device, settings.IniPath});
  } else if (ComNameNumber(options.port) > 0) {
    how = TrFIn(lang, "checking %s -> %s", {options.port, device});
  } else {
    how = TrFIn(lang, "checking %s (--port)", {device});
  }
  return {"port.name", true, false, how, {}};
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

FindingWords FileCheck(const std::string& check, int result, const std::string& path,
                       int missing_id, int bad_id, Language lang) {
  const bool boot = check == "file.boot";
  if (result >= 1) {
    return {check,
            true,
            true,
            boot ? TrFIn(lang, "the boot file %s loads", {path})
                 : TrFIn(lang, "the update file %s loads", {path}),
            {}};
  }
  const int id = result == -1 ? missing_id : bad_id;
  const std::string text = lang == Language::kJapanese ? std::string(MessageText(id))
                                                       : std::string(MessageTextEnglish(id));
  std::string fix;
  if (result == -1) {
    fix = boot ? TrIn(lang, "Check the path of the boot file in the settings file.")
               : TrIn(lang, "Check the path of the update file in the settings file.");
  } else {
    fix = TrFIn(lang, "quillon-cli info %s shows the record at fault.",
                {boot ? "--boot " + path + " UPDATE.mot" : path});
  }
  return {check, false, true, "[" + std::to_string(id) + "] " + text + " (" + path + ")", fix};
}

// The port's checks, with the ports there are when it is missing.
void CheckThePort(const DoctorOptions& options, const UpdateSettings& settings, Language lang,
                  std::vector<FindingWords>& findings) {
  const std::string device = options.port.empty()                ? PortDeviceName(settings.Com, settings.Ports)
                             : ComNameNumber(options.port) > 0 ? PortDeviceName(ComNameNumber(options.port), settings.Ports)
                                                               : options.port;
  findings.push_back(PortChosen(options, settings, device, lang));
  for (const auto& found : CheckPort(device)) {
    FindingWords finding = Describe(found, lang);
    if (found.kind == PortFinding::Kind::kMissing) {
      std::string candidates;
      for (const auto& port : ListSerialPorts(settings.Ports)) candidates += (candidates.empty() ? "" : ", ") + port.device;
      if (!candidates.empty())
        finding.fix = TrFIn(lang, "Pick one of the serial ports there are: %s.", {candidates});
    }
    findings.push_back(std::move(finding));
  }
}

// Cheap clones report one serial number between them: a usb: selector with it cannot tell
// them apart (flash refuses it rather than guess).
void CheckUsbSerialNumbers(const UpdateSettings& settings, Language lang, std::vector<FindingWords>& findings) {
  const auto shared = SharedUsbSerialNumbers(ListSerialPorts(settings.Ports));
  if (shared.empty()) {
    findings.push_back(
        {"usb.serial_numbers",
         true,
         false,
         std::string(TrIn(lang, "no two USB adapters report the same serial number")),
         {}});
  }
  for (const auto& group : shared) {
    std::string devices;
    for (const auto& device : group) devices += (devices.empty() ? "" : " and ") + device;
    findings.push_back(
        {"usb.serial_numbers", false, false,
         TrFIn(
             lang,
             "different USB adapters report the same serial number: %s; a usb:VID:PID:SERIAL port "
             "names none of them",
             {devices}),
         std::string(
             TrIn(lang,
                  "Name these ports by their device or by usb:VID:PID and the socket order, "
                  "or give the adapters serial numbers of their own (the maker's tool can)."))});
  }
}

// The files as flash resolves them: --boot, else the settings' Info File; the update file
// given, else the settings' Mot File.
void CheckTheFiles(const DoctorOptions& options, const UpdateSettings& settings, Language lang,
                   std::vector<FindingWords>& findings) {
  SRecordReader reader;
  BootImage boot;
  const std::string boot_path = options.boot.empty() ? BootFilePath(settings) : options.boot;
  const std::string update_path = options.update.empty() ? settings.MotFile : options.update;
  findings.push_back(FileCheck("file.boot", reader.LoadBootImage(Utf8Path(boot_path), boot),
                               boot_path, kMsgNoBootFile, kMsgBootFileBad, lang));
  if (update_path.empty()) {
    findings.push_back(
        {"file.update",
         true,
         false,
         std::string(
             TrIn(lang, "no update file in the settings (quillon-cli flash names its own)")),
         {}});
    return;
  }
  FlashImage image;
  int result = reader.LoadFlashImage(image, Utf8Path(update_path));
  if (result >= 1 && TotalUsedLength(image) == 0) result = -2;
  findings.push_back(FileCheck("file.update", result, update_path, kMsgNoDataFile, kMsgDataFileBad, lang));
}

// The settings file and the log, which the programs write.
void CheckWhatIsWritten(const UpdateSettings& settings, bool installed, Language lang,
                        std::vector<FindingWords>& findings) {
  const bool settings_ok = MayWrite(settings.IniPath, installed);
  findings.push_back(
      {"file.settings", settings_ok, true,
       settings_ok ? TrFIn(lang, "the settings file %s can be written", {settings.IniPath})
                   : TrFIn(lang, "the settings file %s cannot be written", {settings.IniPath}),
       settings_ok ? ""
                   : std::string(TrIn(lang,
                                      "Make it (or its folder) writable for this user; the "
                                      "desktop program saves it on close."))});
  const bool log_ok = MayWrite(settings.StsPath, installed);
  findings.push_back(
      {"file.log", log_ok, true,
       log_ok ? TrFIn(lang, "the log %s can be written", {settings.StsPath})
              : TrFIn(lang, "the log %s cannot be written", {settings.StsPath}),
       log_ok ? ""
              : std::string(TrIn(lang,
                                 "Make it (or its folder) writable for this user, or give "
                                 "quillon-cli flash --log."))});
}

void PrintFindings(const std::vector<FindingWords>& findings, bool json, int status) {
  if (json) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& f : findings) {
      out.push_back(nlohmann::ordered_json{{"check", f.check},
                                           {"ok", f.ok},
                                           // A check that passed stops nothing.
                                           {"blocking", f.blocking && !f.ok},
                                           {"detail", f.detail},
                                           {"fix", f.ok ? nlohmann::json(nullptr) : nlohmann::json(f.fix)}});
    }
    Print(stdout, "%s\n", JsonText(out).c_str());
    return;
  }
  for (const auto& f : findings) {
    const char* mark = f.ok ? "ok  " : f.blocking ? "FAIL" : "note";
    Print(stdout, "%s %-18s %s\n", mark, f.check.c_str(), f.detail.c_str());
    if (!f.ok && !f.fix.empty()) Print(stdout, "     %-18s %s\n", "", f.fix.c_str());
  }
  if (status == kExitSuccess) {
    Say(stdout, "Nothing found that stops an update.\n");
  } else {
    Say(stdout, "Something above stops an update: see the lines marked FAIL.\n");
  }
}

int RunDoctor(const Context& context, const DoctorOptions& options) {
  const UpdateSettings settings = context.LoadSettings(options.ini);
  // JSON's words are English, for scripts; the text is in the person's language.
  const Language lang = options.json ? Language::kEnglish : CurrentLanguage();
  std::vector<FindingWords> findings;
  CheckThePort(options, settings, lang, findings);
  CheckUsbSerialNumbers(settings, lang, findings);
  CheckTheFiles(options, settings, lang, findings);
  CheckWhatIsWritten(settings, context.paths.Installed, lang, findings);
  const bool blocked = std::any_of(findings.begin(), findings.end(), [](const FindingWords& f) { return !f.ok && f.blocking; });
  const int status = blocked ? kExitDoctorFound : kExitSuccess;
  PrintFindings(findings, options.json, status);
  return status;
}

}  // namespace

void AddDoctorCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<DoctorOptions>();
  auto* sub = app.add_subcommand("doctor", "Say what will stop an update, and what to do about it");
  sub->add_option("--port", options->port, "the port to check: COMn or a device path (default: the settings' COM)")
      ->check(NotEmpty());
  sub->add_option("--ini", options->ini, "settings file (default: the one in use)")->transform(AbsolutePath());
  sub->add_option("--boot", options->boot, "boot file (default: the settings' Info File, as flash finds it)")
      ->transform(AbsolutePath());
  sub->add_option("update", options->update, "the update file to check (default: the settings' Mot File)")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "the findings as one JSON array");
  sub->callback([options, &context, &status] { status = RunDoctor(context, *options); });
}

}  // namespace quillon::cli
