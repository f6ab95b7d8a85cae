#include "station/port_run.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "base/event_log.h"
#include "base/program_paths.h"
#include "serial/comm_decorators.h"
#include "serial/serial_port.h"
#include "station/output.h"

namespace quillon::station {
namespace {

using Clock = std::chrono::steady_clock;

// A port's progress as events: a phase when a transfer begins, one event per chunk, and the
// end of the phase. The rate is what went out on the line since the phase began.
class PublishedProgress final : public ProgressSink {
 public:
  PublishedProgress(EventStream& events, const std::string& port, const CountingCommDriver& line)
      : events_(events), port_(port), line_(line) {}
  void SetTextAndRange(std::string text, int steps, Transfer transfer) override {
    text_ = std::move(text);
    transfer_ = transfer;
    total_ = steps;
    done_ = 0;
  }
  void Show() override {
    start_ = Clock::now();
    start_bytes_ = line_.bytes_written();
    events_.Publish(PhaseEvent{port_, transfer_, text_, total_});
  }
  void StepAndPump() override {
    ++done_;
    events_.Publish(ProgressEvent{port_, done_, total_, Rate()});
  }
  void Close() override { events_.Publish(PhaseEndEvent{port_, done_, total_, Rate(), Seconds()}); }

 private:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  double Rate() const {
    const double seconds = Seconds();
    return seconds > 0 ? static_cast<double>(line_.bytes_written() - start_bytes_) / seconds : 0;
  }

  EventStream& events_;
  const std::string& port_;
  const CountingCommDriver& line_;
  std::string text_;
  Transfer transfer_ = Transfer::kUpdate;
  int total_ = 0, done_ = 0;
  long long start_bytes_ = 0;
  Clock::time_point start_;
};

// A port's message boxes as events; nothing once the run is being stopped (what fails then
// fails because of the stop).
class PublishedPrompt final : public UserPrompt {
 public:
  PublishedPrompt(EventStream& events, const std::string& port, const StopFlag& stop)
      : events_(events), port_(port), stop_(stop) {}
  void ShowMessage(int id, std::string_view text) override {
    if (stop_.requested()) return;
    shown = std::string(text);
    events_.Publish(MessageEvent{port_, id, shown});
  }
  void EnableMainWindow(bool) override {}

  std::string shown;  ///< the last message shown

 private:
  EventStream& events_;
  const std::string& port_;
  const StopFlag& stop_;
};

// A record the log could not take is not lost: it goes to the subscribers.
void PublishUnwritten(EventLog& log, EventStream& events, const std::string& port) {
  log.on_unwritten = [&events, &port, path = log.Path()](const std::string& record) {
    events.Publish(WarningEvent{port, WarningEvent::Kind::kLogUnwritten, path.string(), record});
  };
}

}  // namespace

PortParts PlatformPortParts(const StopFlag& stop) {
  return {MakePlatformCommDriver(), std::make_unique<StoppablePause>(stop)};
}

PortResult RunPort(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, const StopFlag& stop,
                   EventStream& events, const PortPartsMaker& make_parts) {
  const auto start = Clock::now();
  PortResult result;
  result.port = job.name;
  result.log = job.log_path;
  if (job.com > 0) settings.Com = job.com;
  settings.StsPath = job.log_path;

  PortParts parts = make_parts(stop);
  std::unique_ptr<CommDriver> platform = std::move(parts.driver);
  std::optional<TraceFile> trace;
  if (!job.trace_path.empty()) {
    trace.emplace(job.trace_path);
    if (!trace->ok()) {
      events.Publish(WarningEvent{job.name, WarningEvent::Kind::kTraceUnwritable, job.trace_path, {}});
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
  PublishUnwritten(log, events, job.name);
  log.stopped_by = &stop;
  Pause& pause = *parts.pause;
  int shown = 0;
  std::string shown_text;
  StopPoint stop_point;
  {
    SerialPort port(*line, log);
    PublishedProgress progress(events, job.name, counted);
    PublishedPrompt prompt(events, job.name, stop);
    UpdateSequence sequence(settings, port, pause, progress, prompt, log);
    shown = sequence.RunLoaded(files, job.target, false);
    shown_text = prompt.shown;
    stop_point = sequence.stop_point();
  }  // the port is closed here: exclusive use released, its settings given back
  result.bytes = counted.bytes_written();
  line.reset();
  if (trace) trace->Finish(stop.requested());

  result.stop = stop_point;
  if (shown != kMsgUpdateFinished && stop.requested()) {
    result.interrupted = true;
    EventLog record(Utf8Path(job.log_path));
    record.make_folder = job.make_log_folder;
    PublishUnwritten(record, events, job.name);
    LogFailure(record, "INTERRUPTED");
  } else {
    result.id = shown;
    result.text = shown_text;
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

}  // namespace quillon::station
