#pragma once
// The run records: one row per unit in a SQLite database that several processes may share
// (WAL journal, a busy timeout). A row is written when the unit begins and completed when
// it ends, so a process killed in between leaves a row whose result is null, never none.
// Serial numbers are drawn from a counter in the same database, in the write transaction
// that makes the unit's row.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon::station {

/// One row of table `units`; the names are the columns'.
struct UnitRow {
  std::int64_t id = 0;
  std::string station;
  std::string port;
  std::string adapter;
  std::string operator_name;  ///< column `operator`
  std::string started_utc;
  std::optional<std::string> ended_utc;
  std::optional<double> seconds;
  std::string update_file;
  std::string image_sha256;
  std::string boot_sha256;
  std::optional<std::string> serial_number;
  std::int64_t bytes_sent = 0;
  std::optional<int> result;  ///< 205, 502, 503, 504, or 130 when interrupted; null while running
  int ok = 0;
  std::optional<std::string> stop_phase;
  std::optional<int> stop_block;
  std::optional<int> stop_chunk;
  std::string records;
  std::string quillon_version;
};

/// The column names of table `units`, in their order.
const std::vector<std::string>& UnitColumns();

/// Where a serial number comes from: a named counter, and where a new one starts.
struct SerialDraw {
  std::string counter = "default";
  std::uint64_t first = 1;
  /// The number's text as it goes into the row; nothing when it does not fit the stamp's
  /// format (then nothing is drawn and no row is made).
  std::function<std::optional<std::string>(std::uint64_t number)> text;
};

/// What `history` asks for; newest first.
struct HistoryFilter {
  std::optional<std::string> since;  ///< started_utc >= this (ISO 8601)
  std::optional<std::string> port;
  std::optional<std::string> serial;
  bool failed = false;  ///< only rows that did not pass (incomplete ones included)
  int limit = 0;        ///< 0: all
};

class RunRecords {
 public:
  /// Opens (and makes, with its tables and indexes) the database; nothing, with `error`
  /// set, when it cannot be opened or is not ours.
  static std::unique_ptr<RunRecords> Open(const std::string& path, std::string& error);
  virtual ~RunRecords() = default;

  /// Writes the row of a unit that begins (result null), with a serial number drawn from
  /// `draw` when given. Returns the row's id; 0 with `error` set when nothing was written;
  /// -1 when the next number does not fit (nothing written, nothing drawn).
  virtual std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, std::string& error) = 0;
  /// Completes the row `row.id` with its end, result and records.
  virtual bool EndUnit(const UnitRow& row, std::string& error) = 0;
  virtual std::vector<UnitRow> History(const HistoryFilter& filter, std::string& error) = 0;
  /// The rows after unit id `since`, oldest first (at most `limit`).
  virtual std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) = 0;
};

/// False in a build without SQLite (the Windows build today).
bool RecordsAvailable();

/// The time now as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcNow();

}  // namespace quillon::station
