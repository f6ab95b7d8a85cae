#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

#include "records/fleet.h"

namespace quillon::records {
namespace {

// Each version's statements, run in order from the version found up to kFleetSchema.
constexpr const char* kSchemaSteps[] = {
    R"(
CREATE TABLE serial_counters (
  name text PRIMARY KEY,
  next bigint NOT NULL,
  created timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE stations (
  uuid text PRIMARY KEY,
  name text NOT NULL,
  host text NOT NULL DEFAULT '',
  first_seen timestamptz NOT NULL DEFAULT now(),
  last_seen timestamptz NOT NULL DEFAULT now(),
  outbox_rows integer NOT NULL DEFAULT 0,
  outbox_oldest text
);
CREATE TABLE leases (
  id bigserial PRIMARY KEY,
  request_key text NOT NULL UNIQUE,
  counter text NOT NULL,
  first bigint NOT NULL,
  last bigint NOT NULL,
  station_uuid text NOT NULL,
  station_name text NOT NULL,
  taken timestamptz NOT NULL DEFAULT now(),
  closed timestamptz
);
CREATE INDEX leases_open ON leases (station_uuid) WHERE closed IS NULL;
CREATE INDEX leases_range ON leases (counter, first);
CREATE TABLE abandoned (
  station_uuid text NOT NULL,
  local_id bigint NOT NULL,
  lease_id bigint NOT NULL,
  counter text NOT NULL,
  first bigint NOT NULL,
  last bigint NOT NULL,
  station_name text NOT NULL,
  at_utc text NOT NULL,
  reason text NOT NULL,
  PRIMARY KEY (station_uuid, local_id)
);
CREATE INDEX abandoned_range ON abandoned (counter, first);
CREATE TABLE units (
  id bigserial PRIMARY KEY,
  station_uuid text NOT NULL,
  local_id bigint NOT NULL,
  revision integer NOT NULL,
  received timestamptz NOT NULL DEFAULT now(),
  station text NOT NULL,
  port text NOT NULL,
  adapter text,
  operator text,
  started_utc text NOT NULL,
  ended_utc text,
  seconds double precision,
  update_file text NOT NULL,
  image_sha256 text NOT NULL,
  boot_sha256 text NOT NULL,
  serial_number text,
  serial_value bigint,
  serial_counter text,
  serial_reused_by bigint,
  bytes_sent bigint NOT NULL DEFAULT 0,
  result integer,
  ok integer NOT NULL DEFAULT 0,
  stop_phase text,
  stop_block integer,
  stop_chunk integer,
  records text NOT NULL DEFAULT '',
  quillon_version text NOT NULL,
  UNIQUE (station_uuid, local_id)
);
CREATE INDEX units_serial_value ON units (serial_value);
CREATE INDEX units_serial_number ON units (serial_number);
CREATE INDEX units_started ON units (started_utc);
CREATE INDEX units_counter_value ON units (serial_counter, serial_value);
)",
    R"(
CREATE TABLE pool_values (
  id bigserial PRIMARY KEY,
  pool text NOT NULL,
  value text NOT NULL,
  state text NOT NULL DEFAULT 'free' CHECK (state IN ('free', 'leased', 'issued', 'spent')),
  lease_id bigint,
  station_uuid text,
  unit_id bigint,
  line integer,
  imported timestamptz NOT NULL DEFAULT now(),
  UNIQUE (pool, value)
);
CREATE INDEX pool_values_free ON pool_values (pool, id) WHERE state = 'free';
CREATE INDEX pool_values_lease ON pool_values (lease_id);
CREATE TABLE pool_leases (
  id bigserial PRIMARY KEY,
  request_key text NOT NULL UNIQUE,
  pool text NOT NULL,
  station_uuid text NOT NULL,
  station_name text NOT NULL,
  taken timestamptz NOT NULL DEFAULT now(),
  closed timestamptz
);
CREATE TABLE unit_values (
  unit_id bigint NOT NULL REFERENCES units (id),
  pool text NOT NULL,
  value text NOT NULL,
  PRIMARY KEY (unit_id, pool)
);
ALTER TABLE units ADD COLUMN scanned text;
)",
};
static_assert(std::size(kSchemaSteps) == kFleetSchema);

// The columns a unit's row is sent with, in the order of PutUnits' parameters ($3 on).
constexpr std::array kSentColumns = {
    "station",      "port",        "adapter",      "operator",        "started_utc", "ended_utc",   "seconds",
    "update_file",  "image_sha256", "boot_sha256", "serial_number",   "serial_value", "serial_counter",
    "serial_reused_by", "bytes_sent", "result",     "ok",              "stop_phase",  "stop_block",  "stop_chunk",
    "records",      "quillon_version", "scanned"};

std::string PutSql() {
  std::string columns = "station_uuid, local_id, revision";
  std::string values = "$1, $2, $3";
  std::string updates = "revision = EXCLUDED.revision, received = now()";
  int at = 4;
  for (const char* column : kSentColumns) {
    columns += std::string(", ") + column;
    values += ", $" + std::to_string(at++);
    updates += std::string(", ") + column + " = EXCLUDED." + column;
  }
  return "INSERT INTO units (" + columns + ") VALUES (" + values + ") ON CONFLICT (station_uuid, local_id) DO UPDATE SET " +
         updates + " WHERE units.revision < EXCLUDED.revision";
}

// A query's result, cleared on every way out.
class Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  bool ok() const {
    const auto status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }
  int rows() const { return PQntuples(result_); }
  int changed() const { return std::atoi(PQcmdTuples(result_)); }
  bool null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  std::string text(int row, int column) const { return PQgetvalue(result_, row, column); }
  std::optional<std::string> optional(int row, int column) const {
    return null(row, column) ? std::nullopt : std::optional<std::string>(text(row, column));
  }
  std::int64_t number(int row, int column) const { return null(row, column) ? 0 : std::stoll(text(row, column)); }
  std::string sqlstate() const {
    const char* state = PQresultErrorField(result_, PG_DIAG_SQLSTATE);
    return state == nullptr ? std::string() : state;
  }
  std::string message() const {
    const char* primary = PQresultErrorField(result_, PG_DIAG_MESSAGE_PRIMARY);
    return primary != nullptr ? primary : PQresultErrorMessage(result_);
  }

