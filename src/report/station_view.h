#pragma once
// The station as its live page shows it, kept from the station's events: a tile per port (its
// state, the unit on it, how far its transfer is, its last result and counts) and the shift's
// totals. The page's script draws these tiles as they come; it computes nothing of its own.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "records/run_records.h"
#include "report/progress_view.h"
#include "report/words.h"
#include "station/events.h"

namespace quillon::report {

using records::UnitRow;

/// What the station tells the page once, before its ports run.
struct StationFacts {
  struct Port {
    std::string name;
    std::string adapter;
  };
  std::vector<Port> ports;
  std::string update_file;   ///< its path
  std::string image_sha256;  ///< the image's, in full
  std::string station;       ///< the host's name
  std::string version;
  /// What the operator does after a failed unit, in a language (the fix and what to do with the
  /// board); empty: the tiles say nothing of it.
  std::function<std::string(const station::PortResult&, Language)> next_step;
};

class StationView {
 public:
  using Clock = std::chrono::steady_clock;
  StationView(StationFacts facts, Clock::time_point started);

  /// Safe from every port's thread. The port whose tile's state the event changed, if any
  /// (progress changes only its numbers, which the stream's progress objects carry).
  std::optional<std::string> OnEvent(const station::Event& event);
  /// The whole state: {"station": {...}, "totals": {...}, "ports": [...]}; `now` gives the uptime.
  nlohmann::ordered_json Json(Clock::time_point now) const;
  /// One port's tile as the page draws it, with the shift's totals:
  /// {"event": "tile", "tile": {...}, "totals": {...}}; `now` gives the units per hour.
  nlohmann::ordered_json TileJson(const std::string& port, Clock::time_point now) const;

 private:
  struct Tile {
    std::string port;
    std::string adapter;
    std::string state = "waiting";  ///< waiting, missing, board, boot, transfer, done (its unit has ended)
    long long unit = 0;
    std::optional<std::string> serial_number;
    ProgressView progress;
    int passed = 0, failed = 0, interrupted = 0;
    std::optional<nlohmann::ordered_json> last;  ///< the last unit's result, until the next board
    long long last_unit = 0;                     ///< that unit's id
  };
  void OnResult(const station::PortResult& result);  ///< under the lock
  Tile& Find(const std::string& port);
  nlohmann::ordered_json TileObject(const Tile& tile) const;
  nlohmann::ordered_json Totals(Clock::time_point now) const;

  StationFacts facts_;
  Clock::time_point started_;
  mutable std::mutex mutex_;
  std::vector<Tile> tiles_;
  int passed_ = 0, failed_ = 0, interrupted_ = 0;
  bool ended_ = false;
  nlohmann::ordered_json record_server_;  ///< the station's link to the record server; null without one
  nlohmann::ordered_json outputs_ = nlohmann::ordered_json::object();  ///< each output's last state, by its name
  std::string halt_;  ///< why the station stopped taking boards (English), once it did
  ProgressViews views_;
};

/// A run record as the page lists it.
nlohmann::ordered_json UnitJson(const UnitRow& row);

}  // namespace quillon::report
