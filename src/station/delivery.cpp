#include "station/delivery.h"

#include <any>

namespace quillon::station {

DeliveryThread::DeliveryThread(Work work) : work_(std::move(work)), thread_([this] { Run(); }) {}

DeliveryThread::~DeliveryThread() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  woken_.notify_one();
  Join();
}

void DeliveryThread::Poke() {
  {
    const std::lock_guard lock(mutex_);
    pending_ = true;
  }
  woken_.notify_one();
}

void DeliveryThread::Finish(std::chrono::steady_clock::time_point deadline) {
  {
    const std::lock_guard lock(mutex_);
    deadline_ = deadline;
  }
  woken_.notify_one();
}

void DeliveryThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void DeliveryThread::Run() {
  std::chrono::steady_clock::time_point deadline;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (stop_) return;
      if (deadline_) {
        deadline = *deadline_;
        break;
      }
    }
    const bool more = work_.step();
    work_.publish(false, false);
    if (more) continue;
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, std::chrono::milliseconds(250), [this] { return pending_ || stop_ || deadline_; });
    pending_ = false;
  }
  work_.end();
  for (;;) {
    const bool more = work_.step();
    if ((!more && work_.all_sent()) || std::chrono::steady_clock::now() >= deadline) break;
    if (more) continue;
    std::unique_lock lock(mutex_);
    if (woken_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_; })) break;
  }
  work_.publish(true, true);
}

// What each delivery last published, so that a busy station publishes a change at once when an
// output comes or goes and otherwise at most four times a second.
struct Deliveries::Shown {
  template <typename State>
  bool Due(const State& state, bool healthy, bool force) {
    const auto now = std::chrono::steady_clock::now();
    const auto* before = std::any_cast<State>(&last);
    if (!force && before != nullptr && *before == state) return false;
    if (!force && before != nullptr && was_healthy == healthy && now - at < std::chrono::milliseconds(250)) return false;
    last = state;
    was_healthy = healthy;
    at = now;
    return true;
  }
  std::any last;
  bool was_healthy = false;
  std::chrono::steady_clock::time_point at{};
};

Deliveries::Deliveries(records::FleetLink* fleet, std::string fleet_server,
                       const std::vector<records::DeliveryLink*>& outputs, EventStream& events)
    : events_(events) {
  if (fleet != nullptr) {
    auto& shown = *shown_.emplace_back(std::make_unique<Shown>());
    threads_.push_back(std::make_unique<DeliveryThread>(DeliveryThread::Work{
        [fleet] { return fleet->Step(); },
        [fleet] {
          const auto state = fleet->State();
          return state.connected && state.rows_waiting == 0;
        },
        [fleet] {
          std::string error;
          fleet->End(error);
        },
        [this, fleet, &shown, server = std::move(fleet_server)](bool ended, bool force) {
          const auto state = fleet->State();
          if (!shown.Due(state, state.connected, force)) return;
          events_.Publish(RecordServerEvent{state.connected, state.offline_since_utc, state.error, state.rows_waiting,
                                            state.oldest_utc, state.numbers_left, server, ended});
        }}));
  }
  for (auto* output : outputs) {
    auto& shown = *shown_.emplace_back(std::make_unique<Shown>());
    threads_.push_back(std::make_unique<DeliveryThread>(DeliveryThread::Work{
        [output] { return output->Step(); },
        [output] { return output->AllDelivered(); },
        [] {},
        [this, output, &shown](bool ended, bool force) {
          const auto state = output->State();
          if (!shown.Due(state, !state.failing, force)) return;
          events_.Publish(OutputEvent{output->output().Name(), output->output().Where(), state.failing, state.error,
                                      state.count.waiting, state.count.oldest_utc, state.count.stopped, ended});
        }}));
  }
}

Deliveries::~Deliveries() = default;

void Deliveries::Poke() {
  for (auto& thread : threads_) thread->Poke();
}

void Deliveries::Finish(int grace_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
  for (auto& thread : threads_) thread->Finish(deadline);
  for (auto& thread : threads_) thread->Join();
}

}  // namespace quillon::station