 private:
  PGresult* result_;
};

using Param = std::optional<std::string>;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::optional<std::string> IntText(const std::optional<int>& value) {
  return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
}

class PgFleet final : public FleetServer {
 public:
  explicit PgFleet(PGconn* connection) : connection_(connection) {}
  ~PgFleet() override { PQfinish(connection_); }

  std::string Where() const override {
    const std::string host = PQhost(connection_) != nullptr ? PQhost(connection_) : "";
    const std::string port = PQport(connection_) != nullptr ? PQport(connection_) : "";
    const std::string db = PQdb(connection_) != nullptr ? PQdb(connection_) : "";
    return (host.find('/') == 0 ? "socket " + host : host) + ":" + port + "/" + db;
  }

  bool CheckSchema(std::string& error) override {
    const int version = Version(error);
    if (version < 0) return false;
    if (version == 0) {
      error = "the fleet's database has no Quillon schema yet: run quillon-cli fleet init URL once";
      return false;
    }
    if (!NotNewer(version, error)) return false;
    if (version < kFleetSchema) {
      error = "the fleet's database has schema version " + std::to_string(version) + ", older than this quillon-cli's (" +
              std::to_string(kFleetSchema) + "): run quillon-cli fleet init URL once to bring it up to date";
      return false;
    }
    return true;
  }

  bool Init(int& from, std::string& error) override {
    return InTransaction(error, [&] { return MakeSchema(from, error); });
  }

