// quillon-cli flash: a whole update from the command line, exactly as Send runs it, on one
// port or on several at once.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "base/messages.h"
#include "base/program_paths.h"
#include "base/system.h"
#include "base/version.h"
#include "report/fixes.h"
#include "report/unit_record.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/context.h"
#include "cli/exit_status.h"
#include "cli/file_report.h"
#include "cli/flash_steps.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "cli/run_report.h"
#include "cli/terminal.h"
#include "station/delivery.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"
#include "records/run_records.h"
#include "records/sha256.h"
#include "station/station.h"
#include "update/update_sequence.h"

namespace quillon::cli {

std::string BootPath(const FlashOptions& options, const UpdateSettings& settings) {
  return options.boot.empty() ? BootFilePath(settings) : options.boot;
}

namespace {

using station::PortJob;

// What to check after a failure, in a line under the message; `log` is the port's own log.
std::string Hint(int id, const FlashOptions& options, const UpdateSettings& settings,
                 const std::string& port_name, const std::string& log, Language language = CurrentLanguage()) {
  return report::FixFor(id, {BootPath(options, settings), settings.MotFile, port_name, log, settings.Baudrate}, language);
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

// Shows a message of the run before the ports start (202, or a file's failure) to every
// printer.
class FrontPrompt final : public UserPrompt {
 public:
  explicit FrontPrompt(station::EventStream& events) : events_(events) {}
  void ShowMessage(int id, std::string_view) override {
    // A file that fails to load once a stop was asked for fails because of the stop.
    if (InterruptFlag().requested() && id != kMsgRestartInBootMode) return;
    events_.Publish(station::MessageEvent{std::nullopt, id, {}});
  }
  void EnableMainWindow(bool) override {}

 private:
  station::EventStream& events_;
};

// The ports a usb: expression names, or the exit status when it names none that can run.
std::optional<int> AddUsbPorts(const std::string& name, const UpdateSettings& settings, std::vector<std::string>& devices) {
  const UsbMatch match = MatchUsbPorts(name, ListSerialPorts(settings.Ports));
  switch (match.outcome) {
    case UsbMatch::Outcome::kMalformed:
      Say(stderr,
          "error: %s: a USB port is named usb:VID:PID, usb:VID:PID:SERIAL or "
          "usb:VID:PID:SERIAL:INTERFACE, with VID and PID four hex digits each\n",
          {name});
      return kExitUsage;
    case UsbMatch::Outcome::kAmbiguous: {
      std::string both;
      for (const auto& device : match.devices) both += (both.empty() ? "" : " and ") + device;
      Say(stderr,
          "error: %s: two different adapters report this serial number (%s); name each by its "
          "device or by usb:VID:PID and its socket\n",
          {name, both});
      return kExitUsage;
    }
    case UsbMatch::Outcome::kNoneFound:
      Print(stderr, "[%d] %s\n", kMsgPortOpenFailed,
            MessageTextShownNaming(kMsgPortOpenFailed, name).c_str());
      Say(stderr,
          "      %s: no USB serial adapter with that %s is plugged in (quillon-cli ports lists the "
          "adapters it sees)\n",
          {name, match.with_interface ? Tr("VID, PID, serial number and interface")
                 : match.with_serial  ? Tr("VID, PID and serial number")
                                      : Tr("VID and PID")});
      return ExitForMessage(kMsgPortOpenFailed);
    case UsbMatch::Outcome::kFound: break;
  }
  if (match.devices.size() == 1) {
    Say(stderr, "%s: 1 adapter, by socket:", {name});
  } else {
    Say(stderr, "%s: %s adapters, by socket:", {name, std::to_string(match.devices.size())});
  }
  for (const auto& device : match.devices) Print(stderr, " %s", device.c_str());
  Print(stderr, "\n");
  devices = match.devices;
  return std::nullopt;
}

// The adapter behind each job's port, as a run record names it: its USB serial number, else
// its /dev/serial/by-path name; nothing when the port list does not know it.
void NameAdapters(const UpdateSettings& settings, std::vector<PortJob>& jobs) {
  const auto ports = ListSerialPorts(settings.Ports);
  for (auto& job : jobs) {
    const std::string device = JobDevice(job, settings);
    for (const auto& port : ports) {
      if (!SameDevice(port.device, device)) continue;
      if (port.serial) {
        job.adapter = *port.serial;
      } else if (!port.by_path.empty()) {
        job.adapter = port.by_path.front();
      }
    }
  }
}

}  // namespace

// The --port values as jobs: usb: expressions expanded, COMn through the settings' map.
std::optional<int> MakeJobs(const FlashOptions& options, const UpdateSettings& settings, std::vector<PortJob>& jobs) {
  auto add = [&jobs](int com, const std::string& device, const std::string& name) {
    PortJob job;
    job.com = com;
    job.name = name;
    if (com == 0) job.target.port_device = job.target.port_label = device;
    jobs.push_back(std::move(job));
  };
  if (options.ports.empty()) add(settings.Com, {}, ComLabel(settings.Com));
  for (const auto& name : options.ports) {
    if (IsUsbExpression(name)) {
      std::vector<std::string> devices;
      if (const auto status = AddUsbPorts(name, settings, devices)) return status;
      for (const auto& device : devices) add(0, device, device);
    } else if (const int com = ComNameNumber(name); com > 0) {
      add(com, {}, ComLabel(com));
    } else {
      add(0, name, name);
    }
  }
  NameAdapters(settings, jobs);
  return std::nullopt;
}

// One device named twice, or two ports whose logs would share a name, is wrong usage. Several
// ports keep their records (and traces) in files of their own.
std::optional<int> NameFiles(const FlashOptions& options, const UpdateSettings& settings, bool make_log_folder,
                             std::vector<PortJob>& jobs) {
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (SameDevice(JobDevice(jobs[i], settings), JobDevice(jobs[j], settings))) {
        Say(stderr, "error: the device %s is named twice (%s and %s)\n",
            {JobDevice(jobs[i], settings), jobs[j].name, jobs[i].name});
        return kExitUsage;
      }
    }
  }
  std::set<std::string> files;
  const bool several = jobs.size() > 1;
  for (auto& job : jobs) {
    job.make_log_folder = make_log_folder;
    job.log_path = several ? station::PerPortFile(settings.StsPath, JobDevice(job, settings)) : settings.StsPath;
    if (!options.trace.empty()) {
      job.trace_path = several ? station::PerPortFile(options.trace, JobDevice(job, settings)) : options.trace;
    }
    if (!files.insert(job.log_path).second) {
      Say(stderr, "error: two ports would share the log %s: name them by different devices\n",
          {job.log_path});
      return kExitUsage;
    }
  }
  return std::nullopt;
}

