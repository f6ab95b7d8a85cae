#include "station/port_run.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "base/event_log.h"
#include "base/program_paths.h"
#include "serial/comm_decorators.h"
#include "serial/serial_port.h"
#include "protocol/device_protocol.h"
#include "station/trace_file.h"

namespace quillon::station {
namespace {

using Clock = std::chrono::steady_clock;

// A port's progress as events: a phase when a transfer begins, one event per chunk, and the
// end of the phase, each with the bytes that went out on the line since the phase began and
// the time since then on the port's own clock.
class PublishedProgress final : public ProgressSink {
 public:
  PublishedProgress(EventStream& events, const std::string& port, const CountingCommDriver& line, Pause& pause)
      : events_(events), port_(port), line_(line), pause_(pause) {}
  void SetTextAndRange(std::string, int steps, Transfer transfer) override {
    transfer_ = transfer;
    total_ = steps;
    done_ = 0;
  }
  void Show() override {
    start_ = pause_.Now();
    start_bytes_ = line_.bytes_written();
    events_.Publish(PhaseEvent{port_, transfer_, total_});
  }
  void StepAndPump() override {
    ++done_;
    events_.Publish(ProgressEvent{port_, done_, total_, Bytes(), Seconds()});
  }
  void Close() override { events_.Publish(PhaseEndEvent{port_, done_, total_, Bytes(), Seconds()}); }

 private:
  double Seconds() const { return std::chrono::duration<double>(pause_.Now() - start_).count(); }
  long long Bytes() const { return line_.bytes_written() - start_bytes_; }

  EventStream& events_;
  const std::string& port_;
  const CountingCommDriver& line_;
  Pause& pause_;
  Transfer transfer_ = Transfer::kUpdate;
  int total_ = 0, done_ = 0;
  long long start_bytes_ = 0;
  Pause::Clock::time_point start_;
};

// A port's message boxes as events; nothing once the run is being stopped (what fails then
// fails because of the stop).
class PublishedPrompt final : public UserPrompt {
 public:
  PublishedPrompt(EventStream& events, const std::string& port, std::string port_label, const StopFlag& stop)
      : events_(events), port_(port), port_label_(std::move(port_label)), stop_(stop) {}
  void ShowMessage(int id, std::string_view) override {
    if (stop_.requested()) return;
    events_.Publish(MessageEvent{port_, id, id == kMsgPortOpenFailed ? port_label_ : std::string()});
  }
  void EnableMainWindow(bool) override {}

 private:
  EventStream& events_;
  const std::string& port_;
  const std::string port_label_;
  const StopFlag& stop_;
};

}  // namespace

PortParts PlatformPortParts(const StopFlag& stop) {
  return {MakePlatformCommDriver(), std::make_unique<StoppablePause>(stop)};
}

namespace {

// A port's line for the whole of its work: the platform's driver, traced on request, counted,
// and cut short by a stop.
struct PortLine {
  PortLine(const PortJob& job, const StopFlag& stop, EventStream& events, const PortPartsMaker& make_parts)
      : parts(make_parts(stop)) {
    std::unique_ptr<CommDriver> platform = std::move(parts.driver);
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
    counted = counting.get();
    line = std::make_unique<StoppableCommDriver>(std::move(counting), stop);
  }
  /// Lets the driver go and writes out the trace.
  void Finish(const StopFlag& stop) {
    line.reset();
    if (trace) trace->Finish(stop.requested());
  }