  bool MakeSchema(int& from, std::string& error) {
    // One init at a time: a second one waits here and then finds the schema made.
    bool done = Exec("SELECT pg_advisory_xact_lock(7331001)", error) &&
                Exec("CREATE TABLE IF NOT EXISTS quillon_schema (version integer NOT NULL)", error);
    if (done) {
      from = Version(error);
      done = from >= 0 && NotNewer(from, error);
    }
    for (int step = std::max(from, 0); done && step < kFleetSchema; ++step) done = Exec(kSchemaSteps[step], error);
    if (done && from < kFleetSchema) {
      done = Exec("DELETE FROM quillon_schema", error) &&
             Query("INSERT INTO quillon_schema (version) VALUES ($1)", {std::to_string(kFleetSchema)}, error);
    }
    return done;
  }

  bool TakeLease(const StationIdentity& station, const LeaseRequest& request, Lease& lease, std::string& error) override {
    std::unique_ptr<Result> found;
    if (!InTransaction(error, [&] { return FindOrMakeLease(station, request, found, error); })) return false;
    lease = ReadLease(*found, 0);
    return true;
  }

  // Inside TakeLease's transaction: the lease of `request`, found or made, in `found`.
  bool FindOrMakeLease(const StationIdentity& station, const LeaseRequest& request, std::unique_ptr<Result>& found,
                       std::string& error) {
    bool done = SeenNow(station, error);
    // The same request asked again (its answer was lost): the lease it already got.
    found = done ? Run("SELECT id, counter, first, last FROM leases WHERE request_key = $1", {request.key}, error)
                 : nullptr;
    done = found != nullptr;
    if (done && found->rows() == 0) {
      done = Query("INSERT INTO serial_counters (name, next) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING",
                   {request.counter, std::to_string(request.first)}, error);
      // The counter's row lock keeps two stations' leases apart.
      found = done ? Run("WITH taken AS (UPDATE serial_counters SET next = next + $2 WHERE name = $1 "
                         "RETURNING next - $2 AS first) "
                         "INSERT INTO leases (request_key, counter, first, last, station_uuid, station_name) "
                         "SELECT $3, $1, first, first + $2 - 1, $4, $5 FROM taken RETURNING id, counter, first, last",
                         {request.counter, std::to_string(request.size), request.key, station.uuid, station.name}, error)
                   : nullptr;
      done = found != nullptr && found->rows() == 1;
    }
    return done;
  }

  bool OpenLeases(const StationIdentity& station, std::vector<Lease>& leases, std::string& error) override {
    const auto found = Run("SELECT id, counter, first, last FROM leases WHERE station_uuid = $1 AND closed IS NULL "
                           "ORDER BY id",
                           {station.uuid}, error);
    if (!found) return false;
    for (int i = 0; i < found->rows(); ++i) leases.push_back(ReadLease(*found, i));
    return true;
  }

  bool PutUnits(const StationIdentity& station, const std::vector<OutboxRow>& rows, std::string& error) override {
    return InTransaction(error, [&] { return Put(station, rows, error); });
  }

  bool Put(const StationIdentity& station, const std::vector<OutboxRow>& rows, std::string& error) {
    static const std::string sql = PutSql();
    bool done = true;
    for (const auto& [row, revision] : rows) {
      if (!done) break;
      const auto value = SerialValue(row.serial_number);
      done = Query(sql,
                   {station.uuid, std::to_string(row.id), std::to_string(revision), row.station, row.port, row.adapter,
                    row.operator_name, row.started_utc, row.ended_utc,
                    row.seconds ? std::optional<std::string>(std::to_string(*row.seconds)) : std::nullopt,
                    row.update_file, row.image_sha256, row.boot_sha256, row.serial_number,
                    value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt,
                    row.serial_counter,
                    row.serial_reused_by ? std::optional<std::string>(std::to_string(*row.serial_reused_by)) : std::nullopt,
                    std::to_string(row.bytes_sent), IntText(row.result), std::to_string(row.ok), row.stop_phase,
                    IntText(row.stop_block), IntText(row.stop_chunk), row.records, row.quillon_version, row.scanned},
                   error);
      if (done && !row.values.empty()) done = PutValues(station, row, error);
    }
    return done;
  }