namespace {

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

}  // namespace

// A log that is one of the run's own files is wrong usage; one that cannot be written does
// not stop the run, but the person hears it before message 202.
std::optional<int> CheckLogs(const std::vector<PortJob>& jobs, const NamedFiles& inputs) {
  for (const auto& job : jobs) {
    for (const auto& [file, what] : inputs) {
      if (SameDevice(job.log_path, file)) {
        Say(stderr, "error: the log %s is also %s: name another log with --log\n",
            {job.log_path, what});
        return kExitUsage;
      }
    }
    std::error_code error;
    const auto status = std::filesystem::status(Utf8Path(job.log_path), error);
    const bool folder_made_later = job.make_log_folder && !std::filesystem::exists(Utf8Path(job.log_path).parent_path(), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      Say(stderr,
          "warning: the log %s is not a regular file: failures of this run will not be logged\n",
          {job.log_path});
    } else if (!folder_made_later && !Writable(job.log_path)) {
      Say(stderr,
          "warning: the log %s cannot be written: failures of this run will be shown here only\n",
          {job.log_path});
    }
  }
  return std::nullopt;
}

// A trace goes only to a regular file or a new one, and never over a file of the run (a log,
// the boot, update or settings file, another port's trace): anything else is wrong usage.
std::optional<int> CheckTraces(const std::vector<PortJob>& jobs, const NamedFiles& inputs) {
  for (const auto& job : jobs) {
    if (job.trace_path.empty()) continue;
    const std::string& trace = job.trace_path;
    std::error_code error;
    const auto status = std::filesystem::status(Utf8Path(trace), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      Say(stderr,
          "error: the trace %s is not a regular file (a device, FIFO or folder): name a new file\n",
          {trace});
      return kExitUsage;
    }
    NamedFiles taken = inputs;
    for (const auto& other : jobs) {
      taken.emplace_back(other.log_path, Tr("a log of this run"));
      if (&other != &job && !other.trace_path.empty())
        taken.emplace_back(other.trace_path, TrF("the trace of %s", {other.name}));
    }
    for (const auto& [file, what] : taken) {
      if (SameDevice(trace, file)) {
        Say(stderr, "error: the trace %s is also %s: name another file with --trace\n",
            {trace, what});
        return kExitUsage;
      }
    }
    if (!Writable(trace)) {
      Say(stderr,
          "error: the trace %s cannot be written: name a file in a folder you may write to\n",
          {trace});
      return kExitUsage;
    }
  }
  return std::nullopt;
}

