#pragma once
// A station's link to the fleet: it takes the leases of serial numbers the station draws from,
// takes up the ones a killed process left, and sends the outbox (the rows of the station's own
// database the fleet does not have yet), each exactly once. The server may be away at any
// time: the station goes on from its own database, and the link catches up when it is back.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "records/fleet.h"
#include "records/run_records.h"

namespace quillon::records {

/// The records' clock: when to try the server again.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point Now() const = 0;
};
const Clock& SystemClock();

struct FleetPlan {
  std::string counter = "default";
  std::uint64_t first = 1;  ///< where the fleet's counter starts when it is new
  int lease_size = 20;
  bool numbers = false;  ///< the station draws serial numbers: it holds leases
  std::vector<std::string> pools;  ///< the pools the station draws values from, in leases of `lease_size`
};

/// What the station shows of its link.
struct FleetLinkState {
  bool connected = false;
  std::optional<std::string> offline_since_utc;
  std::string error;  ///< why the server is away
  int rows_waiting = 0;
  std::optional<std::string> oldest_utc;
  std::optional<std::uint64_t> numbers_left;  ///< with leases
  bool operator==(const FleetLinkState&) const = default;
};

using FleetConnector = std::function<std::unique_ptr<FleetServer>(std::string& error)>;

class FleetLink {
 public:
  FleetLink(RunRecords& local, StationIdentity identity, FleetPlan plan, FleetConnector connect,
            const Clock& clock = SystemClock());

  /// One round with the server: connects when it is time to try again, then takes up and takes
  /// leases, reports abandoned numbers and sends a batch of the outbox. True when more of the
  /// outbox is ready to go at once.
  bool Step();
  /// Ends the station's leases in its own database (their unused numbers abandoned); the
  /// fleet is told by the next Steps.
  bool End(std::string& error);
  FleetLinkState State() const;
  const StationIdentity& identity() const { return identity_; }
  static constexpr int kBatch = 200;

 private:
  bool Work(bool& more, std::string& error);
  bool WorkPools(std::string& error);
  void Counted(bool connected, const std::string& error);

  RunRecords& local_;
  StationIdentity identity_;
  FleetPlan plan_;
  FleetConnector connect_;
  const Clock& clock_;
  std::unique_ptr<FleetServer> server_;
  bool took_up_ = false;
  bool ended_ = false;
  bool rows_seen_empty_ = false;  ///< the fleet was last told of an empty outbox
  std::chrono::steady_clock::time_point retry_at_{};
  std::chrono::steady_clock::time_point seen_at_{};
  std::chrono::milliseconds backoff_{0};
  mutable std::mutex mutex_;
  FleetLinkState state_;
};

}  // namespace quillon::records