  // A unit's pool values: kept with its row, and issued to it (spent when it failed or was
  // stopped; a value its station gives back comes back when the lease closes).
  bool PutValues(const StationIdentity& station, const UnitRow& row, std::string& error) {
    const auto unit = Run("SELECT id FROM units WHERE station_uuid = $1 AND local_id = $2",
                          {station.uuid, std::to_string(row.id)}, error);
    if (!unit || unit->rows() != 1) return unit != nullptr && (error = "the unit's row is missing", false);
    const std::string id = unit->text(0, 0);
    const std::string state = row.ok != 0 || !row.result ? "issued" : "spent";
    for (const auto& [pool, value] : row.values) {
      if (!Query("INSERT INTO unit_values (unit_id, pool, value) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING",
                 {id, pool, value}, error) ||
          !Query("UPDATE pool_values SET state = $3, unit_id = $4 WHERE pool = $1 AND value = $2 AND "
                 "(state <> 'issued' OR unit_id = $4)",
                 {pool, value, state, id}, error)) {
        return false;
      }
    }
    return true;
  }

  bool TakePoolLease(const StationIdentity& station, const PoolLeaseRequest& request, PoolLease& lease,
                     std::string& error) override {
    lease = PoolLease{0, request.pool, {}};
    return InTransaction(error, [&] {
      if (!SeenNow(station, error)) return false;
      // The same request asked again (its answer was lost): the values it already got.
      auto found = Run("SELECT id FROM pool_leases WHERE request_key = $1", {request.key}, error);
      if (!found) return false;
      if (found->rows() == 1) {
        lease.id = found->number(0, 0);
        const auto values = Run("SELECT value FROM pool_values WHERE lease_id = $1 AND state = 'leased' ORDER BY id",
                                {found->text(0, 0)}, error);
        if (!values) return false;
        for (int i = 0; i < values->rows(); ++i) lease.values.push_back(values->text(i, 0));
        return true;
      }
      found = Run("INSERT INTO pool_leases (request_key, pool, station_uuid, station_name) VALUES ($1, $2, $3, $4) "
                  "RETURNING id",
                  {request.key, request.pool, station.uuid, station.name}, error);
      if (!found) return false;
      // Two stations asking at once each skip the values the other is taking.
      const auto values = Run("UPDATE pool_values SET state = 'leased', lease_id = $1, station_uuid = $2 WHERE id IN "
                              "(SELECT id FROM pool_values WHERE pool = $3 AND state = 'free' ORDER BY id LIMIT $4 "
                              "FOR UPDATE SKIP LOCKED) RETURNING id, value",
                              {found->text(0, 0), station.uuid, request.pool, std::to_string(request.size)}, error);
      if (!values) return false;
      if (values->rows() == 0) return Query("DELETE FROM pool_leases WHERE id = $1", {found->text(0, 0)}, error);
      lease.id = found->number(0, 0);
      std::vector<std::pair<std::int64_t, std::string>> taken;
      for (int i = 0; i < values->rows(); ++i) taken.emplace_back(values->number(i, 0), values->text(i, 1));
      std::sort(taken.begin(), taken.end());
      for (auto& [id, value] : taken) lease.values.push_back(std::move(value));
      return true;
    });
  }

  bool ClosePoolLease(const StationIdentity& station, const PoolLease& lease, std::string& error) override {
    return InTransaction(error, [&] {
      for (const auto& value : lease.values) {
        if (!Query("UPDATE pool_values SET state = 'free', lease_id = NULL, station_uuid = NULL, unit_id = NULL "
                   "WHERE lease_id = $1 AND pool = $2 AND value = $3 AND state IN ('leased', 'spent')",
                   {std::to_string(lease.id), lease.pool, value}, error)) {
          return false;
        }
      }
      return Query("UPDATE pool_leases SET closed = now() WHERE id = $1 AND station_uuid = $2 AND closed IS NULL",
                   {std::to_string(lease.id), station.uuid}, error);
    });
  }