namespace {

// The fix for a port's result in `language`, naming that port's own log.
std::string PortFix(const FlashRun& run, const PortResult& result, Language language) {
  for (const auto& job : run.jobs) {
    if (job.name == result.port) {
      return Hint(result.id, run.options, run.settings, PortHintName(job, run.settings), job.log_path, language);
    }
  }
  return Hint(result.id, run.options, run.settings, result.port, run.settings.StsPath, language);
}

}  // namespace

std::function<std::string(const PortResult&)> EnglishFix(const FlashRun& run) {
  return [&run](const PortResult& result) { return PortFix(run, result, Language::kEnglish); };
}

bool PoolReusesValue(const FlashOptions& options, const std::string& pool) {
  const auto at = std::find(options.pools.begin(), options.pools.end(), pool);
  if (at == options.pools.end() || options.on_fail.empty()) return false;
  const auto index = options.on_fail.size() == 1 ? 0 : static_cast<std::size_t>(at - options.pools.begin());
  return index < options.on_fail.size() && options.on_fail[index] == "reuse";
}

std::string NextStep(const FlashRun& run, const PortResult& result, Language language) {
  // The board: one that never took the boot program is untouched; one stopped in the transfer
  // holds a half-written flash and must be run again before it leaves the line.
  std::string step = result.stop.phase == RunPhase::kTransfer || result.stop.phase == RunPhase::kClosing
                         ? std::string(TrIn(language, "run the board again (its flash is half written); set it aside "
                                                      "if it fails a second time"))
                         : std::string(TrIn(language, "re-seat the board in boot mode and run it again"));
  if (result.serial_number) {
    step += "; " + (run.options.reuse_failed_number
                        ? TrFIn(language, "its serial number %s goes to the next unit", {*result.serial_number})
                        : TrFIn(language, "its serial number %s is spent", {*result.serial_number}));
  }
  for (const auto& [pool, value] : result.values) {
    step += "; " + (PoolReusesValue(run.options, pool) && !result.interrupted
                        ? TrFIn(language, "its value %s of pool %s goes back to the pool", {value, pool})
                        : TrFIn(language, "its value %s of pool %s is spent", {value, pool}));
  }
  const std::string fix = PortFix(run, result, language);
  // The unit's row keeps its log's records and where it stopped, whatever the log says.
  const std::string records =
      result.unit > 0 ? " " + TrFIn(language, "quillon-cli history --failed --port %s shows its record.", {result.port})
                      : std::string();
  return (fix.empty() ? step : fix + " " + TrFIn(language, "Then: %s.", {step})) + records;
}

namespace {

// The printer of this run, reading the station's events.
void ChoosePrinter(FlashRun& run) {
  if (run.options.json) {
    run.report = std::make_unique<JsonLinesReport>(stdout, EnglishFix(run));
  } else if (run.several()) {
    std::vector<std::string> names;
    for (const auto& job : run.jobs) names.push_back(job.name);
    run.report = std::make_unique<PortLinesReport>(stdout, IsTerminal(stdout), names);
  } else {
    run.report = std::make_unique<TerminalReport>([&run](int id) {
      return Hint(id, run.options, run.settings, PortHintName(run.jobs.front(), run.settings),
                  run.jobs.front().log_path);
    });
  }
  Subscribe(run.events, *run.report);
}

}  // namespace

// The files, once for every port; their records go to the usual log.
std::optional<int> LoadFiles(FlashRun& run) {
  const EventLog log(Utf8Path(run.settings.StsPath),
                    {.on_unwritten =
                         [&run](const std::string& record) {
                           Say(stderr, "warning: the log %s could not be written; its record: %s\n",
                               {run.settings.StsPath, record});
                         },
                     .make_folder = run.make_log_folder});
  FrontPrompt front(run.events);
  const int failed = LoadUpdateFiles(run.settings, run.options.boot, front, log, run.files);
  if (InterruptFlag().requested()) {
    // Whatever failed while loading failed because of the stop.
    run.events.Publish(station::NoticeEvent{station::NoticeEvent::Kind::kInterruptedBeforeSending});
    return run.End({}, kExitInterrupted);
  }
  if (failed != 0) return run.End({}, ExitForMessage(failed));
  return std::nullopt;
}

