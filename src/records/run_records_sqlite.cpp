#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <variant>

#include "base/file.h"
#include "base/program_paths.h"
#include "base/system.h"
#include "records/network_fs.h"
#include "records/run_records.h"

namespace quillon::records {
namespace {

constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS units (
  id INTEGER PRIMARY KEY,
  station TEXT NOT NULL,
  port TEXT NOT NULL,
  adapter TEXT,
  operator TEXT,
  started_utc TEXT NOT NULL,
  ended_utc TEXT,
  seconds REAL,
  update_file TEXT NOT NULL,
  image_sha256 TEXT NOT NULL,
  boot_sha256 TEXT NOT NULL,
  serial_number TEXT,
  bytes_sent INTEGER NOT NULL DEFAULT 0,
  result INTEGER,
  ok INTEGER NOT NULL DEFAULT 0,
  stop_phase TEXT,
  stop_block INTEGER,
  stop_chunk INTEGER,
  records TEXT NOT NULL DEFAULT '',
  quillon_version TEXT NOT NULL,
  serial_counter TEXT,
  serial_reused_by INTEGER,
  holder INTEGER,
  done_seq INTEGER,
  scanned TEXT
);
CREATE INDEX IF NOT EXISTS units_serial_number ON units(serial_number);
CREATE INDEX IF NOT EXISTS units_started_utc ON units(started_utc);
CREATE INDEX IF NOT EXISTS units_port ON units(port, started_utc);
CREATE TABLE IF NOT EXISTS serial_counters (
  name TEXT PRIMARY KEY,
  next INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS leases (
  id INTEGER PRIMARY KEY,
  counter TEXT NOT NULL,
  first INTEGER NOT NULL,
  last INTEGER NOT NULL,
  next INTEGER NOT NULL,
  taken_utc TEXT NOT NULL,
  holder INTEGER NOT NULL,
  closed_utc TEXT,
  close_reported INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS lease_requests (
  key TEXT PRIMARY KEY,
  counter TEXT NOT NULL,
  first INTEGER NOT NULL,
  size INTEGER NOT NULL,
  asked_utc TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS spare_numbers (
  counter TEXT NOT NULL,
  number INTEGER NOT NULL,
  unit INTEGER NOT NULL,
  lease INTEGER,
  PRIMARY KEY (counter, number)
);
CREATE TABLE IF NOT EXISTS abandoned (
  id INTEGER PRIMARY KEY,
  lease INTEGER NOT NULL,
  counter TEXT NOT NULL,
  first INTEGER NOT NULL,
  last INTEGER NOT NULL,
  at_utc TEXT NOT NULL,
  reason TEXT NOT NULL,
  reported INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS outbox (
  unit INTEGER PRIMARY KEY,
  revision INTEGER NOT NULL,
  sent INTEGER NOT NULL DEFAULT 0,
  queued_utc TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS outbox_waiting ON outbox(unit) WHERE sent < revision;
CREATE TABLE IF NOT EXISTS deliveries (
  unit INTEGER NOT NULL,
  output TEXT NOT NULL,
  queued_utc TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  last_try_utc TEXT,
  last_error TEXT,
  delivered_utc TEXT,
  stopped INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (unit, output)
);
CREATE INDEX IF NOT EXISTS deliveries_waiting ON deliveries(output, unit) WHERE delivered_utc IS NULL;
CREATE TABLE IF NOT EXISTS pool_values (
  id INTEGER PRIMARY KEY,
  pool TEXT NOT NULL,
  value TEXT NOT NULL,
  state TEXT NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'issued', 'spent')),
  unit INTEGER,
  reuse INTEGER NOT NULL DEFAULT 0,
  line INTEGER,
  imported_utc TEXT NOT NULL,
  lease INTEGER,
  UNIQUE (pool, value)
);
CREATE TABLE IF NOT EXISTS pool_leases (
  id INTEGER PRIMARY KEY,
  pool TEXT NOT NULL,
  taken_utc TEXT NOT NULL,
  holder INTEGER NOT NULL,
  closed_utc TEXT,
  close_reported INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS pool_lease_requests (
  key TEXT PRIMARY KEY,
  pool TEXT NOT NULL,
  size INTEGER NOT NULL,
  asked_utc TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS pools_exhausted (
  pool TEXT PRIMARY KEY,
  at_utc TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS pool_values_free ON pool_values(pool, id) WHERE state = 'free';
CREATE INDEX IF NOT EXISTS pool_values_unit ON pool_values(unit);
CREATE INDEX IF NOT EXISTS pool_values_lease ON pool_values(lease);
CREATE TABLE IF NOT EXISTS unit_values (
  unit INTEGER NOT NULL,
  pool TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (unit, pool)
);
)";

// What a database made by an older version lacks; added in one write transaction, so two
// stations that start together upgrade it once.
constexpr const char* kUpgrades[][2] = {
    {"serial_counter", "ALTER TABLE units ADD COLUMN serial_counter TEXT"},
    {"serial_reused_by", "ALTER TABLE units ADD COLUMN serial_reused_by INTEGER"},
    {"holder", "ALTER TABLE units ADD COLUMN holder INTEGER"},
    {"scanned", "ALTER TABLE units ADD COLUMN scanned TEXT"},
    // The units that had ended get their completion numbers in the order they ended.
    {"done_seq",
     "ALTER TABLE units ADD COLUMN done_seq INTEGER; "
     "WITH ended AS (SELECT id, row_number() OVER (ORDER BY ended_utc, id) AS n FROM units WHERE result IS NOT NULL) "
     "UPDATE units SET done_seq = (SELECT n FROM ended WHERE ended.id = units.id) WHERE result IS NOT NULL"},
};
// Completion numbers are unique, and found by number.
constexpr const char* kDoneIndex = "CREATE UNIQUE INDEX IF NOT EXISTS units_done_seq ON units(done_seq)";
// Serial numbers compared as numbers ("000003" is 3) with an index.
constexpr const char* kNumberIndex =
    "CREATE INDEX IF NOT EXISTS units_serial_value ON units(CAST(serial_number AS INTEGER))";
// The columns every run-records database has had since the first.
constexpr const char* kFirstColumns[] = {"id", "station", "port", "started_utc", "update_file", "image_sha256",
                                         "serial_number", "result", "ok", "records", "quillon_version"};

// One prepared statement, finalized on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return statement_ != nullptr; }
  sqlite3_stmt* get() const { return statement_; }
  void Bind(int at, const std::string& text) { sqlite3_bind_text(statement_, at, text.c_str(), -1, SQLITE_TRANSIENT); }
  template <typename T>
  void Bind(int at, const std::optional<T>& value) {
    if (value) {
      Bind(at, *value);
    } else {
      sqlite3_bind_null(statement_, at);
    }
  }
  void Bind(int at, std::int64_t value) { sqlite3_bind_int64(statement_, at, value); }
  void Bind(int at, int value) { sqlite3_bind_int(statement_, at, value); }
  void Bind(int at, double value) { sqlite3_bind_double(statement_, at, value); }
  int Step() { return sqlite3_step(statement_); }

  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
  }
  std::optional<std::string> OptionalText(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return Text(column);
  }
  std::optional<int> OptionalInt(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int(statement_, column);
  }
  std::optional<double> OptionalDouble(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(statement_, column);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

UnitRow ReadRow(const Statement& s) {
  UnitRow row;
  row.id = sqlite3_column_int64(s.get(), 0);
  row.station = s.Text(1);
  row.port = s.Text(2);
  row.adapter = s.Text(3);
  row.operator_name = s.Text(4);
  row.started_utc = s.Text(5);
  row.ended_utc = s.OptionalText(6);
  row.seconds = s.OptionalDouble(7);
  row.update_file = s.Text(8);
  row.image_sha256 = s.Text(9);
  row.boot_sha256 = s.Text(10);
  row.serial_number = s.OptionalText(11);
  row.bytes_sent = sqlite3_column_int64(s.get(), 12);
  row.result = s.OptionalInt(13);
  row.ok = sqlite3_column_int(s.get(), 14);
  row.stop_phase = s.OptionalText(15);
  row.stop_block = s.OptionalInt(16);
  row.stop_chunk = s.OptionalInt(17);
  row.records = s.Text(18);
  row.quillon_version = s.Text(19);
  row.serial_counter = s.OptionalText(20);
  if (sqlite3_column_type(s.get(), 21) != SQLITE_NULL) row.serial_reused_by = sqlite3_column_int64(s.get(), 21);
  if (sqlite3_column_type(s.get(), 22) != SQLITE_NULL) row.seq = sqlite3_column_int64(s.get(), 22);
  row.scanned = s.OptionalText(23);
  return row;
}

// The columns ReadRow reads: every column of UnitColumns() and the completion number, each of
// table `prefix`; one that an older database lacks (read, never upgraded, by history) is read
// as null.
std::string RowColumns(const std::vector<std::string>& has, const std::string& prefix = "") {
  std::string columns;
  auto names = UnitColumns();
  names.push_back("done_seq");
  names.push_back("scanned");
  for (const auto& name : names) {
    const bool missing = std::find(has.begin(), has.end(), name) == has.end();
    columns += (columns.empty() ? "" : ", ") + (missing ? std::string("NULL") : prefix + "\"" + name + "\"");
  }
  return columns;
}
inline constexpr int kRowColumns = 24;

std::string SelectColumns(const std::vector<std::string>& has) { return "SELECT " + RowColumns(has) + " FROM units"; }

class SqliteRecords final : public RunRecords {
 public:
  SqliteRecords(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  ~SqliteRecords() override { sqlite3_close(db_); }

  /// Whether this is a run-records database (or an empty one, when `may_make`), and which
  /// columns it has; false with `why` when it holds something else.
  bool Recognise(bool may_make, std::string& why, RecordsProblem& problem) {
    Statement tables(db_, "SELECT count(*), count(CASE WHEN name = 'units' THEN 1 END) FROM sqlite_master "
                          "WHERE type = 'table'");
    if (!tables.ok() || tables.Step() != SQLITE_ROW) {
      const int code = sqlite3_errcode(db_);
      problem = code == SQLITE_NOTADB ? RecordsProblem::kNotRunRecords
                : code == SQLITE_CORRUPT ? RecordsProblem::kDamaged
                                         : RecordsProblem::kCannotOpen;
      why = problem == RecordsProblem::kNotRunRecords ? "it is not a SQLite database" : sqlite3_errmsg(db_);
      return false;
    }
    const int all = sqlite3_column_int(tables.get(), 0);
    const bool units = sqlite3_column_int(tables.get(), 1) > 0;
    if (!units && (all > 0 || !may_make)) {
      problem = RecordsProblem::kNotRunRecords;
      why = all > 0 ? "it is a SQLite database, but not one of run records (it has no table units)"
                    : "it is an empty database, not one of run records";
      return false;
    }
    if (!units) return true;
    Statement columns(db_, "SELECT name FROM pragma_table_info('units')");
    std::vector<std::string> names;
    while (columns.ok() && columns.Step() == SQLITE_ROW) names.push_back(columns.Text(0));
    for (const char* name : kFirstColumns) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        problem = RecordsProblem::kNotRunRecords;
        why = std::string("its table units has no column ") + name + ": it is not a database of run records";
        return false;
      }
    }
    columns_ = names;
    return true;
  }

  /// SQLite's quick check; false with what it found.
  bool Check(std::string& why, RecordsProblem& problem) {
    Statement check(db_, "PRAGMA quick_check(5)");
    std::string found;
    int step = 0;
    while (check.ok() && (step = check.Step()) == SQLITE_ROW) found += (found.empty() ? "" : "; ") + check.Text(0);
    if (check.ok() && step == SQLITE_DONE && found == "ok") return true;
    problem = sqlite3_errcode(db_) == SQLITE_BUSY ? RecordsProblem::kCannotOpen : RecordsProblem::kDamaged;
    why = problem == RecordsProblem::kDamaged
              ? "it is damaged (SQLite's quick check: " + (found.empty() ? std::string(sqlite3_errmsg(db_)) : found) + ")"
              : sqlite3_errmsg(db_);
    return false;
  }

  /// Brings an older database up to date: its missing columns and indexes.
  bool Upgrade(std::string& error) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    bool done = true;
    for (const auto& [column, sql] : kUpgrades) {
      Statement has(db_, "SELECT count(*) FROM pragma_table_info('units') WHERE name = ?1");
      has.Bind(1, std::string(column));
      if (!has.ok() || has.Step() != SQLITE_ROW) {
        done = Failed(error);
        break;
      }
      if (sqlite3_column_int(has.get(), 0) == 0 && !Exec(sql, error)) {
        done = false;
        break;
      }
    }
    done = done && Exec(kNumberIndex, error) && Exec(kDoneIndex, error) &&
           Exec("CREATE INDEX IF NOT EXISTS units_scanned ON units(scanned)", error);
    std::string ignored;
    if (!done || !Exec("COMMIT", error)) {
      Exec("ROLLBACK", ignored);
      return false;
    }
    columns_ = UnitColumns();
    columns_.push_back("done_seq");
    columns_.push_back("scanned");
    return true;
  }

  void KeepIdentity() { identity_ = IdentifyFile(Utf8Path(path_)); }

  /// Whether the last statement found the database locked by another connection.
  bool Busy() const {
    const int code = sqlite3_errcode(db_);
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
  }

  RecordsProblem problem() const override { return damaged_ ? RecordsProblem::kDamaged : RecordsProblem::kNone; }

  bool StillAtPath(std::string& why) const override {
    const auto now = IdentifyFile(Utf8Path(path_));
    if (now && identity_ && *now == *identity_) return true;
    why = now ? path_ + " is no longer the database the station opened: another file was put in its place"
              : path_ + " was deleted or moved away while the station had it open";
    return false;
  }

  std::optional<std::uint64_t> CounterNext(const std::string& name, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT next FROM serial_counters WHERE name = ?1");
    if (!s.ok()) return Failed(error), std::nullopt;
    s.Bind(1, name);
    const int step = s.Step();
    if (step == SQLITE_ROW) return static_cast<std::uint64_t>(sqlite3_column_int64(s.get(), 0));
    if (step != SQLITE_DONE) Failed(error);
    return std::nullopt;
  }

  bool Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }

  std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, const std::vector<PoolDraw>& pools,
                         std::string& error) override {
    const std::lock_guard lock(mutex_);
    std::int64_t id = 0;
    if (!InTransaction(error, [&] { return (id = Begin(row, draw, error)) > 0 && (id = DrawValues(id, row, pools, error)) > 0; })) {
      return id < 0 ? id : 0;
    }
    row.id = id;
    return id;
  }

  std::optional<int> ImportPool(const std::string& pool, const std::vector<ListedValue>& values,
                                std::string& error) override {
    const std::lock_guard lock(mutex_);
    int added = 0;
    const std::string now = UtcNow();
    const bool done = InTransaction(error, [&] {
      Statement insert(db_, "INSERT OR IGNORE INTO pool_values(pool, value, line, imported_utc) VALUES (?1, ?2, ?3, ?4)");
      if (!insert.ok()) return Failed(error);
      for (const auto& listed : values) {
        sqlite3_reset(insert.get());
        insert.Bind(1, pool);
        insert.Bind(2, listed.value);
        insert.Bind(3, listed.line);
        insert.Bind(4, now);
        if (insert.Step() != SQLITE_DONE) return Failed(error);
        added += sqlite3_changes(db_);
      }
      return true;
    });
    if (!done) return std::nullopt;
    return added;
  }

  std::int64_t PassedWithLabel(const std::string& scanned, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT id FROM units WHERE scanned = ?1 AND ok = 1 ORDER BY id LIMIT 1");
    if (!s.ok()) return Failed(error), 0;
    s.Bind(1, scanned);
    const int step = s.Step();
    if (step == SQLITE_ROW) return Id(s);
    if (step != SQLITE_DONE) Failed(error);
    return 0;
  }

  std::optional<PoolCount> CountPool(const std::string& pool, std::string& error) override {
    const std::lock_guard lock(mutex_);
    PoolCount count;
    if (!HasTable("pool_values")) return count;
    Statement s(db_, "SELECT count(CASE WHEN state = 'free' THEN 1 END), count(CASE WHEN state = 'issued' THEN 1 END), "
                     "count(CASE WHEN state = 'spent' THEN 1 END) FROM pool_values WHERE pool = ?1");
    if (!s.ok()) return Failed(error), std::nullopt;
    s.Bind(1, pool);
    if (s.Step() != SQLITE_ROW) return Failed(error), std::nullopt;
    count.free = sqlite3_column_int64(s.get(), 0);
    count.issued = sqlite3_column_int64(s.get(), 1);
    count.spent = sqlite3_column_int64(s.get(), 2);
    return count;
  }

  bool EndUnit(const UnitRow& row, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return InTransaction(error, [&] { return End(row, error); });
  }

  bool End(const UnitRow& row, std::string& error) {
    Statement s(db_,
                "UPDATE units SET ended_utc = ?1, seconds = ?2, bytes_sent = ?3, result = ?4, ok = ?5, "
                "stop_phase = ?6, stop_block = ?7, stop_chunk = ?8, records = ?9 WHERE id = ?10");
    if (!s.ok()) return Failed(error);
    s.Bind(1, row.ended_utc);
    s.Bind(2, row.seconds);
    s.Bind(3, row.bytes_sent);
    s.Bind(4, row.result);
    s.Bind(5, row.ok);
    s.Bind(6, row.stop_phase);
    s.Bind(7, row.stop_block);
    s.Bind(8, row.stop_chunk);
    s.Bind(9, row.records);
    s.Bind(10, row.id);
    if (s.Step() != SQLITE_DONE) return Failed(error);
    if (!Complete(row.id, error)) return false;
    if (holder_ != 0 && !Queue(row.id, error)) return false;
    // A passed unit keeps its values; a failed one's go back to their pools when so asked, else
    // are spent, as are a stopped unit's (its board may hold them).
    if (row.ok == 0 && !Run("UPDATE pool_values SET state = CASE WHEN reuse <> 0 AND ?2 <> 130 THEN 'free' "
                            "ELSE 'spent' END, unit = CASE WHEN reuse <> 0 AND ?2 <> 130 THEN NULL ELSE unit END "
                            "WHERE unit = ?1 AND state = 'issued'",
                            {row.id, std::int64_t{row.result.value_or(0)}}, error)) {
      return false;
    }
    // A failed unit's number waits for the next unit; the number of a unit whose process was
    // stopped stays spent (its board may hold it).
    if (const auto number = SerialValue(row.serial_number);
        reuse_failed_ && row.ok == 0 && row.result && *row.result != 130 && number && row.serial_counter) {
      Statement spare(db_, "INSERT OR IGNORE INTO spare_numbers(counter, number, unit, lease) VALUES (?1, ?2, ?3, "
                           "(SELECT id FROM leases WHERE counter = ?1 AND ?2 BETWEEN first AND last))");
      if (!spare.ok()) return Failed(error);
      spare.Bind(1, *row.serial_counter);
      spare.Bind(2, *number);
      spare.Bind(3, row.id);
      if (spare.Step() != SQLITE_DONE) return Failed(error);
    }
    return true;
  }

  std::vector<UnitRow> History(const HistoryFilter& filter, std::string& error) override {
    const std::lock_guard lock(mutex_);
    // Only the conditions asked for, so that a lookup by serial number or time uses its index.
    std::string where;
    auto add = [&where](const char* condition) { where += (where.empty() ? " WHERE " : " AND ") + std::string(condition); };
    if (filter.since) add("started_utc >= ?1");
    // A port by its whole name, or by its last part ("ttyUSB0" finds "/dev/ttyUSB0").
    if (filter.port) add("(port = ?2 OR substr(port, -length(?2) - 1) = '/' || ?2)");
    const auto number = SerialValue(filter.serial);
    if (number) {
      add("CAST(serial_number AS INTEGER) = ?3 AND serial_number <> '' AND serial_number NOT GLOB '*[^0-9]*'");
    } else if (filter.serial) {
      add("serial_number = ?3");
    }
    if (filter.failed) add("ok = 0");
    const std::string sql = SelectColumns(columns_) + where + " ORDER BY id DESC LIMIT ?4";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    if (filter.since) s.Bind(1, *filter.since);
    if (filter.port) s.Bind(2, *filter.port);
    if (number) {
      s.Bind(3, *number);
    } else if (filter.serial) {
      s.Bind(3, *filter.serial);
    }
    s.Bind(4, filter.limit > 0 ? filter.limit : -1);
    return Rows(s, error);
  }

  // ---- the deliveries ----

  bool UseOutputs(const std::vector<std::string>& outputs, std::string& error) override {
    const std::lock_guard lock(mutex_);
    outputs_ = outputs;
    // Units whose process was killed (or the computer lost power) before they ended: they
    // will never end now, so they are complete as they are, INCOMPLETE.
    Statement left(db_, "SELECT id, holder FROM units WHERE result IS NULL AND done_seq IS NULL AND holder IS NOT NULL "
                        "AND holder <> ?1 ORDER BY id");
    if (!left.ok()) return Failed(error);
    left.Bind(1, static_cast<std::int64_t>(ProcessId()));
    std::vector<std::int64_t> found;
    int step = 0;
    while ((step = left.Step()) == SQLITE_ROW) {
      if (!ProcessRunning(static_cast<long>(sqlite3_column_int64(left.get(), 1)))) found.push_back(Id(left));
    }
    if (step != SQLITE_DONE) return Failed(error);
    return InTransaction(error, [&] {
      return std::all_of(found.begin(), found.end(), [&](std::int64_t unit) { return Complete(unit, error); });
    });
  }

  std::vector<Delivery> ToDeliver(const std::string& output, int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string sql = "SELECT " + RowColumns(columns_, "u.") +
                            ", d.attempts FROM deliveries d JOIN units u ON u.id = d.unit "
                            "WHERE d.output = ?1 AND d.delivered_utc IS NULL AND d.stopped = 0 "
                            "ORDER BY u.done_seq LIMIT ?2";
    Statement s(db_, sql.c_str());
    std::vector<Delivery> rows;
    if (!s.ok()) return Failed(error), rows;
    s.Bind(1, output);
    s.Bind(2, std::int64_t{limit});
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) rows.push_back({ReadRow(s), sqlite3_column_int(s.get(), kRowColumns)});
    if (step != SQLITE_DONE) Failed(error);
    AttachValues(rows, [](auto& item) -> UnitRow& { return item.row; }, error);
    return rows;
  }

  bool Delivered(const std::vector<std::int64_t>& units, const std::string& output, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string now = UtcNow();
    return InTransaction(error, [&] {
      return std::all_of(units.begin(), units.end(), [&](std::int64_t unit) {
        return Run("UPDATE deliveries SET delivered_utc = ?3, last_try_utc = ?3, attempts = attempts + 1 "
                   "WHERE unit = ?1 AND output = ?2",
                   {unit, output, now}, error);
      });
    });
  }

  bool NotDelivered(std::int64_t unit, const std::string& output, const std::string& why, bool stop,
                    std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("UPDATE deliveries SET last_try_utc = ?3, last_error = ?4, stopped = ?5, attempts = attempts + 1 "
               "WHERE unit = ?1 AND output = ?2",
               {unit, output, UtcNow(), why, std::int64_t{stop ? 1 : 0}}, error);
  }

  OutputCount OutputWaiting(const std::string& output, std::string& error) override {
    const std::lock_guard lock(mutex_);
    OutputCount count;
    Statement s(db_, "SELECT count(CASE WHEN stopped = 0 THEN 1 END), min(CASE WHEN stopped = 0 THEN queued_utc END), "
                     "count(CASE WHEN stopped <> 0 THEN 1 END) FROM deliveries WHERE output = ?1 AND delivered_utc IS NULL");
    if (!s.ok()) return Failed(error), count;
    s.Bind(1, output);
    if (s.Step() != SQLITE_ROW) return Failed(error), count;
    count.waiting = sqlite3_column_int(s.get(), 0);
    count.oldest_utc = s.OptionalText(1);
    count.stopped = sqlite3_column_int(s.get(), 2);
    return count;
  }

  std::vector<UndeliveredRow> Undelivered(std::string& error) override {
    const std::lock_guard lock(mutex_);
    // Records older than the deliveries have none.
    if (std::find(columns_.begin(), columns_.end(), "done_seq") == columns_.end()) return {};
    return Collect<UndeliveredRow>(
        "SELECT d.unit, u.done_seq, d.output, d.queued_utc, d.attempts, d.last_try_utc, d.last_error, d.stopped "
        "FROM deliveries d JOIN units u ON u.id = d.unit WHERE d.delivered_utc IS NULL ORDER BY u.done_seq, d.output",
        [](const Statement& s) {
          return UndeliveredRow{Id(s),         sqlite3_column_int64(s.get(), 1), s.Text(2),
                                s.Text(3),     sqlite3_column_int(s.get(), 4),   s.OptionalText(5),
                                s.OptionalText(6), sqlite3_column_int(s.get(), 7) != 0};
        },
        error);
  }

  bool Redeliver(const std::vector<std::int64_t>& units, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string now = UtcNow();
    return InTransaction(error, [&] {
      for (const auto unit : units) {
        Statement ended(db_, "SELECT done_seq FROM units WHERE id = ?1");
        if (!ended.ok()) return Failed(error);
        ended.Bind(1, unit);
        const int step = ended.Step();
        if (step == SQLITE_DONE) return (error = "there is no unit " + std::to_string(unit)), false;
        if (step != SQLITE_ROW) return Failed(error);
        if (sqlite3_column_type(ended.get(), 0) == SQLITE_NULL) {
          error = "unit " + std::to_string(unit) + " has not ended (it is under way, or its station has not started since its process was stopped)";
          return false;
        }
        if (!Run("UPDATE deliveries SET delivered_utc = NULL, stopped = 0, attempts = 0, last_error = NULL, "
                 "last_try_utc = NULL, queued_utc = ?2 WHERE unit = ?1",
                 {unit, now}, error)) {
          return false;
        }
        if (sqlite3_changes(db_) > 0) continue;
        if (!Run("INSERT INTO deliveries(unit, output, queued_utc) SELECT ?1, output, ?2 FROM "
                 "(SELECT DISTINCT output FROM deliveries)",
                 {unit, now}, error)) {
          return false;
        }
        if (sqlite3_changes(db_) == 0) {
          error = "these run records have never been delivered anywhere: a station started with --upload URL or "
                  "--drop-folder DIR delivers its units";
          return false;
        }
      }
      return true;
    });
  }

  std::vector<UnitRow> Finished(std::int64_t seq, int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    if (std::find(columns_.begin(), columns_.end(), "done_seq") == columns_.end()) return {};
    const std::string sql = SelectColumns(columns_) + " WHERE done_seq > ?1 ORDER BY done_seq LIMIT ?2";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    s.Bind(1, seq);
    s.Bind(2, limit > 0 ? limit : -1);
    return Rows(s, error);
  }

  std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string sql = SelectColumns(columns_) + " WHERE id > ?1 ORDER BY id LIMIT ?2";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    s.Bind(1, since);
    s.Bind(2, limit > 0 ? limit : -1);
    return Rows(s, error);
  }