  std::optional<int> ImportPool(const std::string& pool, const std::vector<ListedValue>& values,
                                std::string& error) override {
    int added = 0;
    const bool done = CheckSchema(error) && InTransaction(error, [&] {
      for (const auto& listed : values) {
        const auto inserted = Run("INSERT INTO pool_values (pool, value, line) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING",
                                  {pool, listed.value, std::to_string(listed.line)}, error);
        if (!inserted) return false;
        added += inserted->changed();
      }
      return true;
    });
    if (!done) return std::nullopt;
    return added;
  }

  std::optional<PoolCount> CountPool(const std::string& pool, std::string& error) override {
    if (!CheckSchema(error)) return std::nullopt;
    const auto found = Run("SELECT count(*) FILTER (WHERE state IN ('free', 'leased')), count(*) FILTER (WHERE state = "
                           "'issued'), count(*) FILTER (WHERE state = 'spent') FROM pool_values WHERE pool = $1",
                           {pool}, error);
    if (!found) return std::nullopt;
    return PoolCount{found->number(0, 0), found->number(0, 1), found->number(0, 2)};
  }

  bool Abandon(const StationIdentity& station, const AbandonedNumbers& numbers, std::string& error) override {
    return Query("INSERT INTO abandoned (station_uuid, local_id, lease_id, counter, first, last, station_name, at_utc, "
                 "reason) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING",
                 {station.uuid, std::to_string(numbers.id), std::to_string(numbers.lease), numbers.counter,
                  std::to_string(numbers.first), std::to_string(numbers.last), station.name, numbers.at_utc,
                  numbers.reason},
                 error);
  }

  bool CloseLease(const StationIdentity& station, std::int64_t lease, std::string& error) override {
    return Query("UPDATE leases SET closed = now() WHERE id = $1 AND station_uuid = $2 AND closed IS NULL",
                 {std::to_string(lease), station.uuid}, error);
  }

  bool Seen(const StationIdentity& station, const OutboxCount& outbox, std::string& error) override {
    return SeenNow(station, error) &&
           Query("UPDATE stations SET outbox_rows = $2, outbox_oldest = $3 WHERE uuid = $1",
                 {station.uuid, std::to_string(outbox.rows), outbox.oldest_utc}, error);
  }

  std::optional<std::uint64_t> CounterNext(const std::string& counter, std::string& error) override {
    const auto found = Run("SELECT next FROM serial_counters WHERE name = $1", {counter}, error);
    if (!found || found->rows() == 0) return std::nullopt;
    return static_cast<std::uint64_t>(found->number(0, 0));
  }

  bool Status(FleetStatus& status, std::string& error) override {
    status.schema = Version(error);
    if (status.schema < 0 || !CheckSchema(error)) return false;
    const auto units = Run("SELECT count(*) FROM units", {}, error);
    const auto counters = units ? Run("SELECT name, next FROM serial_counters ORDER BY name", {}, error) : nullptr;
    const auto leases =
        counters ? Run("SELECT l.id, l.counter, l.first, l.last, l.station_name, l.station_uuid, "
                       "to_char(l.taken AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
                       "(SELECT count(*) FROM units u WHERE u.serial_counter = l.counter AND u.serial_value BETWEEN "
                       "l.first AND l.last) FROM leases l WHERE l.closed IS NULL ORDER BY l.id",
                       {}, error)
                 : nullptr;
    const auto stations =
        leases ? Run("SELECT uuid, name, host, to_char(first_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
                     "to_char(last_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), outbox_rows, outbox_oldest, "
                     "(SELECT count(*) FROM stations o WHERE o.name = s.name) > 1 FROM stations s ORDER BY name, uuid",
                     {}, error)
               : nullptr;
    if (!stations) return false;
    status.units = units->number(0, 0);
    for (int i = 0; i < counters->rows(); ++i) {
      status.counters.push_back({counters->text(i, 0), static_cast<std::uint64_t>(counters->number(i, 1))});
    }
    for (int i = 0; i < leases->rows(); ++i) {
      FleetLease lease;
      lease.lease = ReadLease(*leases, i);
      lease.station = leases->text(i, 4);
      lease.station_uuid = leases->text(i, 5);
      lease.taken_utc = leases->text(i, 6);
      lease.issued = leases->number(i, 7);
      status.leases.push_back(lease);
    }
    for (int i = 0; i < stations->rows(); ++i) {
      status.stations.push_back({stations->text(i, 0), stations->text(i, 1), stations->text(i, 2), stations->text(i, 3),
                                 stations->text(i, 4), static_cast<int>(stations->number(i, 5)),
                                 stations->optional(i, 6), stations->text(i, 7) == "t"});
    }
    return true;
  }