namespace {

// The result of a port that never ran, stopped at `phase`.
PortResult NotRun(const PortJob& job, RunPhase phase) {
  PortResult result;
  result.port = job.name;
  result.log = job.log_path;
  result.stop.phase = phase;
  return result;
}

}  // namespace

// Every port must be usable before message 202: nobody restarts a device into boot mode for a
// run that cannot start, and with several ports nothing is sent when one cannot be used.
std::optional<int> Preflight(FlashRun& run, bool for_station) {
  for (const auto& job : run.jobs) {
    const std::string device = JobDevice(job, run.settings);
    auto findings = CheckPort(device, PortCheckOptions{"/", false});
    // A station's fixture may have its adapter plugged in later.
    if (for_station && std::any_of(findings.begin(), findings.end(),
                                       [](const PortFinding& f) { return f.kind == PortFinding::Kind::kMissing; })) {
      continue;
    }
    if (NothingBlocks(findings)) continue;
    // The record a failed open writes, without opening the port: a port another program
    // holds, or the system console, is not touched at all.
    const EventLog port_log(Utf8Path(job.log_path), {.make_folder = job.make_log_folder});
    LogOpenError(port_log, device);
    const std::string label = job.com > 0 ? ComLabel(job.com) : job.target.port_label;
    station::NoticeEvent nothing_sent{station::NoticeEvent::Kind::kNothingSent, job.name};
    nothing_sent.findings = std::move(findings);
    const int status = ExitForMessage(kMsgPortOpenFailed);
    // A station's last word is a station's summary: no unit on any port.
    auto station_summary = [&run, status] {
      std::vector<station::PortCounts> ports;
      for (const auto& each : run.jobs) ports.push_back({each.name});
      run.events.Publish(station::StationSummaryEvent{ports, 0, 0, 0, status});
      return status;
    };
    if (!run.options.json && !run.several()) {
      // One port: its message and what stops it, as a failed open shows them.
      nothing_sent.kind = station::NoticeEvent::Kind::kPortUnusable;
      nothing_sent.detail = label;
      run.events.Publish(nothing_sent);
      return for_station ? station_summary() : status;
    }
    run.events.Publish(station::MessageEvent{job.name, kMsgPortOpenFailed, label});
    PortResult result = NotRun(job, RunPhase::kOpen);
    result.id = kMsgPortOpenFailed;
    result.port_label = label;
    run.events.Publish(station::ResultEvent{result});
    run.events.Publish(nothing_sent);
    if (for_station) return station_summary();
    return run.End({result}, status);
  }
  return std::nullopt;
}

// Message 202 once for every port; then one Enter (or --yes) starts them all. A stop or the
// end of input here sends nothing.
std::optional<int> BootModePrompt(FlashRun& run) {
  const StopFlag& stop = InterruptFlag();
  FrontPrompt(run.events).ShowMessage(kMsgRestartInBootMode, MessageText(kMsgRestartInBootMode));
  if (IsTerminal(stdin) && !run.options.yes && !stop.requested()) {
    std::FILE* out = run.options.json ? stderr : stdout;
    // What Enter will do: which ports (and the devices behind them), which file, how fast.
    station::QuestionEvent question;
    for (const auto& job : run.jobs) {
      question.ports.push_back({job.name, JobDevice(job, run.settings), run.options.ports.empty()});
    }
    std::error_code size_error;
    const auto size = std::filesystem::file_size(Utf8Path(run.settings.MotFile), size_error);
    question.update = run.settings.MotFile;
    question.bytes = size_error ? 0 : static_cast<long long>(size);
    question.image_sha256 = run.image_sha256;
    question.boot = BootPath(run.options, run.settings);
    question.baud = run.settings.Baudrate;
    run.events.Publish(question);
    BootModeAnswer answer = BootModeAnswer::kAskAgain;
    std::optional<std::string> line;
    while (answer == BootModeAnswer::kAskAgain && !stop.requested()) {
      line = ReadAnswer(stop);
      answer = ReadBootModeAnswer(line);
      if (answer == BootModeAnswer::kAskAgain) {
        question.again = true;
        run.events.Publish(question);
      }
    }
    if (stop.requested()) Print(out, "\n");
    if (answer == BootModeAnswer::kCancel && !stop.requested()) {
      // Only Enter or y goes ahead: n, q or the end of input (Ctrl-D) call the run off before
      // anything is sent.
      if (!line) Print(out, "\n");
      station::NoticeEvent cancelled{station::NoticeEvent::Kind::kCancelled};
      cancelled.end_of_input = !line;
      run.events.Publish(cancelled);
      return run.End({}, kExitCancelled);
    }
  }
  if (!stop.requested()) return std::nullopt;
  std::vector<PortResult> results;
  for (const auto& job : run.jobs) {
    PortResult result = NotRun(job, RunPhase::kRestart);
    result.interrupted = true;
    run.events.Publish(station::ResultEvent{result});
    results.push_back(result);
  }
  run.events.Publish(station::NoticeEvent{station::NoticeEvent::Kind::kInterruptedBeforeSending});
  return run.End(std::move(results), kExitInterrupted);
}

