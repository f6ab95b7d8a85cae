#pragma once
// Several ports side by side: one thread per port, each with its own driver, port, pause, log
// and trace; one stop for all of them.

#include <functional>
#include <map>
#include <regex>
#include <optional>
#include <string>
#include <vector>

#include "image/serial_stamp.h"
#include "station/events.h"
#include "station/port_run.h"
#include "station/scan.h"
#include "records/delivery.h"
#include "records/fleet_link.h"
#include "records/run_records.h"

namespace quillon::station {

using records::RunRecords;
using records::SerialDraw;
using records::UnitRow;
using records::UtcNow;


/// Runs every job at once, from message 202 on, and returns their results in the order of
/// the jobs; each result is also published as it comes. `while_running` is called on the
/// calling thread about ten times a second until every port has ended (a live display redraws
/// there).
std::vector<PortResult> RunPorts(const std::vector<PortJob>& jobs, const UpdateSettings& settings,
                                 const UpdateFiles& files, const StopFlag& stop, EventStream& events,
                                 const std::function<void()>& while_running = {},
                                 const PortPartsMaker& make_parts = PlatformPortParts);

/// Completes a unit's row with how it ended: times, bytes, result (130 when interrupted), where
/// it stopped, its records.
void CompleteRow(UnitRow& row, const PortResult& result, const std::string& records);

/// A list each unit draws one value of, stamped into its copy of the image.
struct ValuePool {
  std::string name;
  SerialStamp stamp;           ///< where and how (a value format)
  bool reuse_on_fail = false;  ///< a failed unit's value goes back to the pool; else it is spent
};

/// What a station does beyond running boards: how many units, where their rows go, the
/// serial numbers and pool values.
struct StationPlan {
  int units = 0;                       ///< end once this many units have ended (0: no end)
  RunRecords* records = nullptr;       ///< every unit's row; null: none kept
  std::string records_name;            ///< how warnings name the records (their path)
  std::optional<SerialStamp> stamp;    ///< where each unit's serial number goes
  std::string counter = "default";     ///< the counter the numbers come from
  std::uint64_t first_serial = 1;      ///< where a new counter starts
  std::vector<ValuePool> pools;        ///< a value of each for every unit (needs `records`)
  /// By port name: the scanner of its fixture; each of its boards waits for its label.
  std::map<std::string, ScanReader*> scanners;
  std::optional<std::regex> scan_pattern;  ///< a label must match it whole
  std::string scan_pattern_text;           ///< how a refusal names it
  bool allow_rescan = false;               ///< a label a unit already passed with is taken again
  UnitRow row;                         ///< what every unit's row shares (station, operator, files, hashes, version)
  records::FleetLink* fleet = nullptr; ///< the record server the rows go to and the numbers come from; null: none
  std::string fleet_server;            ///< where it is, as the station shows it
  std::vector<records::DeliveryLink*> outputs;  ///< where every finished unit is delivered
  int deliver_grace_ms = 30000;        ///< how long the station's end goes on delivering
  int probe_wait_ms = 500;
  int probe_period_ms = 1000;
};

struct StationOutcome {
  std::vector<PortCounts> ports;
  int passed = 0, failed = 0, interrupted = 0;
  /// Why the station stopped taking boards before its end (a number too large for the
  /// stamp, records that cannot be kept); also published as it happened.
  std::optional<HaltEvent> halt;
  /// Units whose rows could not be completed even at the end: their results are lost to the
  /// records (each was said as a warning).
  int unwritten = 0;
};

/// Runs a fixture on every job's port until `plan.units` units have ended, a stop is
/// requested or the station halts. `while_running` as for RunPorts.
StationOutcome RunStation(const std::vector<PortJob>& jobs, const UpdateSettings& settings, const UpdateFiles& files,
                          const StationPlan& plan, const StopFlag& stop, EventStream& events,
                          const std::function<void()>& while_running = {},
                          const PortPartsMaker& make_parts = PlatformPortParts);

}  // namespace quillon::station
