#include "cli/port_run.h"
#include "cli/output.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "base/event_log.h"
#include "base/messages.h"
#include "base/program_paths.h"
#include "cli/terminal.h"
#include "serial/comm_decorators.h"
#include "serial/serial_port.h"

namespace quillon::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A port's progress as report events: a phase when a transfer begins; progress at most once
// per chunk, at least every quarter second while chunks go out, and at the end of a phase.
class ReportedProgress final : public ProgressSink {
 public:
  ReportedProgress(RunReport& report, const std::string& port, const CountingCommDriver& line)
      : report_(report), port_(port), line_(line) {}
  void SetTextAndRange(std::string, int steps, Transfer transfer) override {
    phase_ = transfer == Transfer::kBootProgram ? "boot" : "transfer";
    total_ = steps;
    done_ = 0;
    reported_ = -1;
  }
  void Show() override {
    start_ = last_ = Clock::now();
    start_bytes_ = line_.bytes_written();
    report_.Phase(port_, phase_, total_);
  }
  void StepAndPump() override {
    ++done_;
    if (Clock::now() - last_ >= std::chrono::milliseconds(250) || done_ == total_) Emit();
  }
  void Close() override {
    if (reported_ != done_) Emit();
  }

 private:
  void Emit() {
    last_ = Clock::now();
    const double seconds = std::chrono::duration<double>(last_ - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(line_.bytes_written() - start_bytes_) / seconds : 0;
    report_.Progress(port_, done_, total_, rate);
    reported_ = done_;
  }

  RunReport& report_;
  const std::string& port_;
  const CountingCommDriver& line_;
  std::string phase_;
  int total_ = 0, done_ = 0, reported_ = -1;
  long long start_bytes_ = 0;
  Clock::time_point start_, last_;
};

// A port's message boxes as report events; nothing once the run is being stopped (what
// fails then fails because of the stop).
class ReportedPrompt final : public UserPrompt {
 public:
  ReportedPrompt(RunReport& report, const std::string& port, const StopFlag& stop)
      : report_(report), port_(port), stop_(stop) {}
  void ShowMessage(int id, std::string_view text) override {
    if (!stop_.requested()) report_.Message(&port_, id, text);
  }
  void EnableMainWindow(bool) override {}

 private:
  RunReport& report_;
  const std::string& port_;
  const StopFlag& stop_;
};

// The terminal's prompt, quiet once the run is being stopped.
class QuietOnStop final : public UserPrompt {
 public:
  QuietOnStop(UserPrompt& inner, const StopFlag& stop) : inner_(inner), stop_(stop) {}
  void ShowMessage(int id, std::string_view text) override {
    if (!stop_.requested()) inner_.ShowMessage(id, text);
  }
  void EnableMainWindow(bool enabled) override { inner_.EnableMainWindow(enabled); }

 private:
  UserPrompt& inner_;
  const StopFlag& stop_;
};

// A record the log could not take is not lost: it goes to the person.
void ShowUnwritten(EventLog& log, const std::function<void(const std::string&)>& warn) {
  log.on_unwritten = [path = log.Path(), warn](const std::string& record) {
    warn("the log " + path.string() + " could not be written; its record: " + record);
  };
}

}  // namespace

PortResult RunPort(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, const StopFlag& stop,
                   RunReport* report, const HintFor& hint) {
  const auto start = Clock::now();
  PortResult result;
  result.port = job.name;
  result.log = job.log_path;
  if (job.com > 0) settings.Com = job.com;
  settings.StsPath = job.log_path;

  // Warnings come from this thread: through the report, above its live lines; without one,
  // on a line of their own above the progress bar.
  const std::function<void(const std::string&)> warn = [&](const std::string& text) {
    if (report != nullptr) {
      report->Warning(job.name, text);
    } else {
      Print(stderr, "\r\x1b[Kwarning: %s\n", text.c_str());
    }
  };

  std::unique_ptr<CommDriver> platform = MakePlatformCommDriver();
  std::optional<TraceFile> trace;
  if (!job.trace_path.empty()) {
    trace.emplace(job.trace_path);
    if (!trace->ok()) {
      warn("the trace " + job.trace_path + " cannot be written: this run is not traced");
      trace.reset();
    } else {
      platform = std::make_unique<TracingCommDriver>(std::move(platform), trace->Sink());
    }
  }
  auto counting = std::make_unique<CountingCommDriver>(std::move(platform));
  const CountingCommDriver& counted = *counting;
  auto line = std::make_unique<StoppableCommDriver>(std::move(counting), stop);

  EventLog log(Utf8Path(job.log_path));
  log.make_folder = job.make_log_folder;
  ShowUnwritten(log, warn);
  log.stopped_by = &stop;
  StoppablePause pause(stop);
  int shown = 0;
  StopPoint stop_point;
  {
    SerialPort port(*line, log);
    if (report != nullptr) {
      ReportedProgress progress(*report, job.name, counted);
      ReportedPrompt prompt(*report, job.name, stop);
      UpdateSequence sequence(settings, port, pause, progress, prompt, log);
      shown = sequence.RunLoaded(files, job.target, false);
      stop_point = sequence.stop_point();
    } else {
      TerminalPrompt terminal([&](int id) { return hint(id, job, settings); });
      QuietOnStop prompt(terminal, stop);
      TerminalProgress progress(stderr);
      UpdateSequence sequence(settings, port, pause, progress, prompt, log);
      shown = sequence.RunLoaded(files, job.target, false);
      stop_point = sequence.stop_point();
    }
  }  // the port is closed here: exclusive use released, its settings given back
  result.bytes = counted.bytes_written();
  line.reset();
  if (trace) trace->Finish(stop.requested());

  result.stop = stop_point;
  if (shown != kMsgUpdateFinished && stop.requested()) {
    result.interrupted = true;
    EventLog record(Utf8Path(job.log_path));
    record.make_folder = job.make_log_folder;
    ShowUnwritten(record, warn);
    LogFailure(record, "INTERRUPTED");
  } else {
    result.id = shown;
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

std::string PerPortFile(const std::string& path, const std::string& device) {
  std::string part = device.substr(device.find_last_of("/\\") == std::string::npos ? 0 : device.find_last_of("/\\") + 1);
  for (char& c : part) {
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '_' || c == '-';
    if (!kept) c = '_';
  }
  const std::filesystem::path p = Utf8Path(path);
  const auto name = p.stem().u8string() + u8"-" + std::u8string(part.begin(), part.end()) + p.extension().u8string();
  const auto full = (p.parent_path() / std::filesystem::path(name)).u8string();
  return {full.begin(), full.end()};
}

}  // namespace quillon::cli
