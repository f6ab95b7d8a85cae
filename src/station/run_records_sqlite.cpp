#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

#include "station/run_records.h"

namespace quillon::station {
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
  quillon_version TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS units_serial_number ON units(serial_number);
CREATE INDEX IF NOT EXISTS units_started_utc ON units(started_utc);
CREATE INDEX IF NOT EXISTS units_port ON units(port, started_utc);
CREATE TABLE IF NOT EXISTS serial_counters (
  name TEXT PRIMARY KEY,
  next INTEGER NOT NULL
);
)";

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
  return row;
}

std::string SelectColumns() {
  std::string columns;
  for (const auto& name : UnitColumns()) columns += (columns.empty() ? "" : ", ") + std::string("\"") + name + "\"";
  return "SELECT " + columns + " FROM units";
}

class SqliteRecords final : public RunRecords {
 public:
  explicit SqliteRecords(sqlite3* db) : db_(db) {}
  ~SqliteRecords() override { sqlite3_close(db_); }

  bool Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }

  std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, std::string& error) override {
    const std::lock_guard lock(mutex_);
    // IMMEDIATE takes the write lock first: two processes never read the same counter value.
    if (!Exec("BEGIN IMMEDIATE", error)) return 0;
    const std::int64_t id = Begin(row, draw, error);
    if (id <= 0) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return id;
    }
    if (!Exec("COMMIT", error)) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return 0;
    }
    row.id = id;
    return id;
  }

  bool EndUnit(const UnitRow& row, std::string& error) override {
    const std::lock_guard lock(mutex_);
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
    return s.Step() == SQLITE_DONE || Failed(error);
  }

  std::vector<UnitRow> History(const HistoryFilter& filter, std::string& error) override {
    const std::lock_guard lock(mutex_);
    // Only the conditions asked for, so that a lookup by serial number or time uses its index.
    std::string where;
    auto add = [&where](const char* condition) { where += (where.empty() ? " WHERE " : " AND ") + std::string(condition); };
    if (filter.since) add("started_utc >= ?1");
    if (filter.port) add("port = ?2");
    if (filter.serial) add("serial_number = ?3");
    if (filter.failed) add("ok = 0");
    const std::string sql = SelectColumns() + where + " ORDER BY id DESC LIMIT ?4";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    if (filter.since) s.Bind(1, *filter.since);
    if (filter.port) s.Bind(2, *filter.port);
    if (filter.serial) s.Bind(3, *filter.serial);
    s.Bind(4, filter.limit > 0 ? filter.limit : -1);
    return Rows(s, error);
  }

  std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string sql = SelectColumns() + " WHERE id > ?1 ORDER BY id LIMIT ?2";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    s.Bind(1, since);
    s.Bind(2, limit > 0 ? limit : -1);
    return Rows(s, error);
  }

 private:
  bool Failed(std::string& error) {
    error = sqlite3_errmsg(db_);
    return false;
  }

  std::vector<UnitRow> Rows(Statement& s, std::string& error) {
    std::vector<UnitRow> rows;
    int step = 0;
    while ((step = s.Step()) == SQLITE_ROW) rows.push_back(ReadRow(s));
    if (step != SQLITE_DONE) Failed(error);
    return rows;
  }

  // Inside the write transaction: the number, then the row that keeps it.
  std::int64_t Begin(UnitRow& row, const SerialDraw* draw, std::string& error) {
    row.serial_number.reset();
    if (draw != nullptr) {
      Statement make(db_, "INSERT OR IGNORE INTO serial_counters(name, next) VALUES (?1, ?2)");
      if (!make.ok()) return Failed(error), 0;
      make.Bind(1, draw->counter);
      make.Bind(2, static_cast<std::int64_t>(draw->first));
      if (make.Step() != SQLITE_DONE) return Failed(error), 0;
      Statement next(db_, "SELECT next FROM serial_counters WHERE name = ?1");
      if (!next.ok()) return Failed(error), 0;
      next.Bind(1, draw->counter);
      if (next.Step() != SQLITE_ROW) return Failed(error), 0;
      const auto number = static_cast<std::uint64_t>(sqlite3_column_int64(next.get(), 0));
      row.serial_number = draw->text(number);
      if (!row.serial_number) return -1;
      Statement take(db_, "UPDATE serial_counters SET next = next + 1 WHERE name = ?1");
      if (!take.ok()) return Failed(error), 0;
      take.Bind(1, draw->counter);
      if (take.Step() != SQLITE_DONE) return Failed(error), 0;
    }
    Statement insert(db_,
                     "INSERT INTO units (station, port, adapter, operator, started_utc, update_file, image_sha256, "
                     "boot_sha256, serial_number, quillon_version) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
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
    if (insert.Step() != SQLITE_DONE) return Failed(error), 0;
    return sqlite3_last_insert_rowid(db_);
  }

  sqlite3* db_;
  std::mutex mutex_;
};

}  // namespace

bool RecordsAvailable() { return true; }

std::unique_ptr<RunRecords> RunRecords::Open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  auto records = std::make_unique<SqliteRecords>(db);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Two stations starting on one new database: turning on WAL or making the tables can find
  // the other one doing it, and SQLite reports that at once rather than through the busy
  // handler. Tried again for up to the busy timeout.
  for (int tries = kBusyTimeoutMs / 50;; --tries) {
    error.clear();
    if (records->Exec("PRAGMA journal_mode=WAL", error) && records->Exec(kSchema, error)) return records;
    const int code = sqlite3_errcode(db);
    if (tries <= 0 || (code != SQLITE_BUSY && code != SQLITE_LOCKED)) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

}  // namespace quillon::station