  // ---- the station's side of a fleet ----

  bool UseLeases(long holder, std::string& error) override {
    const std::lock_guard lock(mutex_);
    holder_ = holder;
    // The open leases of processes that ended without ending them (killed, a power cut) are
    // this one's now: their numbers were never given to anyone else.
    Statement holders(db_, "SELECT DISTINCT holder FROM (SELECT holder, closed_utc FROM leases UNION ALL "
                           "SELECT holder, closed_utc FROM pool_leases) WHERE closed_utc IS NULL AND holder <> ?1");
    if (!holders.ok()) return Failed(error);
    holders.Bind(1, static_cast<std::int64_t>(holder));
    std::vector<std::int64_t> gone;
    int step = 0;
    while ((step = holders.Step()) == SQLITE_ROW) {
      const auto pid = sqlite3_column_int64(holders.get(), 0);
      if (!ProcessRunning(static_cast<long>(pid))) gone.push_back(pid);
    }
    if (step != SQLITE_DONE) return Failed(error);
    return InTransaction(error, [&] {
      for (const auto pid : gone) {
        if (!Run("UPDATE leases SET holder = ?1 WHERE holder = ?2 AND closed_utc IS NULL",
                 {static_cast<std::int64_t>(holder), pid}, error) ||
            !Run("UPDATE pool_leases SET holder = ?1 WHERE holder = ?2 AND closed_utc IS NULL",
                 {static_cast<std::int64_t>(holder), pid}, error)) {
          return false;
        }
      }
      return true;
    });
  }