namespace {

// The exit status of the ports' results: 130 before 17 before a single port's own.
int ExitStatus(const std::vector<PortResult>& results) {
  const bool interrupted = std::any_of(results.begin(), results.end(), [](const PortResult& r) { return r.interrupted; });
  if (interrupted) return kExitInterrupted;
  if (std::all_of(results.begin(), results.end(), [](const PortResult& r) { return r.ok(); })) return kExitSuccess;
  return results.size() > 1 ? kExitSomePortsFailed : ExitForMessage(results.front().id);
}

// Every port at once, to the end of each.
// flash --record: a row for each port's run, begun as the ports start and completed as they
// end.
class FlashRecords {
 public:
  static std::unique_ptr<FlashRecords> Open(FlashRun& run) {
    std::string error;
    auto records = records::RunRecords::Open(RecordsPath(run), error);
    if (!records) {
      run.events.Publish(
          station::NoticeEvent{station::NoticeEvent::Kind::kRecordsUnusable, std::nullopt, RecordsPath(run), error});
      return nullptr;
    }
    return std::unique_ptr<FlashRecords>(new FlashRecords(std::move(records), BaseRow(run)));
  }

  records::RunRecords& records() { return *records_; }

  void Begin(const std::vector<PortJob>& jobs, station::EventStream& events) {
    for (const auto& job : jobs) {
      records::UnitRow row = base_;
      row.port = job.name;
      row.adapter = job.adapter;
      row.started_utc = records::UtcNow();
      std::string error;
      if (records_->BeginUnit(row, nullptr, error) <= 0) {
        events.Publish(station::NoticeEvent{station::NoticeEvent::Kind::kRowNotBegun, job.name, {}, error});
      }
      rows_.push_back(row);
    }
  }

  void End(const std::vector<PortResult>& results, station::EventStream& events) {
    for (std::size_t i = 0; i < results.size() && i < rows_.size(); ++i) {
      if (rows_[i].id == 0) continue;
      station::CompleteRow(rows_[i], results[i], {});
      std::string error;
      if (!records_->EndUnit(rows_[i], error)) {
        events.Publish(
            station::NoticeEvent{station::NoticeEvent::Kind::kRowNotCompleted, results[i].port, {}, error});
      }
    }
  }

 private:
  FlashRecords(std::unique_ptr<records::RunRecords> records, records::UnitRow base)
      : records_(std::move(records)), base_(std::move(base)) {}
  std::unique_ptr<records::RunRecords> records_;
  records::UnitRow base_;
  std::vector<records::UnitRow> rows_;
};

int RunAllPorts(FlashRun& run, FlashRecords* records, FleetSetup& fleet, const DeliverySetup& outputs) {
  // With a fleet or outputs, the rows go out as they are written; the run's end waits a little
  // for the last ones, and the next run sends what is left.
  station::Deliveries delivery(fleet.link.get(), fleet.where, outputs.Links(), run.events);
  if (records != nullptr) records->Begin(run.jobs, run.events);
  delivery.Poke();
  auto results = station::RunPorts(run.jobs, run.settings, run.files, InterruptFlag(), run.events,
                                    [&run] { run.report->Tick(); });
  if (records != nullptr) records->End(results, run.events);
  delivery.Poke();
  delivery.Finish(DeliverGraceMs(run.options));
  const int status = ExitStatus(results);
  if (status == kExitInterrupted) run.events.Publish(station::NoticeEvent{station::NoticeEvent::Kind::kInterrupted});
  return run.End(std::move(results), status);
}

int RunFlash(const Context& context, const FlashOptions& options) {
  FlashRun run{options, {}};
  if (const auto status = PrepareRun(context, run)) return *status;
  ChoosePrinter(run);
  if (const auto status = LoadFiles(run)) return *status;
  if (const auto status = CheckExpectedImage(run)) return *status;
  std::unique_ptr<FlashRecords> records;
  FleetSetup fleet;
  DeliverySetup outputs;
  for (const auto& [given, option] : {std::pair{options.fleet, "--fleet"}, std::pair{options.upload, "--upload"},
                                      std::pair{options.drop_folder, "--drop-folder"}}) {
    if (!given.empty() && options.record.empty()) {
      Say(stderr, "error: %s sends the rows of --record FILE: name that file too (it keeps them until they are sent)\n",
          {option});
      return kExitUsage;
    }
  }
  if (!options.record.empty()) {
    records = FlashRecords::Open(run);
    if (!records) return kExitUsage;
    if (!options.fleet.empty()) {
      if (const auto status = SetUpFleet(run, records->records(), RecordsPath(run), {}, fleet)) return *status;
    }
    if (const auto status = SetUpDeliveries(run, records->records(), RecordsPath(run), outputs)) return *status;
  }
  if (const auto status = Preflight(run)) return *status;
  if (const auto status = BootModePrompt(run)) return *status;
  return RunAllPorts(run, records.get(), fleet, outputs);
}

}  // namespace

void AddFlashCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<FlashOptions>();
  auto* sub = app.add_subcommand("flash", "Run a whole update: boot mode, boot program, bit rate, flash blocks");
  AddRunOptions(*sub, *options, context);
  sub->add_option("--record", options->record, "keep a row per port's run in this run-record database (SQLite)")
      ->transform(AbsolutePath());
  AddFleetOptions(*sub, *options);
  sub->add_flag("--yes,-y", options->yes, "do not wait for Enter at the boot-mode message");
  sub->callback([options, &context, &status] { status = RunFlash(context, *options); });
}

void AddRunOptions(CLI::App& sub, FlashOptions& options, const Context& context) {
  sub.add_option("UPDATE", options.update, "update file (Motorola S-records)")->required();
  sub.add_option("--port", options.ports,
                 "COMn (through the settings' [Ports] map), a device path, or usb:VID:PID[:SERIAL[:INTERFACE]]; give it once per "
                 "port to run several devices at once")
      ->allow_extra_args(false)
      ->check(NotEmpty());
  sub.add_option(
      "--boot", options.boot,
      "boot file (default: the settings' Info File, looked for beside the settings file)")
      ->check(NotEmpty());
  sub.add_option("--baud", options.baud, "working bit rate (default: the settings' Baudrate)")
      ->check(CLI::IsMember({4800, 9600, 19200, 38400, 57600, 115200}));
  sub.add_option("--send-wait", options.send_wait,
                 "pause in ms after every chunk and block (default: the settings' SendWait)");
  sub.add_option("--ini", options.ini,
                 "settings file (default: " + context.IniPlace() + "); never written")
      ->transform(AbsolutePath());
  sub.add_option("--log", options.log,
                 "failure log (default: " + context.LogPlace() +
                     "); with several ports each port's records "
                     "go to <stem>-<port>.sts beside it")
      ->transform(AbsolutePath());
  sub.add_option("--trace", options.trace,
                 "write every byte sent and received to this file (several ports: one file per port, named as the "
                 "logs are)")
      ->transform(AbsolutePath());
  sub.add_flag("--json", options.json, "JSON Lines on standard output instead of text (see the README)");
  sub.add_option("--expect-sha256", options.expect_sha256,
                 "the SHA-256 the image must have (as `info` shows it); another image exits 19 with nothing sent")
      ->check(CLI::Validator(
          [](const std::string& value) {
            const bool hex = value.size() == 64 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            return hex ? std::string()
                       : "is not a SHA-256: write its 64 hex digits, as quillon-cli info shows them (" +
                             std::to_string(value.size()) + " characters given)";
          },
          "", "SHA-256"));
}

std::optional<int> PrepareRun(const Context& context, FlashRun& run) {
  const FlashOptions& options = run.options;
  run.settings = context.LoadSettings(options.ini, options.log);
  run.make_log_folder = context.MakeLogFolder(options.log);
  run.settings.MotFile = options.update;
  if (options.baud) run.settings.Baudrate = *options.baud;
  if (options.send_wait) run.settings.SendWait = *options.send_wait;
  const NamedFiles inputs = RunInputs(run);
  if (const auto status = MakeJobs(options, run.settings, run.jobs)) return status;
  if (const auto status = NameFiles(options, run.settings, run.make_log_folder, run.jobs)) return status;
  if (const auto status = CheckLogs(run.jobs, inputs)) return status;
  return CheckTraces(run.jobs, inputs);
}

