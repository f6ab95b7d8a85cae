#include "station/station.h"

#include "station/delivery.h"

#include <algorithm>
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
  StationLoop(const StationPlan& plan, const UpdateFiles& files, const StopFlag& stop, EventStream& events,
              Deliveries* delivery)
      : plan_(plan), files_(files), stop_(stop), events_(events), delivery_(delivery) {
    probe_wait_ms = plan.probe_wait_ms;
    probe_period_ms = plan.probe_period_ms;
    for (const auto& pool : plan.pools) {
      pool_draws_.push_back({pool.name, pool.reuse_on_fail, [stamp = pool.stamp](const std::string& value) {
                               return ValueBytes(stamp, value).has_value();
                             }});
    }
  }

  bool KeepGoing() const override {
    return !stop_.requested() && !halted_.load() && (plan_.units == 0 || begun_.load() < plan_.units);
  }

  bool AwaitScan(const PortJob& job, const StopFlag& stop, std::optional<std::string>& code) override {
    const auto scanner = plan_.scanners.find(job.name);
    if (scanner == plan_.scanners.end()) return true;
    bool said = false;
    while (!stop.requested() && KeepGoing()) {
      auto taken = scanner->second->Take(said ? probe_period_ms : 0);
      if (!taken) {
        if (!said) events_.Publish(WaitingEvent{job.name, false, false, true});
        said = true;
        continue;
      }
      if (plan_.scan_pattern && !std::regex_match(*taken, *plan_.scan_pattern)) {
        events_.Publish(WarningEvent{job.name, WarningEvent::Kind::kScanWrongPattern, plan_.scan_pattern_text, *taken});
        continue;
      }
      std::string error;
      if (const std::int64_t unit = plan_.allow_rescan || plan_.records == nullptr
                                        ? 0
                                        : plan_.records->PassedWithLabel(*taken, error);
          unit > 0) {
        WarningEvent twice{job.name, WarningEvent::Kind::kScanPassedBefore, {}, *taken};
        twice.unit = unit;
        events_.Publish(twice);
        continue;
      }
      code = std::move(taken);
      return true;
    }
    return false;
  }

  UnitStart BeginUnit(const PortJob& job, const std::optional<std::string>& scanned) override {
    UnitStart unit;
    // Rows written into a file that is no longer at the records' path are lost, and a station
    // started on that path now would give out the same numbers again.
    if (std::string why; plan_.records != nullptr && !plan_.records->StillAtPath(why)) {
      return Halt({HaltEvent::Reason::kRecordsMoved, why});
    }
    if (!Claim()) return unit;
    UnitRow row = plan_.row;
    row.port = job.name;
    row.adapter = job.adapter;
    row.started_utc = UtcNow();
    row.scanned = scanned;
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
      const std::int64_t id = plan_.records->BeginUnit(row, plan_.stamp ? &draw : nullptr, pool_draws_, error);
      if (id == records::kNoNumberLeft) {
        if (plan_.units != 0) --begun_;
        if (delivery_ != nullptr) delivery_->Poke();
        unit.wait = true;
        return unit;
      }
      if (id == records::kNumberDoesNotFit) return Halt({HaltEvent::Reason::kSerialDoesNotFit, plan_.counter});
      if (id == records::kPoolEmpty) return Halt({HaltEvent::Reason::kPoolEmpty, error});
      if (id == records::kValueDoesNotFit) return Halt({HaltEvent::Reason::kValueDoesNotFit, error});
      if (id <= 0) return Halt({HaltEvent::Reason::kRecordUnwritable, error});
      unit.id = id;
    } else {
      unit.id = ++local_ids_;
    }
    unit.serial_number = row.serial_number;
    if ((plan_.stamp && row.serial_number) || !row.values.empty()) {
      unit.image = std::make_unique<FlashImage>(*files_.image);
    }
    if (plan_.stamp && row.serial_number) {
      const std::uint64_t number = std::stoull(*row.serial_number);
      if (!StampImage(*unit.image, *plan_.stamp, number)) {
        return Halt({HaltEvent::Reason::kStampFailed, *row.serial_number});
      }
    }
    for (const auto& [pool, value] : row.values) {
      const auto& stamp = PoolStamp(pool);
      const auto bytes = ValueBytes(stamp, value);
      if (!bytes || !StampBytesInto(*unit.image, stamp, *bytes)) return Halt({HaltEvent::Reason::kStampFailed, value});
      unit.values.emplace_back(pool, value);
    }
    {
      const std::lock_guard lock(mutex_);
      rows_[unit.id] = row;
    }
    unit.started = true;
    if (delivery_ != nullptr) delivery_->Poke();
    return unit;
  }

  bool EndUnit(const PortResult& result, const std::string& records, std::string& why) override {
    if (plan_.records == nullptr) return true;
    UnitRow row;
    {
      const std::lock_guard lock(mutex_);
      row = rows_[result.unit];
      rows_.erase(result.unit);
    }
    CompleteRow(row, result, records);
    if (plan_.records->EndUnit(row, why)) {
      if (delivery_ != nullptr) delivery_->Poke();
      return true;
    }
    const std::lock_guard lock(mutex_);
    kept_[result.port] = std::move(row);
    return false;
  }

  bool WriteKept(const PortJob& job) override {
    std::optional<UnitRow> row;
    {
      const std::lock_guard lock(mutex_);
      if (const auto kept = kept_.find(job.name); kept != kept_.end()) row = kept->second;
    }
    std::string ignored;
    if (row && !plan_.records->EndUnit(*row, ignored)) return false;
    const std::lock_guard lock(mutex_);
    kept_.erase(job.name);
    return true;
  }

  std::string RecordsName() const override { return plan_.records_name; }

  /// The last tries for the rows still kept once every port has ended; how many stay unwritten.
  int WriteAllKept() {
    std::map<std::string, UnitRow> kept;
    {
      const std::lock_guard lock(mutex_);
      kept.swap(kept_);
    }
    int unwritten = 0;
    for (const auto& [port, row] : kept) {
      std::string why;
      bool written = false;
      for (int attempt = 0; attempt < 3 && !written; ++attempt) written = plan_.records->EndUnit(row, why);
      if (!written) {
        ++unwritten;
        events_.Publish(WarningEvent{port, WarningEvent::Kind::kRowWaiting, plan_.records_name, why});
      }
    }
    return unwritten;
  }

  std::optional<HaltEvent> halt() const {
    const std::lock_guard lock(mutex_);
    return halt_;
  }

 private:
  // One more unit, while the count allows: ports that finish together never begin more than it.
  bool Claim() {
    if (plan_.units == 0) return true;
    int begun = begun_.load();
    do {
      if (begun >= plan_.units) return false;
    } while (!begun_.compare_exchange_weak(begun, begun + 1));
    return true;
  }

  const SerialStamp& PoolStamp(const std::string& name) const {
    return std::find_if(plan_.pools.begin(), plan_.pools.end(), [&](const ValuePool& pool) { return pool.name == name; })
        ->stamp;
  }

  // The station takes no more boards; the unit that found why does not begin. Said once.
  UnitStart Halt(HaltEvent halt) {
    {
      const std::lock_guard lock(mutex_);
      if (halt_) return {};
      halt_ = halt;
      halted_.store(true);
    }
    events_.Publish(halt);
    return {};
  }

  const StationPlan& plan_;
  const UpdateFiles& files_;
  const StopFlag& stop_;
  EventStream& events_;
  Deliveries* delivery_;
  std::vector<records::PoolDraw> pool_draws_;
  std::atomic<int> begun_{0};
  std::atomic<bool> halted_{false};
  std::atomic<long long> local_ids_{0};
  mutable std::mutex mutex_;
  std::optional<HaltEvent> halt_;
  std::map<long long, UnitRow> rows_;
  std::map<std::string, UnitRow> kept_;  ///< by port: a row its port could not write yet
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
  Deliveries delivery(plan.fleet, plan.fleet_server, plan.outputs, events);
  StationLoop loop(plan, files, stop, events, delivery.empty() ? nullptr : &delivery);
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
  outcome.halt = loop.halt();
  if (plan.records != nullptr) outcome.unwritten = loop.WriteAllKept();
  delivery.Finish(plan.deliver_grace_ms);
  return outcome;
}

}  // namespace quillon::station