  bool Numbers(const std::string& counter, std::uint64_t from, std::uint64_t to, std::vector<NumberFate>& fates,
               std::string& error) override {
    const auto found = Run(
        "SELECT g.n, u.id, u.station, u.station_uuid, u.started_utc, u.port, u.ok, u.result, u.serial_reused_by, "
        "a.station_name, a.station_uuid, a.at_utc, a.reason, l.station_name, l.station_uuid, "
        "to_char(l.taken AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') "
        "FROM generate_series($2::bigint, $3::bigint) g(n) "
        "LEFT JOIN units u ON u.serial_counter = $1 AND u.serial_value = g.n "
        "LEFT JOIN abandoned a ON a.counter = $1 AND a.first <= g.n AND g.n <= a.last "
        "LEFT JOIN leases l ON l.counter = $1 AND l.first <= g.n AND g.n <= l.last "
        "ORDER BY g.n, u.id",
        {counter, std::to_string(from), std::to_string(to)}, error);
    if (!found) return false;
    for (int i = 0; i < found->rows(); ++i) {
      NumberFate fate;
      fate.number = static_cast<std::uint64_t>(found->number(i, 0));
      if (!found->null(i, 1)) {
        fate.state = "issued";
        fate.unit = found->number(i, 1);
        fate.station = found->text(i, 2);
        fate.station_uuid = found->text(i, 3);
        fate.at_utc = found->text(i, 4);
        const std::string result = found->null(i, 7) ? std::string("INCOMPLETE")
                                   : found->text(i, 6) == "1" ? std::string("passed")
                                                              : "failed (" + found->text(i, 7) + ")";
        fate.reason = "unit on port " + found->text(i, 5) + ", " + result +
                      (found->null(i, 8) ? std::string() : ", its number reused by unit " + found->text(i, 8));
      } else if (!found->null(i, 9)) {
        fate.state = "abandoned";
        fate.station = found->text(i, 9);
        fate.station_uuid = found->text(i, 10);
        fate.at_utc = found->text(i, 11);
        fate.reason = found->text(i, 12);
      } else if (!found->null(i, 13)) {
        fate.state = "leased";
        fate.station = found->text(i, 13);
        fate.station_uuid = found->text(i, 14);
        fate.at_utc = found->text(i, 15);
        fate.reason = "leased to the station; no unit with it has arrived yet";
      } else {
        fate.state = "not given";
      }
      fates.push_back(std::move(fate));
    }
    return true;
  }

