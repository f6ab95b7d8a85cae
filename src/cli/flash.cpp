// quillon-cli flash: a whole update from the command line, exactly as Send runs it, on one
// port or on several at once.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "base/messages.h"
#include "base/program_paths.h"
#include "base/system.h"
#include "cli/output.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/file_report.h"
#include "cli/interrupt.h"
#include "cli/port_run.h"
#include "cli/run_report.h"
#include "cli/terminal.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"
#include "update/update_sequence.h"

namespace quillon::cli {
namespace {

struct FlashOptions {
  std::string update;
  std::vector<std::string> ports;
  std::string boot;
  std::optional<int> baud;
  std::optional<int> send_wait;
  std::string ini;
  std::string log;
  std::string trace;
  bool json = false;
  bool yes = false;
};

std::string BootPath(const FlashOptions& options, const UpdateSettings& settings) {
  return options.boot.empty() ? settings.ProgramDir + settings.InfoFile : options.boot;
}

// What to check after a failure, in a line of English under the message.
std::string Hint(int id, const FlashOptions& options, const UpdateSettings& settings, const std::string& port_name) {
  switch (id) {
    case kMsgNoBootFile:
      return "Check the boot file " + BootPath(options, settings) + " (\"Info File\" in the settings file, or --boot).";
    case kMsgNoDataFile: return "Check the update file path: " + settings.MotFile;
    case kMsgBootSendFailed:
      return "Check that the device was restarted in boot mode (DIP switch) and is connected to " + port_name +
             "; the log " + settings.StsPath + " has the details.";
    case kMsgDataSendFailed:
      return "Check the connection and the bit rate (" + std::to_string(settings.Baudrate) +
             " bit/s, --baud); the log " + settings.StsPath + " has the details.";
    case kMsgPortOpenFailed:
      return "Check the port name " + port_name + " and that no other program uses it (quillon-cli ports).";
    case kMsgDataFileBad: {
      const std::string advice = LineEndAdvice(settings.MotFile);
      if (!advice.empty()) return advice;
      return "The update file is bad or puts no data into the flash: quillon-cli info " + settings.MotFile +
             " shows the record at fault.";
    }
    case kMsgBootFileBad:
      return "The boot file is bad, empty or too long: quillon-cli info --boot " + BootPath(options, settings) +
             " UPDATE.mot shows why.";
    default: return {};
  }
}

// How a port appears in a hint: "COM3 (/dev/ttyS2)" for a COM number, else the name given.
std::string PortHintName(const PortJob& job, const UpdateSettings& settings) {
  if (job.com > 0) return ComLabel(job.com) + " (" + PortDeviceName(job.com, settings.Ports) + ")";
  return job.name;
}

// The device a job opens, for telling two names of one device apart.
std::string JobDevice(const PortJob& job, const UpdateSettings& settings) {
  return job.com > 0 ? PortDeviceName(job.com, settings.Ports) : job.target.port_device;
}

// Shows a message of the run before the ports start (202, or a file's failure).
class FrontPrompt final : public UserPrompt {
 public:
  FrontPrompt(RunReport* report, UserPrompt& terminal) : report_(report), terminal_(terminal) {}
  void ShowMessage(int id, std::string_view text) override {
    // A file that fails to load once a stop was asked for fails because of the stop.
    if (InterruptFlag().requested() && id != kMsgRestartInBootMode) return;
    if (report_ != nullptr) {
      report_->Message(nullptr, id, text);
    } else {
      terminal_.ShowMessage(id, text);
    }
  }
  void EnableMainWindow(bool) override {}