  void ReuseFailedNumbers(bool reuse) override {
    const std::lock_guard lock(mutex_);
    reuse_failed_ = reuse;
  }

  bool AskLease(const LeaseRequest& request, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("INSERT OR IGNORE INTO lease_requests(key, counter, first, size, asked_utc) VALUES (?1, ?2, ?3, ?4, ?5)",
               {request.key, request.counter, static_cast<std::int64_t>(request.first), std::int64_t{request.size}, UtcNow()},
               error);
  }

  std::vector<LeaseRequest> LeaseRequests(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Collect<LeaseRequest>(
        "SELECT key, counter, first, size FROM lease_requests ORDER BY asked_utc, key",
        [](const Statement& s) {
          return LeaseRequest{s.Text(0), s.Text(1), static_cast<std::uint64_t>(sqlite3_column_int64(s.get(), 2)),
                              sqlite3_column_int(s.get(), 3)};
        },
        error);
  }

  bool KeepLease(const Lease& lease, const std::string& request_key, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return InTransaction(error, [&] {
      return Run("INSERT OR IGNORE INTO leases(id, counter, first, last, next, taken_utc, holder) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                 {lease.id, lease.counter, static_cast<std::int64_t>(lease.first), static_cast<std::int64_t>(lease.last),
                  static_cast<std::int64_t>(std::max(lease.next, lease.first)), UtcNow(),
                  static_cast<std::int64_t>(holder_)},
                 error) &&
             Run("DELETE FROM lease_requests WHERE key = ?1", {request_key}, error);
    });
  }

