// quillon-cli flash: one whole update from the command line, exactly as Send runs it.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <memory>

#include "base/messages.h"
#include "base/program_paths.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/terminal.h"
#include "serial/comm_driver.h"
#include "settings/update_settings.h"
#include "update/update_sequence.h"

namespace quillon::cli {
namespace {

#ifndef _WIN32
// Ctrl-C or a kill ends the run as before, but not before the port is given back as it was
// found: a USB adapter's latency flag restored, exclusive use released.
extern "C" void EndOnSignal(int signal_number) {
  RestorePortsForSignal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void RestorePortsOnSignals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, EndOnSignal);
}
#else
void RestorePortsOnSignals() {}
#endif

struct FlashOptions {
  std::string update;
  std::string port;
  std::string boot;
  std::optional<int> baud;
  std::optional<int> send_wait;
  std::string ini;
  std::string log;
  bool yes = false;
};

int RunFlash(const FlashOptions& options) {
  const ProgramPaths paths = SharedProgramPaths();
  UpdateSettings settings;
  settings.ProgramDir = paths.ProgramDir;
  settings.IniPath = options.ini.empty() ? paths.IniPath : options.ini;
  settings.StsPath = options.log.empty() ? paths.StsPath : options.log;
  LoadSettings(settings, *OpenProfileStore(Utf8Path(settings.IniPath)));
  // The options hold for this run only; the settings file is never written here.
  settings.MotFile = options.update;
  if (options.baud) settings.Baudrate = *options.baud;
  if (options.send_wait) settings.SendWait = *options.send_wait;

  UpdateTarget target;
  target.boot_path = options.boot;
  if (!options.port.empty()) {
    if (const int com = ComNameNumber(options.port); com > 0) {
      settings.Com = com;
    } else {
      target.port_device = target.port_label = options.port;
    }
  }
  const std::string port_name = !target.port_label.empty()
                                    ? target.port_label
                                    : ComLabel(settings.Com) + " (" + PortDeviceName(settings.Com, settings.Ports) + ")";
  const std::string boot_path = options.boot.empty() ? settings.ProgramDir + settings.InfoFile : options.boot;

  auto hint = [&](int id) -> std::string {
    switch (id) {
      case kMsgNoBootFile: return "Check the boot file " + boot_path + " (\"Info File\" in the settings file, or --boot).";
      case kMsgNoDataFile: return "Check the update file path: " + settings.MotFile;
      case kMsgBootSendFailed:
        return "Check that the device was restarted in boot mode (DIP switch) and is connected to " + port_name +
               "; the log " + settings.StsPath + " has the details.";
      case kMsgDataSendFailed:
        return "Check the connection and the bit rate (" + std::to_string(settings.Baudrate) +
               " bit/s, --baud); the log " + settings.StsPath + " has the details.";
      case kMsgPortOpenFailed:
        return "Check the port name " + port_name + " and that no other program uses it (quillon-cli ports).";
      case kMsgDataFileBad:
        return "The update file is bad or puts no data into the flash: quillon-cli info " + settings.MotFile +
               " shows the record at fault.";
      case kMsgBootFileBad:
        return "The boot file is bad, empty or too long: quillon-cli info --boot " + boot_path + " UPDATE.mot shows why.";
      default: return {};
    }
  };
  // The run goes on without a log, but the person is told that failures will not be kept.
  if (std::error_code error; std::filesystem::exists(Utf8Path(settings.StsPath), error) &&
                             !std::filesystem::is_regular_file(Utf8Path(settings.StsPath), error)) {
    std::fprintf(stderr, "warning: the log %s is not a regular file: failures of this run will not be logged\n",
                 settings.StsPath.c_str());
  }
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  TerminalPrompt prompt(interactive && !options.yes, hint);
  TerminalProgress progress(stderr);
  ThreadPause pause;
  EventLog log(Utf8Path(settings.StsPath));
  auto driver = MakePlatformCommDriver();
  RestorePortsOnSignals();
  SerialPort port(*driver, log);
  UpdateSequence sequence(settings, port, pause, progress, prompt, log);
  const int shown = sequence.OnSend(target);
  return shown == kMsgUpdateFinished ? kExitSuccess : ExitForMessage(shown);
}

}  // namespace

void AddFlashCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<FlashOptions>();
  auto* sub = app.add_subcommand("flash", "Run a whole update: boot mode, boot program, bit rate, flash blocks");
  sub->add_option("UPDATE", options->update, "update file (Motorola S-records)")->required();
  sub->add_option("--port", options->port, "COMn (through the settings' [Ports] map) or a device path");
  sub->add_option("--boot", options->boot, "boot file (default: \"Info File\" beside the program)");
  sub->add_option("--baud", options->baud, "working bit rate")
      ->check(CLI::IsMember({4800, 9600, 19200, 38400, 57600, 115200}));
  sub->add_option("--send-wait", options->send_wait, "pause in ms after every chunk and block (5 or more)");
  sub->add_option("--ini", options->ini, "settings file (default: quillon.ini beside the programs); never written")
      ->transform(AbsolutePath());
  sub->add_option("--log", options->log, "failure log (default: quillon.sts beside the programs)")
      ->transform(AbsolutePath());
  sub->add_flag("--yes,-y", options->yes, "do not wait for Enter at the boot-mode message");
  sub->callback([options, &status] { status = RunFlash(*options); });
}

}  // namespace quillon::cli