NamedFiles RunInputs(const FlashRun& run) {
  return {{BootPath(run.options, run.settings), std::string(Tr("the boot file"))},
          {run.settings.MotFile, std::string(Tr("the update file"))},
          {run.settings.IniPath, std::string(Tr("the settings file"))}};
}

std::optional<int> CheckExpectedImage(FlashRun& run) {
  run.image_sha256 = records::Sha256Hex(FlattenFlashImage(*run.files.image));
  if (run.options.expect_sha256.empty()) return std::nullopt;
  std::string expected = run.options.expect_sha256;
  std::transform(expected.begin(), expected.end(), expected.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (expected == run.image_sha256) return std::nullopt;
  Say(stderr,
      "error: the update file is not the one expected\n       expected SHA-256 %s\n       its "
      "image has    %s\n       nothing was sent; check that %s is the release you meant "
      "(quillon-cli info shows its hash)\n",
      {expected, run.image_sha256, run.settings.MotFile});
  return run.End({}, kExitWrongImage);
}

std::string RecordsPath(const FlashRun& run) {
  if (!run.options.record.empty()) return run.options.record;
  const auto folder = Utf8Path(run.settings.StsPath).parent_path() / "quillon-runs.db";
  const auto text = folder.u8string();
  return {text.begin(), text.end()};
}

}  // namespace quillon::cli