  std::vector<std::int64_t> KnownLeases(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Collect<std::int64_t>("SELECT id FROM leases", Id, error);
  }

  std::optional<std::uint64_t> NumbersLeft(const std::string& counter, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const auto left = HolderCount(
        "SELECT (SELECT coalesce(sum(last - next + 1), 0) FROM leases WHERE counter = ?1 AND holder = ?2 "
        "AND closed_utc IS NULL AND next <= last) + (SELECT count(*) FROM spare_numbers WHERE counter = ?1)",
        counter, error);
    if (!left) return std::nullopt;
    return static_cast<std::uint64_t>(*left);
  }

  bool EndLeases(const std::string& reason, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string now = UtcNow();
    const auto holder = static_cast<std::int64_t>(holder_);
    return InTransaction(error, [&] {
      return Run("INSERT INTO abandoned(lease, counter, first, last, at_utc, reason) SELECT id, counter, next, last, ?1, ?2 "
                 "FROM leases WHERE holder = ?3 AND closed_utc IS NULL AND next <= last",
                 {now, reason, holder}, error) &&
             Run("INSERT INTO abandoned(lease, counter, first, last, at_utc, reason) SELECT coalesce(s.lease, 0), "
                 "s.counter, s.number, s.number, ?1, 'a failed unit''s number kept for reuse, not used when the station "
                 "ended' FROM spare_numbers s JOIN leases l ON l.id = s.lease WHERE l.holder = ?2",
                 {now, holder}, error) &&
             Run("DELETE FROM spare_numbers WHERE lease IN (SELECT id FROM leases WHERE holder = ?1)", {holder}, error) &&
             Run("UPDATE leases SET closed_utc = ?1 WHERE holder = ?2 AND closed_utc IS NULL", {now, holder}, error) &&
             Run("UPDATE pool_leases SET closed_utc = ?1 WHERE holder = ?2 AND closed_utc IS NULL", {now, holder}, error);
    });
  }

