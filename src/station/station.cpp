#include "station/station.h"

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>

namespace quillon::station {
namespace {

template <typename T>
std::vector<T> AwaitAll(std::vector<std::future<T>>& running, const std::function<void()>& while_running) {
  std::vector<T> results;
  for (auto& run : running) {
    while (run.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
      if (while_running) while_running();
    }
    results.push_back(run.get());
  }
  return results;
}

// The station's shared state: the count of units begun, the rows, the numbers.
class StationLoop final : public BoardLoop {
 public:
  StationLoop(const StationPlan& plan, const UpdateFiles& files, const StopFlag& stop)
      : plan_(plan), files_(files), stop_(stop) {
    probe_wait_ms = plan.probe_wait_ms;
    probe_period_ms = plan.probe_period_ms;
  }

  bool KeepGoing() const override {
    return !stop_.requested() && !halted_.load() && (plan_.units == 0 || begun_.load() < plan_.units);
  }

  UnitStart BeginUnit(const PortJob& job) override {
    UnitStart unit;
    if (plan_.units > 0 && begun_.fetch_add(1) >= plan_.units) return unit;
    UnitRow row = plan_.row;
    row.port = job.name;
    row.adapter = job.adapter;
    row.started_utc = UtcNow();
    SerialDraw draw;
    draw.counter = plan_.counter;
    draw.first = plan_.first_serial;
    draw.text = [this](std::uint64_t number) -> std::optional<std::string> {
      const auto bytes = StampBytes(*plan_.stamp, number);
      if (!bytes) return std::nullopt;
      if (plan_.stamp->format == StampFormat::kDecimal) return std::string(bytes->begin(), bytes->end());
      return std::to_string(number);
    };
    if (plan_.records != nullptr) {
      std::string error;
      const std::int64_t id = plan_.records->BeginUnit(row, plan_.stamp ? &draw : nullptr, error);
      if (id == -1) return Halt("the next serial number of counter \"" + plan_.counter +
                                "\" does not fit the stamp's format");
      if (id <= 0) return Halt("the unit's record could not be written: " + error);
      unit.id = id;
    } else {
      unit.id = ++local_ids_;
    }
    unit.serial_number = row.serial_number;
    if (plan_.stamp && row.serial_number) {
      unit.image = std::make_unique<FlashImage>(*files_.image);
      const std::uint64_t number = std::stoull(*row.serial_number);
      if (!StampImage(*unit.image, *plan_.stamp, number)) {
        return Halt("serial number " + *row.serial_number + " could not be stamped");
      }
    }
    {
      const std::lock_guard lock(mutex_);
      rows_[unit.id] = row;
    }
    unit.started = true;
    return unit;
  }

  void EndUnit(const PortResult& result, const std::string& records) override {
    if (plan_.records == nullptr) return;
    UnitRow row;
    {
      const std::lock_guard lock(mutex_);
      row = rows_[result.unit];
      rows_.erase(result.unit);
    }
    CompleteRow(row, result, records);
    std::string error;
    if (!plan_.records->EndUnit(row, error)) Halt("the unit's record could not be completed: " + error);
  }

  std::string halted() const {
    const std::lock_guard lock(mutex_);
    return halted_reason_;
  }

 private:
  // The station takes no more boards; the unit that found why does not begin.
  UnitStart Halt(const std::string& reason) {
    const std::lock_guard lock(mutex_);
    if (halted_reason_.empty()) halted_reason_ = reason;
    halted_.store(true);
    return {};
  }

  const StationPlan& plan_;
  const UpdateFiles& files_;
  const StopFlag& stop_;
  std::atomic<int> begun_{0};
  std::atomic<bool> halted_{false};
  std::atomic<long long> local_ids_{0};
  mutable std::mutex mutex_;
  std::string halted_reason_;
  std::map<long long, UnitRow> rows_;
};

}  // namespace

void CompleteRow(UnitRow& row, const PortResult& result, const std::string& records) {
  row.ended_utc = UtcNow();
  row.seconds = result.seconds;
  row.bytes_sent = result.bytes;
  row.result = result.interrupted ? 130 : result.id;
  row.ok = result.ok() ? 1 : 0;
  if (const char* phase = PhaseName(result.stop.phase); phase != nullptr && !result.ok()) {
    row.stop_phase = phase;
    if (result.stop.phase == RunPhase::kTransfer) {
      row.stop_block = result.stop.block;
      row.stop_chunk = result.stop.chunk;
    }
  }
  row.records = records;
}

std::vector<PortResult> RunPorts(const std::vector<PortJob>& jobs, const UpdateSettings& settings,
                                 const UpdateFiles& files, const StopFlag& stop, EventStream& events,
                                 const std::function<void()>& while_running, const PortPartsMaker& make_parts) {
  std::vector<std::future<PortResult>> running;
  for (const auto& job : jobs) {
    running.push_back(std::async(std::launch::async, [&, job_ptr = &job] {
      PortResult result = RunPort(*job_ptr, settings, files, stop, events, make_parts);
      events.Publish(ResultEvent{result});
      return result;
    }));
  }
  return AwaitAll(running, while_running);
}

StationOutcome RunStation(const std::vector<PortJob>& jobs, const UpdateSettings& settings, const UpdateFiles& files,
                          const StationPlan& plan, const StopFlag& stop, EventStream& events,
                          const std::function<void()>& while_running, const PortPartsMaker& make_parts) {
  StationLoop loop(plan, files, stop);
  std::vector<std::future<PortCounts>> running;
  for (const auto& job : jobs) {
    running.push_back(std::async(std::launch::async, [&, job_ptr = &job] {
      return RunBoards(*job_ptr, settings, files, loop, stop, events, make_parts);
    }));
  }
  StationOutcome outcome;
  outcome.ports = AwaitAll(running, while_running);
  for (const auto& port : outcome.ports) {
    outcome.passed += port.passed;
    outcome.failed += port.failed;
    outcome.interrupted += port.interrupted;
  }
  outcome.halted = loop.halted();
  return outcome;
}

}  // namespace quillon::station