namespace quillon::cli {

records::UnitRow BaseRow(const FlashRun& run) {
  records::UnitRow row;
  row.station = run.options.station_name.empty() ? HostName() : run.options.station_name;
  row.operator_name = run.options.operator_name;
  std::error_code error;
  const auto update = std::filesystem::absolute(Utf8Path(run.settings.MotFile), error).u8string();
  row.update_file = {update.begin(), update.end()};
  row.image_sha256 = run.image_sha256;
  row.boot_sha256 = records::Sha256Hex(run.files.boot->Data());
  row.quillon_version = kVersion;
  return row;
}

std::optional<int> SetUpFleet(FlashRun& run, records::RunRecords& records, const std::string& records_path,
                              records::FleetPlan plan, FleetSetup& setup) {
  if (!records::FleetAvailable()) {
    Say(stderr, "error: --fleet: this build of quillon-cli has no fleet: it was made without libpq (the Linux build has it)\n");
    return kExitUsage;
  }
  std::string error;
  const std::string url = run.options.fleet;
  if (!records::FleetServer::Readable(url, error)) {
    Say(stderr, "error: --fleet: %s\n", {error});
    return kExitUsage;
  }
  const auto identity = records::LoadIdentity(records_path, run.options.station_name, error);
  if (!identity || !records.UseLeases(ProcessId(), error)) {
    Say(stderr, "error: --fleet: the station's identity or outbox cannot be kept: %s\n", {error});
    return kExitRecords;
  }
  setup.identity = *identity;
  auto first = records::FleetServer::Connect(url, error);
  if (first && !first->CheckSchema(error)) {
    Say(stderr, "error: --fleet: %s\n", {error});
    return kExitUsage;
  }
  if (first) {
    setup.where = first->Where();
  } else {
    setup.where = "(" + std::string(Tr("not reached yet")) + ")";
    Say(stderr,
        "warning: --fleet: %s; the station goes on with the serial numbers it holds and sends its rows once the "
        "server answers\n",
        {error});
  }
  // The first connection serves the link's first round.
  auto held = std::make_shared<std::unique_ptr<records::FleetServer>>(std::move(first));
  auto connect = [url, held](std::string& why) -> std::unique_ptr<records::FleetServer> {
    if (*held) return std::move(*held);
    return records::FleetServer::Connect(url, why);
  };
  setup.link = std::make_unique<records::FleetLink>(records, *identity, std::move(plan), connect);
  // The first round before any port starts: a station that can reach its server begins with a
  // lease in hand instead of its ports waiting for one.
  if (setup.link->Step()) setup.link->Step();
  return std::nullopt;
}

std::vector<records::DeliveryLink*> DeliverySetup::Links() const {
  std::vector<records::DeliveryLink*> shown;
  for (const auto& link : links) shown.push_back(link.get());
  return shown;
}

int DeliverGraceMs(const FlashOptions& options) { return static_cast<int>(options.deliver_grace * 1000); }

std::optional<int> SetUpDeliveries(FlashRun& run, records::RunRecords& records, const std::string& records_path,
                                   DeliverySetup& setup) {
  const auto& options = run.options;
  std::vector<std::unique_ptr<records::Output>> outputs;
  std::string error;
  if (!options.upload.empty()) {
    if (!records::WebhookAvailable()) {
      Say(stderr, "error: --upload: this build of quillon-cli has no HTTP client (the Linux build has it)\n");
      return kExitUsage;
    }
    std::string warning;
    const records::WebhookPlan plan{options.upload, options.upload_ca, options.upload_headers,
                                    std::chrono::milliseconds(static_cast<long>(options.upload_timeout * 1000))};
    auto webhook = records::MakeWebhook(plan, warning, error);
    if (!webhook) {
      Say(stderr, "error: --upload: %s\n", {error});
      return kExitUsage;
    }
    if (!warning.empty()) Say(stderr, "warning: --upload: %s\n", {warning});
    outputs.push_back(std::move(webhook));
  }
  if (!options.drop_folder.empty()) {
    std::error_code failed;
    if (!std::filesystem::is_directory(Utf8Path(options.drop_folder), failed)) {
      Say(stderr, "error: --drop-folder %s: there is no such folder: make it, or name another\n",
          {options.drop_folder});
      return kExitUsage;
    }
  }
  // Without outputs the records still number the units that ended, and the ones a killed
  // process left.
  std::optional<records::StationIdentity> identity;
  if (!options.upload.empty() || !options.drop_folder.empty()) {
    identity = records::LoadIdentity(records_path, options.station_name, error);
    if (!identity) {
      Say(stderr, "error: the station's identity cannot be kept beside its records: %s\n", {error});
      return kExitRecords;
    }
  }
  if (!options.drop_folder.empty()) outputs.push_back(records::MakeDropFolder(options.drop_folder, identity->name));
  std::vector<std::string> names;
  for (const auto& output : outputs) names.push_back(output->Name());
  if (!records.UseOutputs(names, error)) {
    Say(stderr, "error: the run records cannot keep the deliveries: %s\n", {error});
    return kExitRecords;
  }
  if (outputs.empty()) return std::nullopt;
  auto body = [station = *identity](const records::UnitRow& row, const std::string& key) {
    return report::DeliveryBody(row, station, key);
  };
  for (auto& output : outputs) {
    setup.links.push_back(std::make_unique<records::DeliveryLink>(records, std::move(output), identity->uuid, body));
  }
  return std::nullopt;
}

void AddFleetOptions(CLI::App& sub, FlashOptions& options) {
  sub.add_option("--fleet", options.fleet,
                 "send every unit's row to the factory's record server (PostgreSQL: postgresql://USER@HOST:PORT/DATABASE "
                 "or \"host=... dbname=...\"; the password from ~/.pgpass, PGPASSFILE or PGPASSWORD)")
      ->check(NotEmpty());
  sub.add_option("--station-name", options.station_name,
                 "the station's name in every row (default: this computer's name)")
      ->check(NotEmpty());
  auto* upload = sub.add_option("--upload", options.upload,
                                "POST every finished unit as JSON to this URL (https://; http:// only to a private "
                                "address), once, with an Idempotency-Key header; retried until it is taken")
                     ->check(NotEmpty());
  sub.add_option("--upload-ca", options.upload_ca,
                 "a PEM file of the authorities the upload's certificate may come from (default: the system's)")
      ->check(CLI::ExistingFile)
      ->transform(AbsolutePath())
      ->needs(upload);
  sub.add_option("--upload-header", options.upload_headers,
                 "'Name: value' sent with every upload (repeatable; a token's value is never printed)")
      ->needs(upload);
  sub.add_option("--upload-timeout", options.upload_timeout,
                 "seconds an upload may take (connect, send, answer) before it is tried again (default 10)")
      ->check(CLI::Range(0.1, 600.0))
      ->needs(upload);
  sub.add_option("--drop-folder", options.drop_folder,
                 "write every finished unit as DIR/<station>-<unit id>.json (whole, never half a file)")
      ->check(NotEmpty())
      ->transform(AbsolutePath());
  sub.add_option("--deliver-grace", options.deliver_grace,
                 "at the end, go on delivering to the record server and the outputs for up to this many seconds "
                 "(default 30); what is left goes at the next start")
      ->check(CLI::Range(0.0, 3600.0));
}

}  // namespace quillon::cli