  bool AskPoolLease(const PoolLeaseRequest& request, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("INSERT OR IGNORE INTO pool_lease_requests(key, pool, size, asked_utc) VALUES (?1, ?2, ?3, ?4)",
               {request.key, request.pool, std::int64_t{request.size}, UtcNow()}, error);
  }

  std::vector<PoolLeaseRequest> PoolLeaseRequests(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Collect<PoolLeaseRequest>(
        "SELECT key, pool, size FROM pool_lease_requests ORDER BY asked_utc, key",
        [](const Statement& s) { return PoolLeaseRequest{s.Text(0), s.Text(1), sqlite3_column_int(s.get(), 2)}; },
        error);
  }

  bool KeepPoolLease(const PoolLease& lease, const std::string& request_key, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string now = UtcNow();
    return InTransaction(error, [&] {
      if (!Run("DELETE FROM pool_lease_requests WHERE key = ?1", {request_key}, error)) return false;
      // None to lease: the fleet's pool is empty until a lease with values comes.
      if (lease.id == 0) return Run("INSERT OR REPLACE INTO pools_exhausted(pool, at_utc) VALUES (?1, ?2)", {lease.pool, now}, error);
      if (!Run("DELETE FROM pools_exhausted WHERE pool = ?1", {lease.pool}, error) ||
          !Run("INSERT OR IGNORE INTO pool_leases(id, pool, taken_utc, holder) VALUES (?1, ?2, ?3, ?4)",
               {lease.id, lease.pool, now, static_cast<std::int64_t>(holder_)}, error)) {
        return false;
      }
      return std::all_of(lease.values.begin(), lease.values.end(), [&](const std::string& value) {
        return Run("INSERT INTO pool_values(pool, value, imported_utc, lease) VALUES (?1, ?2, ?3, ?4) "
                   "ON CONFLICT(pool, value) DO UPDATE SET lease = excluded.lease WHERE state = 'free'",
                   {lease.pool, value, now, lease.id}, error);
      });
    });
  }

  std::optional<std::int64_t> PoolValuesLeft(const std::string& pool, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return HolderCount("SELECT count(*) FROM pool_values v JOIN pool_leases l ON l.id = v.lease WHERE v.pool = ?1 "
                       "AND v.state = 'free' AND l.holder = ?2 AND l.closed_utc IS NULL",
                       pool, error);
  }

  std::vector<PoolLease> PoolLeasesToClose(std::string& error) override {
    const std::lock_guard lock(mutex_);
    auto leases = Collect<PoolLease>(
        "SELECT id, pool FROM pool_leases WHERE closed_utc IS NOT NULL AND close_reported = 0 ORDER BY id",
        [](const Statement& s) { return PoolLease{Id(s), s.Text(1), {}}; }, error);
    for (auto& lease : leases) {
      Statement free(db_, "SELECT value FROM pool_values WHERE lease = ?1 AND state = 'free' ORDER BY id");
      if (!free.ok()) return Failed(error), std::vector<PoolLease>{};
      free.Bind(1, lease.id);
      while (free.Step() == SQLITE_ROW) lease.values.push_back(free.Text(0));
    }
    return leases;
  }