  PortParts parts;
  std::optional<TraceFile> trace;
  const CountingCommDriver* counted = nullptr;
  std::unique_ptr<CommDriver> line;
};

// A port's log, with `parts` and the ones every port's log has: its folder made when it is
// missing, and a record it could not take published to the subscribers, not lost.
EventLog PortLog(const PortJob& job, EventStream& events, LogParts parts = {}) {
  parts.make_folder = job.make_log_folder;
  parts.on_unwritten = [&events, &job](const std::string& record) {
    events.Publish(WarningEvent{job.name, WarningEvent::Kind::kLogUnwritten, job.log_path, record});
  };
  return EventLog(Utf8Path(job.log_path), std::move(parts));
}

// The end of one run: a run that the stop ended gets the record "INTERRUPTED" in place of
// its message.
void Conclude(PortResult& result, int shown, const std::string& port_label, const PortJob& job, const StopFlag& stop,
              EventStream& events, const std::function<void(const std::string&)>& on_record = {}) {
  if (shown != kMsgUpdateFinished && stop.requested()) {
    result.interrupted = true;
    LogFailure(PortLog(job, events, {.on_record = on_record}), "INTERRUPTED");
  } else {
    result.id = shown;
    if (shown == kMsgPortOpenFailed) result.port_label = port_label;
  }
}

}  // namespace

PortResult RunPort(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, const StopFlag& stop,
                   EventStream& events, const PortPartsMaker& make_parts) {
  const auto start = Clock::now();
  PortResult result;
  result.port = job.name;
  result.log = job.log_path;
  if (job.com > 0) settings.Com = job.com;
  settings.StsPath = job.log_path;

  PortLine line(job, stop, events, make_parts);
  const EventLog log = PortLog(job, events, {.stopped_by = &stop});
  int shown = 0;
  const std::string port_label = PortLabel(settings, job.target);
  {
    SerialPort port(*line.line, log);
    PublishedProgress progress(events, job.name, *line.counted, *line.parts.pause);
    PublishedPrompt prompt(events, job.name, port_label, stop);
    UpdateSequence sequence(settings, port, *line.parts.pause, progress, prompt, log);
    shown = sequence.RunLoaded(files, job.target, false);
    result.stop = sequence.stop_point();
  }  // the port is closed here: exclusive use released, its settings given back
  result.bytes = line.counted->bytes_written();
  line.Finish(stop);
  Conclude(result, shown, port_label, job, stop, events);
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

namespace {

// A fixture's port between boards: probes the line at most once a second. After a unit it
// first waits for a probe that hears nothing at all (the board was taken off or reset) or for
// the port to go missing and come back (the adapter was pulled), so a board is never run twice.
class Fixture {
 public:
  Fixture(const PortJob& job, const UpdateSettings& settings, SerialPort& port, Pause& pause, const EventLog& log,
          const BoardLoop& loop, EventStream& events)
      : job_(job), settings_(settings), port_(port), pause_(pause), log_(log), loop_(loop), events_(events) {}

  /// Returns once a board answered; false when the loop is to end first.
  bool AwaitBoard(bool after_unit) {
    bool removed = !after_unit;
    NullProgress progress;
    while (loop_.KeepGoing()) {
      const auto began = pause_.Now();
      if (!port_.IsOpen()) {
        const std::string device =
            job_.target.port_device.empty() ? PortDeviceName(job_.com > 0 ? job_.com : settings_.Com, settings_.Ports)
                                            : job_.target.port_device;
        port_.OpenPort(device);
        // Said once each way: the fixture's adapter is gone, or back. Whatever board answers
        // once it is back is one nobody has seen yet: a pulled adapter empties the fixture.
        if (port_.IsOpen() == missing_) {
          missing_ = !missing_;
          events_.Publish(WaitingEvent{job_.name, missing_});
          if (!missing_) removed = true;
        }
      }
      if (port_.IsOpen()) {
        DeviceProtocol protocol(port_, pause_, progress, log_);
        const BootModeProbe heard = protocol.ProbeBootMode(loop_.probe_wait_ms);
        if (heard == BootModeProbe::kLineFailed) port_.ClosePort();
        if (heard == BootModeProbe::kAnswered && removed) return true;
        if (heard == BootModeProbe::kSilent) removed = true;
      }
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(pause_.Now() - began).count();
      if (spent < loop_.probe_period_ms) pause_.Sleep(static_cast<int>(loop_.probe_period_ms - spent));
    }
    return false;
  }

 private:
  class NullProgress final : public ProgressSink {
   public:
    void SetTextAndRange(std::string, int, Transfer) override {}
    void Show() override {}
    void StepAndPump() override {}
    void Close() override {}
  };

  const PortJob& job_;
  const UpdateSettings& settings_;
  SerialPort& port_;
  Pause& pause_;
  const EventLog& log_;
  const BoardLoop& loop_;
  EventStream& events_;
  bool missing_ = false;
};

}  // namespace

PortCounts RunBoards(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, BoardLoop& loop,
                     const StopFlag& stop, EventStream& events, const PortPartsMaker& make_parts) {
  PortCounts counts;
  counts.port = job.name;
  if (job.com > 0) settings.Com = job.com;
  settings.StsPath = job.log_path;
  PortLine line(job, stop, events, make_parts);
  std::string records;
  const auto keep = [&records](const std::string& record) { records += (records.empty() ? "" : "\n") + record; };
  const LogSilence between_boards;
  const EventLog log = PortLog(job, events, {.stopped_by = &stop, .on_record = keep, .silence = between_boards});
  {
    SerialPort port(*line.line, log);
    Fixture fixture(job, settings, port, *line.parts.pause, log, loop, events);
    bool after_unit = false;
    for (;;) {
      events.Publish(WaitingEvent{job.name});
      bool board = false;
      {
        const auto quiet = between_boards.Silence();
        board = fixture.AwaitBoard(after_unit);
      }
      if (!board) break;
      std::optional<std::string> scanned;
      if (!loop.AwaitScan(job, stop, scanned)) break;
      const auto start = Clock::now();
      UnitStart unit = loop.BeginUnit(job, scanned);
      if (unit.wait) {
        // No number to give until the record server is back: the board, in boot mode and
        // answered, waits for its unit with nothing more sent to it (and the fixture goes on
        // knowing which board it is).
        events.Publish(WaitingEvent{job.name, false, true});
        while (unit.wait && !stop.requested() && loop.KeepGoing()) {
          line.parts.pause->Sleep(loop.probe_period_ms);
          unit = loop.BeginUnit(job, scanned);
        }
      }
      if (!unit.started) break;
      events.Publish(BoardEvent{job.name, unit.id, unit.serial_number});
      records.clear();
      PortResult result;
      result.port = job.name;
      result.log = job.log_path;
      result.unit = unit.id;
      result.serial_number = unit.serial_number;
      result.values = unit.values;
      const long long bytes_before = line.counted->bytes_written();
      int shown = 0;
      const std::string port_label = PortLabel(settings, job.target);
      {
        PublishedProgress progress(events, job.name, *line.counted, *line.parts.pause);
        PublishedPrompt prompt(events, job.name, port_label, stop);
        UpdateSequence sequence(settings, port, *line.parts.pause, progress, prompt, log);
        shown = sequence.RunAnswered(files, unit.image.get());
        result.stop = sequence.stop_point();
      }
      port.ClosePort();
      result.bytes = line.counted->bytes_written() - bytes_before;
      Conclude(result, shown, port_label, job, stop, events, keep);
      result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (result.ok()) {
        ++counts.passed;
      } else if (result.interrupted) {
        ++counts.interrupted;
      } else {
        ++counts.failed;
      }
      std::string why;
      const bool written = loop.EndUnit(result, records, why);
      events.Publish(ResultEvent{result});
      after_unit = true;
      if (!written) {
        // The result is kept; the next board waits until it is in the records, so a fixture
        // never gets more than one row ahead of them.
        events.Publish(WarningEvent{job.name, WarningEvent::Kind::kRowWaiting, loop.RecordsName(), why});
        while (!loop.WriteKept(job) && !stop.requested() && loop.KeepGoing()) {
          line.parts.pause->Sleep(loop.probe_period_ms);
        }
      }
      if (stop.requested()) break;
    }
  }
  line.Finish(stop);
  return counts;
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
