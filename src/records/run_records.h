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

namespace quillon::records {

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
  std::optional<std::string> serial_counter;  ///< the counter that issued `serial_number`
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
  std::optional<std::string> since;  ///< started_utc >= this, written as UtcNow() writes (UtcInstant)
  std::optional<std::string> port;
  std::optional<std::string> serial;  ///< all digits: compared as a number ("3" finds "000003")
  bool failed = false;  ///< only rows that did not pass (incomplete ones included)
  int limit = 0;        ///< 0: all
};

/// Why a database was not opened.
enum class RecordsProblem {
  kNone,
  kCannotOpen,     ///< no such file, no access, a lock that stayed
  kNotRunRecords,  ///< not a SQLite database, or one that holds other things
  kDamaged,        ///< SQLite's quick check found it damaged
};

class RunRecords {
 public:
  /// Opens the database for a station: makes it (with its tables and indexes) when new,
  /// brings an older one up to date, and checks it (quick check). Nothing, with `error` and
  /// `problem` set, when it cannot be opened, is not ours or is damaged.
  static std::unique_ptr<RunRecords> Open(const std::string& path, std::string& error,
                                          RecordsProblem* problem = nullptr);
  /// Opens the database only to read it: creates nothing, changes nothing (not even its
  /// journal mode); recognised as Open recognises it. It is not quick-checked (that reads the
  /// whole file: 0.4 s for a million rows); damage a read meets is said as a damaged database.
  static std::unique_ptr<RunRecords> OpenToRead(const std::string& path, std::string& error,
                                                RecordsProblem* problem = nullptr);
  virtual ~RunRecords() = default;

  /// Writes the row of a unit that begins (result null), with a serial number drawn from
  /// `draw` when given. Returns the row's id; 0 with `error` set when nothing was written;
  /// -1 when the next number does not fit (nothing written, nothing drawn).
  virtual std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, std::string& error) = 0;
  /// Completes the row `row.id` with its end, result and records. False with `error` when it
  /// was not written (a lock held past the busy timeout): then nothing of it was.
  virtual bool EndUnit(const UnitRow& row, std::string& error) = 0;
  virtual std::vector<UnitRow> History(const HistoryFilter& filter, std::string& error) = 0;
  /// The rows after unit id `since`, oldest first (at most `limit`).
  virtual std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) = 0;
  /// The next number counter `name` gives; nothing when there is no such counter yet.
  virtual std::optional<std::uint64_t> CounterNext(const std::string& name, std::string& error) = 0;
  /// What the last call that failed found: kDamaged when SQLite met a damaged database.
  virtual RecordsProblem problem() const { return RecordsProblem::kNone; }
  /// Whether the database's path still leads to the file that was opened; false with `why`
  /// when it was deleted, moved away or replaced (rows written now would be lost).
  virtual bool StillAtPath(std::string& why) const = 0;
};

/// False in a build without SQLite (the Windows build today).
bool RecordsAvailable();

/// The time now as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcNow();

/// An ISO 8601 time as the instant UtcNow() would write for it, so that rows compare by
/// instant: a date ("2026-12-08", its midnight UTC), or a date and time joined by "T" or a
/// space ("2026-12-08T06:00", seconds and fractions optional), with "Z" or an offset
/// ("+09:00", "+0900", "-05") or neither (UTC); letters in any case. Nothing for anything else.
std::optional<std::string> UtcInstant(const std::string& text);

}  // namespace quillon::records