  bool PoolLeaseClosed(const PoolLease& lease, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return InTransaction(error, [&] {
      return Run("DELETE FROM pool_values WHERE lease = ?1 AND state = 'free'", {lease.id}, error) &&
             Run("UPDATE pool_leases SET close_reported = 1 WHERE id = ?1", {lease.id}, error);
    });
  }

  std::vector<AbandonedNumbers> AbandonedToReport(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Collect<AbandonedNumbers>(
        "SELECT id, lease, counter, first, last, at_utc, reason FROM abandoned WHERE reported = 0 ORDER BY id",
        [](const Statement& s) {
          return AbandonedNumbers{sqlite3_column_int64(s.get(), 0), sqlite3_column_int64(s.get(), 1), s.Text(2),
                                  static_cast<std::uint64_t>(sqlite3_column_int64(s.get(), 3)),
                                  static_cast<std::uint64_t>(sqlite3_column_int64(s.get(), 4)), s.Text(5), s.Text(6)};
        },
        error);
  }

  bool Reported(const AbandonedNumbers& numbers, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("UPDATE abandoned SET reported = 1 WHERE id = ?1", {numbers.id}, error);
  }

  std::vector<std::int64_t> LeasesToClose(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Collect<std::int64_t>("SELECT id FROM leases WHERE closed_utc IS NOT NULL AND close_reported = 0 ORDER BY id",
                                 Id, error);
  }

  bool CloseReported(std::int64_t lease, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("UPDATE leases SET close_reported = 1 WHERE id = ?1", {lease}, error);
  }

