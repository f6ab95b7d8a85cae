#pragma once
// What the live page shows, kept from the station's events: a tile per port (its state, the
// unit on it, how far its transfer is, its last result and counts) and the shift's totals. The
// page's script keeps the same from the event stream; this is what a new page draws first.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/events.h"
#include "records/run_records.h"

namespace quillon::page {

using namespace station;  // the events the page reads
using records::UnitRow;

/// What the station tells the page once, before its ports run.
struct PageFacts {
  struct Port {
    std::string name;
    std::string adapter;
  };
  std::vector<Port> ports;
  std::string update_file;   ///< its path
  std::string image_sha256;  ///< the image's, in full
  std::string station;       ///< the host's name
  std::string version;
};

class PageState {
 public:
  using Clock = std::chrono::steady_clock;
  PageState(PageFacts facts, Clock::time_point started);

  /// Safe from every port's thread.
  void OnEvent(const Event& event);
  /// The whole state: {"station": {...}, "totals": {...}, "ports": [...]}; `now` gives the uptime.
  nlohmann::ordered_json Json(Clock::time_point now) const;

 private:
  struct Tile {
    std::string port;
    std::string adapter;
    std::string state = "waiting";  ///< waiting, missing, board, boot, transfer, done (its unit has ended)
    long long unit = 0;
    std::optional<std::string> serial_number;
    int done = 0, total = 0;
    double bytes_per_second = 0;
    int passed = 0, failed = 0, interrupted = 0;
    std::optional<nlohmann::ordered_json> last;  ///< the last unit's result, until the next board
  };
  void OnResult(const PortResult& result);  ///< under the lock
  Tile& Find(const std::string& port);

  PageFacts facts_;
  Clock::time_point started_;
  mutable std::mutex mutex_;
  std::vector<Tile> tiles_;
  int passed_ = 0, failed_ = 0, interrupted_ = 0;
  bool ended_ = false;
  std::string halt_;  ///< why the station stopped taking boards (English), once it did
};

/// A run record as the page lists it.
nlohmann::ordered_json UnitJson(const UnitRow& row);

}  // namespace quillon::page
