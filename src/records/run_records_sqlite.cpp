#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/file.h"
#include "base/program_paths.h"
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

// What a database made by an older version lacks; added in one write transaction, so two
// stations that start together upgrade it once.
constexpr const char* kUpgrades[][2] = {
    {"serial_counter", "ALTER TABLE units ADD COLUMN serial_counter TEXT"},
};
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
  return row;
}

// Every column of UnitColumns(); one that an older database lacks (read, never upgraded, by
// history) is read as null.
std::string SelectColumns(bool has_serial_counter) {
  std::string columns;
  for (const auto& name : UnitColumns()) {
    const bool missing = name == "serial_counter" && !has_serial_counter;
    columns += (columns.empty() ? "" : ", ") + (missing ? std::string("NULL") : "\"" + name + "\"");
  }
  return "SELECT " + columns + " FROM units";
}

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
    has_serial_counter_ = std::find(names.begin(), names.end(), "serial_counter") != names.end();
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
    done = done && Exec(kNumberIndex, error);
    std::string ignored;
    if (!done || !Exec("COMMIT", error)) {
      Exec("ROLLBACK", ignored);
      return false;
    }
    has_serial_counter_ = true;
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
    const bool number = filter.serial && !filter.serial->empty() && filter.serial->size() <= 18 &&
                        filter.serial->find_first_not_of("0123456789") == std::string::npos;
    if (number) {
      add("CAST(serial_number AS INTEGER) = ?3 AND serial_number <> '' AND serial_number NOT GLOB '*[^0-9]*'");
    } else if (filter.serial) {
      add("serial_number = ?3");
    }
    if (filter.failed) add("ok = 0");
    const std::string sql = SelectColumns(has_serial_counter_) + where + " ORDER BY id DESC LIMIT ?4";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    if (filter.since) s.Bind(1, *filter.since);
    if (filter.port) s.Bind(2, *filter.port);
    if (number) {
      s.Bind(3, static_cast<std::int64_t>(std::stoll(*filter.serial)));
    } else if (filter.serial) {
      s.Bind(3, *filter.serial);
    }
    s.Bind(4, filter.limit > 0 ? filter.limit : -1);
    return Rows(s, error);
  }

  std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) override {
    const std::lock_guard lock(mutex_);
    const std::string sql = SelectColumns(has_serial_counter_) + " WHERE id > ?1 ORDER BY id LIMIT ?2";
    Statement s(db_, sql.c_str());
    if (!s.ok()) return Failed(error), std::vector<UnitRow>{};
    s.Bind(1, since);
    s.Bind(2, limit > 0 ? limit : -1);
    return Rows(s, error);
  }

 private:
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
    return rows;
  }

  // Inside the write transaction: the number, then the row that keeps it.
  std::int64_t Begin(UnitRow& row, const SerialDraw* draw, std::string& error) {
    row.serial_number.reset();
    row.serial_counter.reset();
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
      row.serial_counter = draw->counter;
      Statement take(db_, "UPDATE serial_counters SET next = next + 1 WHERE name = ?1");
      if (!take.ok()) return Failed(error), 0;
      take.Bind(1, draw->counter);
      if (take.Step() != SQLITE_DONE) return Failed(error), 0;
    }
    Statement insert(db_,
                     "INSERT INTO units (station, port, adapter, operator, started_utc, update_file, image_sha256, "
                     "boot_sha256, serial_number, quillon_version, serial_counter) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
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
    if (insert.Step() != SQLITE_DONE) return Failed(error), 0;
    return sqlite3_last_insert_rowid(db_);
  }

  sqlite3* db_;
  std::string path_;
  std::optional<FileIdentity> identity_;
  bool has_serial_counter_ = false;
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

}  // namespace quillon::records