  std::vector<OutboxRow> Outbox(int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string sql = "SELECT " + RowColumns(columns_, "u.") +
                            ", o.revision FROM outbox o JOIN units u ON u.id = o.unit "
                            "WHERE o.sent < o.revision ORDER BY o.unit LIMIT ?1";
    Statement s(db_, sql.c_str());
    std::vector<OutboxRow> rows;
    if (!s.ok()) return Failed(error), rows;
    s.Bind(1, limit);
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) rows.push_back({ReadRow(s), sqlite3_column_int(s.get(), kRowColumns)});
    if (step != SQLITE_DONE) Failed(error);
    AttachValues(rows, [](auto& item) -> UnitRow& { return item.row; }, error);
    return rows;
  }

  bool Sent(const std::vector<OutboxRow>& rows, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return InTransaction(error, [&] {
      for (const auto& row : rows) {
        if (!Run("UPDATE outbox SET sent = ?2 WHERE unit = ?1 AND sent < ?2", {row.row.id, std::int64_t{row.revision}},
                 error)) {
          return false;
        }
      }
      return true;
    });
  }

  OutboxCount Waiting(std::string& error) override {
    const std::lock_guard lock(mutex_);
    OutboxCount count;
    Statement s(db_, "SELECT count(*), min(queued_utc) FROM outbox WHERE sent < revision");
    if (!s.ok() || s.Step() != SQLITE_ROW) return Failed(error), count;
    count.rows = sqlite3_column_int(s.get(), 0);
    count.oldest_utc = s.OptionalText(1);
    return count;
  }

 private:
  using Value = std::variant<std::int64_t, std::string>;

  static std::int64_t Id(const Statement& s) { return sqlite3_column_int64(s.get(), 0); }

  // Every row of a query without parameters, each as `read` makes it.
  template <typename T, typename Read>
  std::vector<T> Collect(const char* sql, Read read, std::string& error) {
    std::vector<T> found;
    Statement s(db_, sql);
    if (!s.ok()) return Failed(error), found;
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) found.push_back(read(s));
    if (step != SQLITE_DONE) Failed(error);
    return found;
  }

  // One statement with its values bound in order (?1, ?2, ...), run to its end.
  bool Run(const char* sql, std::initializer_list<Value> values, std::string& error) {
    Statement s(db_, sql);
    if (!s.ok()) return Failed(error);
    int at = 1;
    for (const auto& value : values) std::visit([&](const auto& v) { s.Bind(at++, v); }, value);
    const int step = s.Step();
    return step == SQLITE_DONE || step == SQLITE_ROW || Failed(error);
  }

  // `work` in one write transaction (IMMEDIATE takes the write lock first: two processes never
  // read the same counter or lease), committed when it returns true, rolled back otherwise.
  template <typename Work>
  bool InTransaction(std::string& error, Work work) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    std::string ignored;
    if (!work() || !Exec("COMMIT", error)) {
      Exec("ROLLBACK", ignored);
      return false;
    }
    return true;
  }

  // The unit has ended: its completion number, one more than the last (the write lock keeps
  // two processes from giving the same one), and this process's outputs take it.
  bool Complete(std::int64_t unit, std::string& error) {
    if (!Run("UPDATE units SET done_seq = (SELECT coalesce(max(done_seq), 0) + 1 FROM units) "
             "WHERE id = ?1 AND done_seq IS NULL",
             {unit}, error)) {
      return false;
    }
    const std::string now = UtcNow();
    return std::all_of(outputs_.begin(), outputs_.end(), [&](const std::string& output) {
      return Run("INSERT OR IGNORE INTO deliveries(unit, output, queued_utc) VALUES (?1, ?2, ?3)", {unit, output, now},
                 error);
    });
  }

  // The row's latest state is still to be sent to the fleet.
  bool Queue(std::int64_t unit, std::string& error) {
    return Run("INSERT INTO outbox(unit, revision, queued_utc) VALUES (?1, 1, ?2) "
               "ON CONFLICT(unit) DO UPDATE SET revision = revision + 1",
               {unit, UtcNow()}, error);
  }

  // A count by `sql`, with ?1 the counter or pool and ?2 this station (the lock is held).
  std::optional<std::int64_t> HolderCount(const char* sql, const std::string& key, std::string& error) {
    Statement s(db_, sql);
    if (!s.ok()) return Failed(error), std::nullopt;
    s.Bind(1, key);
    s.Bind(2, static_cast<std::int64_t>(holder_));
    if (s.Step() != SQLITE_ROW) return Failed(error), std::nullopt;
    return sqlite3_column_int64(s.get(), 0);
  }

  bool Failed(std::string& error) {
    const int code = sqlite3_errcode(db_);
    damaged_ = code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
    error = damaged_ ? std::string("it is damaged (SQLite: ") + sqlite3_errmsg(db_) + ")" : sqlite3_errmsg(db_);
    return false;
  }

  std::vector<UnitRow> Rows(Statement& s, std::string& error) {
    std::vector<UnitRow> rows;
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) rows.push_back(ReadRow(s));
    if (step != SQLITE_DONE) Failed(error);
    AttachValues(rows, [](UnitRow& row) -> UnitRow& { return row; }, error);
    return rows;
  }

  bool HasTable(const char* name) {
    Statement s(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    s.Bind(1, std::string(name));
    return s.ok() && s.Step() == SQLITE_ROW;
  }

  // Each row's pool values (a database older than the pools has none).
  template <typename T, typename RowOf>
  void AttachValues(std::vector<T>& found, RowOf row_of, std::string& error) {
    if (found.empty() || !HasTable("unit_values")) return;
    std::map<std::int64_t, UnitRow*> by_id;
    for (auto& item : found) by_id[row_of(item).id] = &row_of(item);
    Statement s(db_, "SELECT unit, pool, value FROM unit_values WHERE unit BETWEEN ?1 AND ?2 ORDER BY unit, rowid");
    if (!s.ok()) return (void)Failed(error);
    s.Bind(1, by_id.begin()->first);
    s.Bind(2, by_id.rbegin()->first);
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) {
      if (const auto at = by_id.find(Id(s)); at != by_id.end()) at->second->values.push_back({s.Text(1), s.Text(2)});
    }
    if (step != SQLITE_DONE) Failed(error);
  }

  // No free value of `pool`: it is empty, unless the fleet may still lease more (none asked of
  // it came back empty since): then the unit waits for them.
  std::int64_t NoValue(const std::string& pool, std::string& error) {
    if (holder_ != 0) {
      Statement exhausted(db_, "SELECT (SELECT count(*) FROM pools_exhausted WHERE pool = ?1), "
                               "(SELECT count(*) FROM pool_lease_requests WHERE pool = ?1)");
      if (!exhausted.ok()) return Failed(error), 0;
      exhausted.Bind(1, pool);
      if (exhausted.Step() != SQLITE_ROW) return Failed(error), 0;
      if (sqlite3_column_int(exhausted.get(), 0) == 0 || sqlite3_column_int(exhausted.get(), 1) > 0) return kNoNumberLeft;
    }
    error = pool;
    return kPoolEmpty;
  }

  // Inside the write transaction, after the unit's row: the oldest free value of each pool,
  // issued to unit `id`. Returns `id`, or kPoolEmpty / kValueDoesNotFit with `error` naming the
  // pool (and the value).
  std::int64_t DrawValues(std::int64_t id, UnitRow& row, const std::vector<PoolDraw>& pools, std::string& error) {
    row.values.clear();
    for (const auto& pool : pools) {
      // With a fleet, the values of this process's open pool leases only.
      Statement next(db_, holder_ == 0
                              ? "SELECT id, value, line FROM pool_values WHERE pool = ?1 AND state = 'free' ORDER BY id "
                                "LIMIT 1"
                              : "SELECT v.id, v.value, v.line FROM pool_values v JOIN pool_leases l ON l.id = v.lease "
                                "WHERE v.pool = ?1 AND v.state = 'free' AND l.holder = ?2 AND l.closed_utc IS NULL "
                                "ORDER BY v.id LIMIT 1");
      if (!next.ok()) return Failed(error), 0;
      next.Bind(1, pool.pool);
      if (holder_ != 0) next.Bind(2, static_cast<std::int64_t>(holder_));
      const int step = next.Step();
      if (step == SQLITE_DONE) return NoValue(pool.pool, error);
      if (step != SQLITE_ROW) return Failed(error), 0;
      const std::string value = next.Text(1);
      if (pool.fits && !pool.fits(value)) {
        error = pool.pool + ": \"" + value + "\" (line " + next.Text(2) + ")";
        return kValueDoesNotFit;
      }
      if (!Run("UPDATE pool_values SET state = 'issued', unit = ?2, reuse = ?3 WHERE id = ?1",
               {Id(next), id, std::int64_t{pool.reuse_on_fail ? 1 : 0}}, error) ||
          !Run("INSERT INTO unit_values(unit, pool, value) VALUES (?1, ?2, ?3)", {id, pool.pool, value}, error)) {
        return 0;
      }
      row.values.push_back({pool.pool, value});
    }
    return id;
  }

  // Inside the write transaction: the number, then the row that keeps it.
  std::int64_t Begin(UnitRow& row, const SerialDraw* draw, std::string& error) {
    row.serial_number.reset();
    row.serial_counter.reset();
    std::optional<Drawn> drawn;
    if (draw != nullptr) {
      drawn = Draw(*draw, error);
      if (!drawn) return error.empty() ? kNoNumberLeft : 0;
      row.serial_number = draw->text(drawn->number);
      if (!row.serial_number) return kNumberDoesNotFit;
      row.serial_counter = draw->counter;
      if (!Take(*drawn, draw->counter, error)) return 0;
    }
    Statement insert(db_,
                     "INSERT INTO units (station, port, adapter, operator, started_utc, update_file, image_sha256, "
                     "boot_sha256, serial_number, quillon_version, serial_counter, holder, scanned) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
    if (!insert.ok()) return Failed(error), 0;
    insert.Bind(1, row.station);
    insert.Bind(2, row.port);
    insert.Bind(3, row.adapter);
    insert.Bind(4, row.operator_name);
    insert.Bind(5, row.started_utc);
    insert.Bind(6, row.update_file);
    insert.Bind(7, row.image_sha256);
    insert.Bind(8, row.boot_sha256);
    insert.Bind(9, row.serial_number);
    insert.Bind(10, row.quillon_version);
    insert.Bind(11, row.serial_counter);
    insert.Bind(12, static_cast<std::int64_t>(ProcessId()));
    insert.Bind(13, row.scanned);
    if (insert.Step() != SQLITE_DONE) return Failed(error), 0;
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    if (drawn && drawn->spare_of != 0 &&
        !Run("UPDATE units SET serial_reused_by = ?1 WHERE id = ?2", {id, drawn->spare_of}, error)) {
      return 0;
    }
    if (drawn && drawn->spare_of != 0 && holder_ != 0 && !Queue(drawn->spare_of, error)) return 0;
    if (holder_ != 0 && !Queue(id, error)) return 0;
    return id;
  }

  // Where the next number comes from, inside the write transaction: a failed unit's number
  // kept for reuse, else this process's oldest open lease, else (without leases) the counter.
  // Nothing with `error` empty when no lease has a number left.
  struct Drawn {
    enum class Source { kSpare, kLease, kCounter } source = Source::kCounter;
    std::uint64_t number = 0;
    std::int64_t lease = 0;
    std::int64_t spare_of = 0;  ///< the failed unit whose number it was
  };
  bool Take(const Drawn& drawn, const std::string& counter, std::string& error) {
    const auto number = static_cast<std::int64_t>(drawn.number);
    switch (drawn.source) {
      case Drawn::Source::kSpare:
        return Run("DELETE FROM spare_numbers WHERE counter = ?1 AND number = ?2", {counter, number}, error);
      case Drawn::Source::kLease:
        // A lease whose last number is given is closed: the fleet hears of it.
        return Run("UPDATE leases SET next = ?2 + 1, closed_utc = CASE WHEN ?2 >= last THEN ?3 ELSE closed_utc END "
                   "WHERE id = ?1",
                   {drawn.lease, number, UtcNow()}, error);
      case Drawn::Source::kCounter:
        return Run("UPDATE serial_counters SET next = ?2 + 1 WHERE name = ?1", {counter, number}, error);
    }
    return false;
  }
  std::optional<Drawn> Draw(const SerialDraw& draw, std::string& error) {
    Drawn drawn;
    Statement spare(db_, "SELECT number, unit FROM spare_numbers WHERE counter = ?1 ORDER BY number LIMIT 1");
    if (!spare.ok()) return Failed(error), std::nullopt;
    spare.Bind(1, draw.counter);
    if (const int step = spare.Step(); step == SQLITE_ROW) {
      drawn.number = static_cast<std::uint64_t>(sqlite3_column_int64(spare.get(), 0));
      drawn.spare_of = sqlite3_column_int64(spare.get(), 1);
      drawn.source = Drawn::Source::kSpare;
      return drawn;
    } else if (step != SQLITE_DONE) {
      return Failed(error), std::nullopt;
    }
    if (holder_ != 0) {
      Statement lease(db_, "SELECT id, next FROM leases WHERE counter = ?1 AND holder = ?2 AND closed_utc IS NULL "
                           "AND next <= last ORDER BY id LIMIT 1");
      if (!lease.ok()) return Failed(error), std::nullopt;
      lease.Bind(1, draw.counter);
      lease.Bind(2, static_cast<std::int64_t>(holder_));
      const int step = lease.Step();
      if (step == SQLITE_DONE) return std::nullopt;
      if (step != SQLITE_ROW) return Failed(error), std::nullopt;
      drawn.lease = sqlite3_column_int64(lease.get(), 0);
      drawn.number = static_cast<std::uint64_t>(sqlite3_column_int64(lease.get(), 1));
      drawn.source = Drawn::Source::kLease;
      return drawn;
    }
    if (!Run("INSERT OR IGNORE INTO serial_counters(name, next) VALUES (?1, ?2)",
             {draw.counter, static_cast<std::int64_t>(draw.first)}, error)) {
      return std::nullopt;
    }
    Statement next(db_, "SELECT next FROM serial_counters WHERE name = ?1");
    if (!next.ok()) return Failed(error), std::nullopt;
    next.Bind(1, draw.counter);
    if (next.Step() != SQLITE_ROW) return Failed(error), std::nullopt;
    drawn.number = static_cast<std::uint64_t>(sqlite3_column_int64(next.get(), 0));
    return drawn;
  }

  sqlite3* db_;
  std::string path_;
  std::optional<FileIdentity> identity_;
  std::vector<std::string> columns_;
  long holder_ = 0;  ///< with leases: the process whose leases draws come from
  std::vector<std::string> outputs_;  ///< where the units this process ends are delivered
  bool reuse_failed_ = false;
  bool damaged_ = false;
  std::mutex mutex_;
};