  bool History(const HistoryFilter& filter, std::vector<UnitRow>& rows, std::string& error) override {
    std::string where;
    std::vector<Param> params;
    // A condition on one parameter, named by each "$" in it.
    auto add = [&](const std::string& condition, const std::string& value) {
      params.push_back(value);
      std::string text = condition;
      for (auto at = text.find('$'); at != std::string::npos; at = text.find('$', at + 1)) {
        text.insert(at + 1, std::to_string(params.size()));
      }
      where += (where.empty() ? " WHERE " : " AND ") + text;
    };
    if (filter.station) add("(station = $ OR station_uuid = $)", *filter.station);
    if (filter.since) add("started_utc >= $", *filter.since);
    if (filter.port) add("(port = $ OR right(port, length($) + 1) = '/' || $)", *filter.port);
    if (const auto number = SerialValue(filter.serial)) {
      add("serial_value = $", std::to_string(*number));
    } else if (filter.serial) {
      add("serial_number = $", *filter.serial);
    }
    if (filter.failed) where += where.empty() ? " WHERE ok = 0" : " AND ok = 0";
    std::string sql =
        "SELECT id, station, port, adapter, operator, started_utc, ended_utc, seconds, update_file, image_sha256, "
        "boot_sha256, serial_number, bytes_sent, result, ok, stop_phase, stop_block, stop_chunk, records, "
        "quillon_version, serial_counter, serial_reused_by, station_uuid, scanned FROM units" +
        where + " ORDER BY id DESC";
    if (filter.limit > 0) sql += " LIMIT " + std::to_string(filter.limit);
    const auto found = Run(sql, params, error);
    if (!found) return false;
    for (int i = 0; i < found->rows(); ++i) {
      UnitRow row;
      const Result& r = *found;
      auto int_of = [&r, i](int column) {
        return r.null(i, column) ? std::nullopt : std::optional<int>(static_cast<int>(r.number(i, column)));
      };
      row.id = r.number(i, 0);
      row.station = r.text(i, 1);
      row.port = r.text(i, 2);
      row.adapter = r.text(i, 3);
      row.operator_name = r.text(i, 4);
      row.started_utc = r.text(i, 5);
      row.ended_utc = r.optional(i, 6);
      if (!r.null(i, 7)) row.seconds = std::stod(r.text(i, 7));
      row.update_file = r.text(i, 8);
      row.image_sha256 = r.text(i, 9);
      row.boot_sha256 = r.text(i, 10);
      row.serial_number = r.optional(i, 11);
      row.bytes_sent = r.number(i, 12);
      row.result = int_of(13);
      row.ok = static_cast<int>(r.number(i, 14));
      row.stop_phase = r.optional(i, 15);
      row.stop_block = int_of(16);
      row.stop_chunk = int_of(17);
      row.records = r.text(i, 18);
      row.quillon_version = r.text(i, 19);
      row.serial_counter = r.optional(i, 20);
      if (!r.null(i, 21)) row.serial_reused_by = r.number(i, 21);
      row.station_uuid = r.text(i, 22);
      row.scanned = r.optional(i, 23);
      rows.push_back(std::move(row));
    }
    return Values(rows, error);
  }

  // The rows' pool values.
  bool Values(std::vector<UnitRow>& rows, std::string& error) {
    if (rows.empty()) return true;
    std::map<std::int64_t, UnitRow*> by_id;
    for (auto& row : rows) by_id[row.id] = &row;
    const auto found = Run("SELECT unit_id, pool, value FROM unit_values WHERE unit_id BETWEEN $1 AND $2 "
                           "ORDER BY unit_id, pool",
                           {std::to_string(by_id.begin()->first), std::to_string(by_id.rbegin()->first)}, error);
    if (!found) return false;
    for (int i = 0; i < found->rows(); ++i) {
      if (const auto at = by_id.find(found->number(i, 0)); at != by_id.end()) {
        at->second->values.push_back({found->text(i, 1), found->text(i, 2)});
      }
    }
    return true;
  }

 private:
  static Lease ReadLease(const Result& r, int row) {
    Lease lease;
    lease.id = r.number(row, 0);
    lease.counter = r.text(row, 1);
    lease.first = static_cast<std::uint64_t>(r.number(row, 2));
    lease.last = static_cast<std::uint64_t>(r.number(row, 3));
    lease.next = lease.first;
    return lease;
  }

  // The schema's version: 0 when there is none, -1 (with `error`) when it cannot be read.
  int Version(std::string& error) {
    const auto table = Run("SELECT to_regclass('quillon_schema') IS NOT NULL", {}, error);
    if (!table) return -1;
    if (table->text(0, 0) != "t") return 0;
    const auto version = Run("SELECT coalesce(max(version), 0) FROM quillon_schema", {}, error);
    return version ? static_cast<int>(version->number(0, 0)) : -1;
  }