 private:
  RunReport* report_;
  UserPrompt& terminal_;
};

struct Usage {
  int status;
};

// The --port values as jobs: usb: expressions expanded, COMn through the settings' map, a
// device named twice refused. Throws Usage with the exit status when the ports cannot run.
std::vector<PortJob> ResolvePorts(const FlashOptions& options, const UpdateSettings& settings) {
  std::vector<PortJob> jobs;
  auto add_device = [&](const std::string& device, const std::string& name) {
    PortJob job;
    job.name = name;
    job.target.port_device = job.target.port_label = device;
    jobs.push_back(std::move(job));
  };
  auto add_com = [&](int com) {
    PortJob job;
    job.com = com;
    job.name = ComLabel(com);
    jobs.push_back(std::move(job));
  };
  if (options.ports.empty()) add_com(settings.Com);
  for (const auto& name : options.ports) {
    if (IsUsbExpression(name)) {
      const UsbMatch match = MatchUsbPorts(name, ListSerialPorts(settings.Ports));
      const auto& devices = match.devices;
      switch (match.outcome) {
        case UsbMatch::Outcome::kMalformed:
          Print(stderr, "error: %s: a USB port is named usb:VID:PID, usb:VID:PID:SERIAL or usb:VID:PID:SERIAL:INTERFACE, "
                        "with VID and PID four hex digits each\n", name.c_str());
          throw Usage{kExitUsage};
        case UsbMatch::Outcome::kAmbiguous: {
          std::string both;
          for (const auto& device : devices) both += (both.empty() ? "" : " and ") + device;
          Print(stderr, "error: %s: two different adapters report this serial number (%s); name each by its device "
                        "or by usb:VID:PID and its socket\n", name.c_str(), both.c_str());
          throw Usage{kExitUsage};
        }
        case UsbMatch::Outcome::kNoneFound:
          Print(stderr, "[%d] %s\n      %s: no USB serial adapter with that %s is plugged in (quillon-cli ports lists "
                        "the adapters it sees)\n", kMsgPortOpenFailed, PortOpenFailedText(name).c_str(), name.c_str(),
                match.with_interface ? "VID, PID, serial number and interface"
                : match.with_serial  ? "VID, PID and serial number" : "VID and PID");
          throw Usage{ExitForMessage(kMsgPortOpenFailed)};
        case UsbMatch::Outcome::kFound: break;
      }
      Print(stderr, "%s: %zu adapter%s, by socket:", name.c_str(), devices.size(), devices.size() == 1 ? "" : "s");
      for (const auto& device : devices) Print(stderr, " %s", device.c_str());
      Print(stderr, "\n");
      for (const auto& device : devices) add_device(device, device);
    } else if (const int com = ComNameNumber(name); com > 0) {
      add_com(com);
    } else {
      add_device(name, name);
    }
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (SameDevice(JobDevice(jobs[i], settings), JobDevice(jobs[j], settings))) {
        Print(stderr, "error: the device %s is named twice (%s and %s)\n", JobDevice(jobs[i], settings).c_str(),
                     jobs[j].name.c_str(), jobs[i].name.c_str());
        throw Usage{kExitUsage};
      }
    }
  }
  // Several ports: each keeps its records (and trace) in a file of its own.
  std::set<std::string> files;
  for (auto& job : jobs) {
    const bool several = jobs.size() > 1;
    job.log_path = several ? PerPortFile(settings.StsPath, JobDevice(job, settings)) : settings.StsPath;
    if (!options.trace.empty()) job.trace_path = several ? PerPortFile(options.trace, JobDevice(job, settings)) : options.trace;
    if (!files.insert(job.log_path).second) {
      Print(stderr, "error: two ports would share the log %s: name them by different devices\n",
                   job.log_path.c_str());
      throw Usage{kExitUsage};
    }
  }
  return jobs;
}

// Whether a file can be written without harm: a regular file (kept as it is) or a new one in
// a folder that takes it (made and removed again).
bool Writable(const std::string& path) {
  const auto p = Utf8Path(path);
  std::error_code error;
  const bool existed = std::filesystem::exists(p, error);
  const bool opened = std::ofstream(p, std::ios::app).is_open();
  if (opened && !existed) std::filesystem::remove(p, error);
  return opened;
}

// The log and the traces, before message 202. A trace is written only to a regular file or a
// new one, and never over a file of the run (the log, the boot or update file, the settings,
// another port's trace): anything else is wrong usage. A log that cannot be written does not
// stop the run, but the person hears it now.
int CheckOutputFiles(const std::vector<PortJob>& jobs, const FlashOptions& options, const UpdateSettings& settings) {
  std::vector<std::pair<std::string, std::string>> inputs{
      {BootPath(options, settings), "the boot file"}, {settings.MotFile, "the update file"}, {settings.IniPath, "the settings file"}};
  for (const auto& job : jobs) {
    for (const auto& [file, what] : inputs) {
      if (SameDevice(job.log_path, file)) {
        Print(stderr, "error: the log %s is also %s: name another log with --log\n", job.log_path.c_str(), what.c_str());
        return kExitUsage;
      }
    }
    std::error_code error;
    const auto log_status = std::filesystem::status(Utf8Path(job.log_path), error);
    const bool log_folder_made_later = job.make_log_folder && !std::filesystem::exists(Utf8Path(job.log_path).parent_path(), error);
    if (std::filesystem::exists(log_status) && !std::filesystem::is_regular_file(log_status)) {
      Print(stderr, "warning: the log %s is not a regular file: failures of this run will not be logged\n",
            job.log_path.c_str());
    } else if (!log_folder_made_later && !Writable(job.log_path)) {
      Print(stderr, "warning: the log %s cannot be written: failures of this run will be shown here only\n",
            job.log_path.c_str());
    }
  }
  for (const auto& job : jobs) {
    if (job.trace_path.empty()) continue;
    const std::string& trace = job.trace_path;
    std::error_code error;
    const auto status = std::filesystem::status(Utf8Path(trace), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      Print(stderr, "error: the trace %s is not a regular file (a device, FIFO or folder): name a new file\n", trace.c_str());
      return kExitUsage;
    }
    std::vector<std::pair<std::string, std::string>> taken = inputs;
    for (const auto& other : jobs) {
      taken.emplace_back(other.log_path, "a log of this run");
      if (&other != &job && !other.trace_path.empty()) taken.emplace_back(other.trace_path, "the trace of " + other.name);
    }
    for (const auto& [file, what] : taken) {
      if (SameDevice(trace, file)) {
        Print(stderr, "error: the trace %s is also %s: name another file with --trace\n", trace.c_str(), what.c_str());
        return kExitUsage;
      }
    }
    if (!Writable(trace)) {
      Print(stderr, "error: the trace %s cannot be written: name a file in a folder you may write to\n", trace.c_str());
      return kExitUsage;
    }
  }
  return kExitSuccess;
}

int RunFlash(const FlashOptions& options) {
  const ProgramPaths paths = SharedProgramPaths();
  UpdateSettings settings;
  settings.ProgramDir = paths.ProgramDir;
  settings.IniPath = options.ini.empty() ? paths.IniPath : options.ini;
  settings.StsPath = options.log.empty() ? paths.StsPath : options.log;
  const bool make_log_folder = options.log.empty() && paths.Installed;
  LoadSettings(settings, *OpenProfileStore(Utf8Path(settings.IniPath)));
  // The options hold for this run only; the settings file is never written here.
  settings.MotFile = options.update;
  if (options.baud) settings.Baudrate = *options.baud;
  if (options.send_wait) settings.SendWait = *options.send_wait;

  std::vector<PortJob> jobs;
  try {
    jobs = ResolvePorts(options, settings);
  } catch (const Usage& usage) {
    return usage.status;
  }
  for (auto& job : jobs) job.make_log_folder = make_log_folder;
  const bool several = jobs.size() > 1;

  if (const int status = CheckOutputFiles(jobs, options, settings); status != kExitSuccess) return status;

  std::unique_ptr<RunReport> report;
  if (options.json) {
    report = std::make_unique<JsonLinesReport>(stdout);
  } else if (several) {
    std::vector<std::string> names;
    for (const auto& job : jobs) names.push_back(job.name);
    report = std::make_unique<PortLinesReport>(stdout, isatty(fileno(stdout)) != 0, names);
  }
  const bool interactive = isatty(fileno(stdin)) != 0 && !options.yes;

  // The files, once for every port; their records go to the usual log.
  EventLog log(Utf8Path(settings.StsPath));
  log.make_folder = make_log_folder;
  log.on_unwritten = [&settings](const std::string& record) {
    Print(stderr, "warning: the log %s could not be written; its record: %s\n", settings.StsPath.c_str(),
                 record.c_str());
  };
  TerminalPrompt terminal([&](int id) { return Hint(id, options, settings, PortHintName(jobs.front(), settings)); });
  FrontPrompt front(report.get(), terminal);
  UpdateFiles files;
  const int failed = LoadUpdateFiles(settings, options.boot, front, log, files);
  if (InterruptFlag().requested()) {
    // Whatever failed while loading failed because of the stop.
    if (report) report->Summary({}, kExitInterrupted);
    Print(stderr, "quillon-cli: interrupted before anything was sent\n");
    return kExitInterrupted;
  }
  if (failed != 0) {
    if (report) report->Summary({}, ExitForMessage(failed));
    return ExitForMessage(failed);
  }

  // Every port must be usable before message 202: nobody restarts a device into boot mode for
  // a run that cannot start, and with several ports nothing is sent when one cannot be used.
  for (const auto& job : jobs) {
    const std::string device = JobDevice(job, settings);
    const auto findings = CheckPort(device, PortCheckOptions{"/", false});
    if (NothingBlocks(findings)) continue;
    // The record a failed open writes, without opening the port: a port another program
    // holds, or the system console, is not touched at all.
    EventLog port_log(Utf8Path(job.log_path));
    port_log.make_folder = job.make_log_folder;
    LogOpenError(port_log, device);
    const std::string label = job.com > 0 ? ComLabel(job.com) : job.target.port_label;
    std::string reason;
    for (const auto& f : findings) {
      if (!f.ok && f.blocking) reason += "      " + f.detail + ".\n      " + f.fix + "\n";
    }
    if (report) {
      report->Message(&job.name, kMsgPortOpenFailed, PortOpenFailedText(label));
      PortResult result;
      result.port = job.name;
      result.id = kMsgPortOpenFailed;
      result.log = job.log_path;
      result.stop.phase = RunPhase::kOpen;
      report->Result(result);
      report->Summary({result}, ExitForMessage(kMsgPortOpenFailed));
      Print(stderr, "%s: nothing was sent to any port\n%s", job.name.c_str(), reason.c_str());
    } else {
      Print(stderr, "[%d] %s\n%s", kMsgPortOpenFailed, PortOpenFailedText(label).c_str(), reason.c_str());
      if (several) Print(stderr, "      Nothing was sent to any port.\n");
    }
    return ExitForMessage(kMsgPortOpenFailed);
  }

  // Message 202 once for every port; then one Enter (or --yes) starts them all.
  StopFlag& stop = InterruptFlag();
  front.ShowMessage(kMsgRestartInBootMode, MessageText(kMsgRestartInBootMode));
  if (interactive && !stop.requested()) {
    std::FILE* out = options.json ? stderr : stdout;
    Print(out, "      Set the boot mode switch, restart the device%s, then press Enter.",
                 several ? "s" : "");
    std::fflush(out);
    const bool answered = WaitForEnter(stop);
    if (stop.requested()) Print(out, "\n");
    if (!answered && !stop.requested()) {
      // End of input (Ctrl-D) is no Enter: the run is called off before anything is sent.
      Print(out, "\n");
      Print(stderr, "quillon-cli: cancelled at the boot-mode message (end of input); nothing was sent\n");
      if (report) report->Summary({}, kExitCancelled);
      return kExitCancelled;
    }
  }
  std::vector<PortResult> results;
  if (stop.requested()) {
    // Stopped at the question: nothing was sent to any port.
    for (const auto& job : jobs) {
      PortResult result;
      result.port = job.name;
      result.interrupted = true;
      result.log = job.log_path;
      result.stop.phase = RunPhase::kRestart;
      if (report) report->Result(result);
      results.push_back(result);
    }
    if (report) report->Summary(results, kExitInterrupted);
    Print(stderr, "quillon-cli: interrupted before anything was sent\n");
    return kExitInterrupted;
  }

  auto hint = [&options](int id, const PortJob& job, const UpdateSettings& port_settings) {
    return Hint(id, options, port_settings, PortHintName(job, port_settings));
  };
  std::vector<std::future<PortResult>> running;
  for (const auto& job : jobs) {
    running.push_back(std::async(std::launch::async, [&, job_ptr = &job] {
      PortResult result = RunPort(*job_ptr, settings, files, stop, report.get(), hint);
      if (report) report->Result(result);
      return result;
    }));
  }
  for (auto& run : running) {
    while (report && run.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) report->Tick();
    results.push_back(run.get());
  }

  int status = kExitSuccess;
  const bool interrupted = std::any_of(results.begin(), results.end(), [](const PortResult& r) { return r.interrupted; });
  const bool all_ok = std::all_of(results.begin(), results.end(), [](const PortResult& r) { return r.ok(); });
  if (interrupted) {
    status = kExitInterrupted;
  } else if (!all_ok) {
    status = several ? kExitSomePortsFailed : ExitForMessage(results.front().id);
  }
  if (report) report->Summary(results, status);
  if (interrupted) {
    Print(stderr,
                 "quillon-cli: interrupted; the record INTERRUPTED is in the log. A device stopped during the update "
                 "holds a partly written flash: run the update again.\n");
  }
  return status;
}

}  // namespace

void AddFlashCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<FlashOptions>();
  auto* sub = app.add_subcommand("flash", "Run a whole update: boot mode, boot program, bit rate, flash blocks");
  sub->add_option("UPDATE", options->update, "update file (Motorola S-records)")->required();
  sub->add_option("--port", options->ports,
                  "COMn (through the settings' [Ports] map), a device path, or usb:VID:PID[:SERIAL]; give it once per "
                  "port to update several devices at once")
      ->allow_extra_args(false);
  sub->add_option("--boot", options->boot, "boot file (default: \"Info File\" beside the program)");
  sub->add_option("--baud", options->baud, "working bit rate")
      ->check(CLI::IsMember({4800, 9600, 19200, 38400, 57600, 115200}));
  sub->add_option("--send-wait", options->send_wait, "pause in ms after every chunk and block (5 or more)");
  sub->add_option("--ini", options->ini, "settings file (default: quillon.ini beside the programs); never written")
      ->transform(AbsolutePath());
  sub->add_option("--log", options->log,
                  "failure log (default: quillon.sts beside the programs); with several ports each port's records "
                  "go to <stem>-<port>.sts beside it")
      ->transform(AbsolutePath());
  sub->add_option("--trace", options->trace,
                  "write every byte sent and received to this file (several ports: one file per port, named as the "
                  "logs are)")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "JSON Lines on standard output instead of text (see the README)");
  sub->add_flag("--yes,-y", options->yes, "do not wait for Enter at the boot-mode message");
  sub->callback([options, &status] { status = RunFlash(*options); });
}

}  // namespace quillon::cli
