#pragma once
// The station's deliveries, each on a thread of its own so that neither a port nor another
// output ever waits for one: the record server (the fleet's outbox) and every output to the
// factory's systems. At the station's end they go on for a grace, side by side.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "records/delivery.h"
#include "records/fleet_link.h"
#include "station/events.h"

namespace quillon::station {

/// One delivery's thread: steps its link while there is work, at once when poked, else a few
/// times a second; at the end, until all is sent or the deadline.
class DeliveryThread {
 public:
  struct Work {
    std::function<bool()> step;      ///< one round; true when more is ready at once
    std::function<bool()> all_sent;  ///< nothing is left to send
    std::function<void()> end;       ///< the station ends: called once before the grace
    std::function<void(bool ended, bool force)> publish;
  };
  explicit DeliveryThread(Work work);
  ~DeliveryThread();
  DeliveryThread(const DeliveryThread&) = delete;
  DeliveryThread& operator=(const DeliveryThread&) = delete;
  /// Something new to send: the thread goes at once.
  void Poke();
  /// The station ends: the thread sends what it can until `deadline`, then publishes its last
  /// state and ends. Join waits for that.
  void Finish(std::chrono::steady_clock::time_point deadline);
  void Join();

 private:
  void Run();

  Work work_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool pending_ = false;
  bool stop_ = false;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::thread thread_;
};

/// The station's deliveries: the record server's link (when there is a fleet) and the outputs.
class Deliveries {
 public:
  Deliveries(records::FleetLink* fleet, std::string fleet_server, const std::vector<records::DeliveryLink*>& outputs,
             EventStream& events);
  ~Deliveries();
  Deliveries(const Deliveries&) = delete;
  Deliveries& operator=(const Deliveries&) = delete;
  bool empty() const { return threads_.empty(); }
  /// A unit began or ended.
  void Poke();
  /// Sends for up to `grace_ms` more, every delivery side by side, and publishes their last states.
  void Finish(int grace_ms);

 private:
  struct Shown;
  EventStream& events_;
  std::vector<std::unique_ptr<Shown>> shown_;
  std::vector<std::unique_ptr<DeliveryThread>> threads_;
};

}  // namespace quillon::station