void Problem(RecordsProblem* problem, RecordsProblem what) {
  if (problem != nullptr) *problem = what;
}

// A path as a URI's path: every byte but the unreserved ones and "/" percent-encoded.
std::string UriPath(const std::string& path) {
  std::string encoded;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      encoded += escaped;
    }
  }
  return encoded;
}

// Whether the file's header says WAL (its read and write versions are 2).
bool IsWalDatabase(const std::string& path) {
  std::ifstream file(Utf8Path(path), std::ios::binary);
  char header[20] = {};
  file.read(header, sizeof header);
  return file.gcount() == sizeof header && std::string_view(header, 16) == std::string_view("SQLite format 3\0", 16) &&
         header[18] == 2 && header[19] == 2;
}

// The connection, or nothing with `error` set; a path that is not a regular file (a device,
// a FIFO, a folder) is refused before SQLite touches it.
sqlite3* Connect(const std::string& path, int flags, std::string& error, RecordsProblem* problem) {
  std::error_code failed;
  const auto status = std::filesystem::status(Utf8Path(path), failed);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    error = "it is not a regular file";
    Problem(problem, RecordsProblem::kNotRunRecords);
    return nullptr;
  }
  sqlite3* db = nullptr;
  std::string name = path;
  if ((flags & SQLITE_OPEN_READONLY) != 0) {
    // A reader makes no file of its own. A WAL database with no -shm beside it is one that no
    // station has open (each keeps that file while it does): it is read as a file nobody
    // changes, since SQLite would otherwise make a -shm and a -wal that a reader cannot take
    // away again. Beside a running station the reader uses the station's -shm as it is.
    flags |= SQLITE_OPEN_URI;
    std::error_code missing;
    const bool idle_wal = IsWalDatabase(path) && !std::filesystem::exists(Utf8Path(path + "-shm"), missing);
    name = "file:" + UriPath(path) + (idle_wal ? "?mode=ro&immutable=1" : "?mode=ro&readonly_shm=1");
  }
  const int opened = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    Problem(problem, RecordsProblem::kCannotOpen);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return db;
}

}  // namespace

bool RecordsAvailable() { return true; }

namespace {

// The database opened and recognised as run records (or, when `may_make`, an empty one), and
// quick-checked when `check`; nothing, with `error` and `problem` set, otherwise.
std::unique_ptr<SqliteRecords> OpenChecked(const std::string& path, int flags, bool may_make, bool check,
                                           std::string& error, RecordsProblem* problem) {
  Problem(problem, RecordsProblem::kNone);
  sqlite3* db = Connect(path, flags, error, problem);
  if (db == nullptr) return nullptr;
  auto records = std::make_unique<SqliteRecords>(db, path);
  RecordsProblem found = RecordsProblem::kNone;
  if (!records->Recognise(may_make, error, found) || (check && !records->Check(error, found))) {
    Problem(problem, found);
    return nullptr;
  }
  return records;
}

}  // namespace

std::unique_ptr<RunRecords> RunRecords::Open(const std::string& path, std::string& error, RecordsProblem* problem) {
  // SQLite's locks do not keep two writers apart on a network file system: numbers could be
  // given twice, rows lost. Stations on several computers share a fleet instead.
  if (const auto network = NetworkFileSystem(path)) {
    error = "it is on a network file system (" + *network +
            "), where SQLite cannot keep several writers apart: keep the run records on a local disk, and let "
            "the stations share one record through --fleet URL";
    Problem(problem, RecordsProblem::kNetworkFileSystem);
    return nullptr;
  }
  auto records = OpenChecked(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true, true, error, problem);
  if (!records) return nullptr;
  // Two stations starting on one new database: turning on WAL or making the tables can find
  // the other one doing it, and SQLite reports that at once rather than through the busy
  // handler. Tried again for up to the busy timeout.
  for (int tries = kBusyTimeoutMs / 50;; --tries) {
    error.clear();
    if (records->Exec("PRAGMA journal_mode=WAL", error) && records->Exec(kSchema, error) && records->Upgrade(error)) {
      records->KeepIdentity();
      return records;
    }
    if (tries <= 0 || !records->Busy()) {
      Problem(problem, RecordsProblem::kCannotOpen);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::unique_ptr<RunRecords> RunRecords::OpenToRead(const std::string& path, std::string& error,
                                                   RecordsProblem* problem) {
  auto records = OpenChecked(path, SQLITE_OPEN_READONLY, false, false, error, problem);
  if (records) records->KeepIdentity();
  return records;
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace quillon::records