  static bool NotNewer(int version, std::string& error) {
    if (version <= kFleetSchema) return true;
    error = "the fleet's database has schema version " + std::to_string(version) + ", newer than this quillon-cli knows (" +
            std::to_string(kFleetSchema) + "): update quillon-cli on this station";
    return false;
  }

  bool SeenNow(const StationIdentity& station, std::string& error) {
    return Query("INSERT INTO stations (uuid, name, host) VALUES ($1, $2, $3) ON CONFLICT (uuid) DO UPDATE SET "
                 "name = EXCLUDED.name, host = EXCLUDED.host, last_seen = now()",
                 {station.uuid, station.name, station.host}, error);
  }

  // `work` in one transaction: committed when it returns true, rolled back otherwise.
  template <typename Work>
  bool InTransaction(std::string& error, Work work) {
    if (!Exec("BEGIN", error)) return false;
    std::string ignored;
    if (!work() || !Exec("COMMIT", error)) {
      Exec("ROLLBACK", ignored);
      return false;
    }
    return true;
  }

  // Statements without parameters (a schema step holds several).
  bool Exec(const char* sql, std::string& error) {
    const Result result(PQexec(connection_, sql));
    return result.ok() || Failed(result, error);
  }
  bool Query(const std::string& sql, const std::vector<Param>& params, std::string& error) {
    return Run(sql, params, error) != nullptr;
  }

  // The statement with its parameters (text, or null); nothing with `error` when it failed.
  std::unique_ptr<Result> Run(const std::string& sql, const std::vector<Param>& params, std::string& error) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
    auto result = std::make_unique<Result>(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                                        values.data(), nullptr, nullptr, 0));
    if (result->ok()) return result;
    Failed(*result, error);
    return nullptr;
  }

  bool Failed(const Result& result, std::string& error) const {
    error = PQstatus(connection_) == CONNECTION_OK ? "the record server refused: " + Trimmed(result.message())
                                                   : "the record server went away: " + Trimmed(PQerrorMessage(connection_));
    return false;
  }

  PGconn* connection_;
};

}  // namespace

namespace {

// The URL's words, or null with `error`: libpq's words about a URL it cannot read quote the
// URL, password and all, so they are not repeated.
PQconninfoOption* Parse(const std::string& url, std::string& error) {
  char* unreadable = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(url.c_str(), &unreadable);
  PQfreemem(unreadable);
  if (parsed == nullptr) {
    error = "the record server's address cannot be read: write postgresql://USER@HOST:PORT/DATABASE or "
            "\"host=HOST port=PORT dbname=DATABASE user=USER\" (the password goes in ~/.pgpass or PGPASSFILE)";
  }
  return parsed;
}

}  // namespace

bool FleetServer::Readable(const std::string& url, std::string& error) {
  PQconninfoOption* parsed = Parse(url, error);
  PQconninfoFree(parsed);
  return parsed != nullptr;
}

std::unique_ptr<FleetServer> FleetServer::Connect(const std::string& url, std::string& error) {
  PQconninfoOption* parsed = Parse(url, error);
  if (parsed == nullptr) return nullptr;
  std::string password;
  for (const auto* option = parsed; option->keyword != nullptr; ++option) {
    if (std::string_view(option->keyword) == "password" && option->val != nullptr) password = option->val;
  }
  PQconninfoFree(parsed);
  // A server that stops answering (a pulled cable) is given up within seconds; the URL's own
  // settings come after these and win.
  const char* keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                            "tcp_user_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {"5", "5", "2", "3", "10000", "quillon", url.c_str(), nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  if (PQstatus(connection) != CONNECTION_OK) {
    error = "cannot reach the record server: " + Trimmed(PQerrorMessage(connection));
    for (auto at = password.empty() ? std::string::npos : error.find(password); at != std::string::npos;
         at = error.find(password, at)) {
      error.replace(at, password.size(), "********");
    }
    PQfinish(connection);
    return nullptr;
  }
  return std::make_unique<PgFleet>(connection);
}

bool FleetAvailable() { return true; }

}  // namespace quillon::records
