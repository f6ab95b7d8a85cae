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

/// A value a unit got from a pool.
struct PoolValue {
  std::string pool;
  std::string value;
  bool operator==(const PoolValue&) const = default;
};

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
  /// A failed unit whose number went to a later unit (--failed-number reuse): that unit's id.
  std::optional<std::int64_t> serial_reused_by;
  /// The station's identity (a fleet's rows only; the station's own database is one station's).
  std::optional<std::string> station_uuid;
  /// The unit's completion number: given when it ends (or when it is found left incomplete by
  /// a process that no longer runs), one more than the last, in the order units end.
  std::optional<std::int64_t> seq;
  /// The values the unit got from pools, by pool name (table `unit_values`).
  std::vector<PoolValue> values;
  /// The board's label as it was scanned before its unit began.
  std::optional<std::string> scanned;
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

/// A value each unit draws from a pool, in the transaction that makes its row.
struct PoolDraw {
  std::string pool;
  bool reuse_on_fail = false;  ///< a failed unit's value goes back to the pool; else it is spent
  /// Whether a value can be stamped; one that cannot is not drawn.
  std::function<bool(const std::string& value)> fits;
};

/// A pool's values by state: free to draw, issued to a unit (under way or passed), spent (its
/// unit failed, or was stopped while its board may hold it).
struct PoolCount {
  std::int64_t free = 0, issued = 0, spent = 0;
  bool exists() const { return free + issued + spent > 0; }
};

/// A value of a list to import, and the line of the file it is on.
struct ListedValue {
  std::string value;
  int line = 0;
};

/// What `history` asks for; newest first.
struct HistoryFilter {
  std::optional<std::string> station;  ///< a fleet's rows of this station (its name or UUID)
  std::optional<std::string> since;  ///< started_utc >= this, written as UtcNow() writes (UtcInstant)
  std::optional<std::string> port;    ///< its whole name, or the last part of a path
  std::optional<std::string> serial;  ///< all digits: compared as a number ("3" finds "000003")
  bool failed = false;  ///< only rows that did not pass (incomplete ones included)
  int limit = 0;        ///< 0: all
};

/// A block of serial numbers the fleet leased to this station, as its own database keeps it.
struct Lease {
  std::int64_t id = 0;  ///< the fleet's number of the lease
  std::string counter;
  std::uint64_t first = 0, last = 0;  ///< the numbers first..last, both given
  std::uint64_t next = 0;             ///< the next one to give; past `last` when all are given
};

/// A lease asked of the fleet, kept before it is asked: the same key on every try, so an
/// answer lost after the server gave the lease gets that lease again, never another one.
struct LeaseRequest {
  std::string key;
  std::string counter;
  std::uint64_t first = 1;  ///< where the fleet's counter starts when it is new
  int size = 20;
};

/// Values of a pool asked of the fleet, kept before they are asked (as LeaseRequest).
struct PoolLeaseRequest {
  std::string key;
  std::string pool;
  int size = 20;
};

/// Values of a pool the fleet leased to this station.
struct PoolLease {
  std::int64_t id = 0;  ///< the fleet's number of the lease; 0: the fleet had no free value
  std::string pool;
  std::vector<std::string> values;
};

/// Numbers of a lease that no unit got: the rest of a lease when the station ends, or a failed
/// unit's number kept for reuse.
struct AbandonedNumbers {
  std::int64_t id = 0;     ///< in the station's database
  std::int64_t lease = 0;  ///< the fleet's lease they came from (0: unknown)
  std::string counter;
  std::uint64_t first = 0, last = 0;
  std::string at_utc;
  std::string reason;
};

/// A row whose latest state the fleet does not have yet: `revision` counts its writes.
struct OutboxRow {
  UnitRow row;
  int revision = 0;
};

/// The rows waiting in the outbox, and since when the oldest waits.
struct OutboxCount {
  int rows = 0;
  std::optional<std::string> oldest_utc;
};

/// A finished row an output has not taken yet.
struct Delivery {
  UnitRow row;
  int attempts = 0;  ///< tries so far
};

/// A row not yet delivered to an output, as `history --undelivered` lists it.
struct UndeliveredRow {
  std::int64_t unit = 0;
  std::int64_t seq = 0;
  std::string output;
  std::string queued_utc;
  int attempts = 0;
  std::optional<std::string> last_try_utc;
  std::optional<std::string> last_error;
  bool stopped = false;  ///< refused in a way no retry mends: waits for a person
};

/// An output's rows still to deliver (stopped ones apart), since when the oldest waits, and
/// how many wait for a person.
struct OutputCount {
  int waiting = 0;
  std::optional<std::string> oldest_utc;
  int stopped = 0;
  bool operator==(const OutputCount&) const = default;
};

/// Why a database was not opened.
enum class RecordsProblem {
  kNone,
  kCannotOpen,     ///< no such file, no access, a lock that stayed
  kNotRunRecords,  ///< not a SQLite database, or one that holds other things
  kDamaged,        ///< SQLite's quick check found it damaged
  kNetworkFileSystem,  ///< on a network file system, where SQLite cannot keep writers apart
};

/// BeginUnit's answers besides a row id.
inline constexpr std::int64_t kNumberDoesNotFit = -1;  ///< the next number does not fit the stamp
inline constexpr std::int64_t kNoNumberLeft = -2;      ///< the leases are used up: none to give
inline constexpr std::int64_t kPoolEmpty = -3;         ///< a pool has no free value (`error`: its name)
inline constexpr std::int64_t kValueDoesNotFit = -4;   ///< a pool's next value cannot be stamped (`error`: which)

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
  /// `draw` when given: a failed unit's number first when those are reused, then the counter's
  /// next one, or with leases the next one of this process's oldest lease; and the oldest free
  /// value of each of `pools` (into `row.values`). Returns the row's id; 0 with `error` set when
  /// nothing was written; kNumberDoesNotFit, kNoNumberLeft, kPoolEmpty or kValueDoesNotFit
  /// (nothing written, nothing drawn).
  virtual std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, const std::vector<PoolDraw>& pools,
                                 std::string& error) = 0;
  std::int64_t BeginUnit(UnitRow& row, const SerialDraw* draw, std::string& error) {
    return BeginUnit(row, draw, {}, error);
  }
  /// Completes the row `row.id` with its end, result and records (and, when failed numbers
  /// are reused, keeps a failed unit's number for the next unit; a failed unit's pool values
  /// go back to their pools or are spent). False with `error` when it was not written (a lock
  /// held past the busy timeout): then nothing of it was.
  virtual bool EndUnit(const UnitRow& row, std::string& error) = 0;

  /// Adds the values to pool `pool` in one transaction; a value the pool has is left as it is.
  /// How many were added.
  virtual std::optional<int> ImportPool(const std::string& pool, const std::vector<ListedValue>& values,
                                        std::string& error) {
    (void)pool, (void)values;
    return Unsupported(error), std::nullopt;
  }
  /// The unit that passed with `scanned` as its label, if one did (0: none).
  virtual std::int64_t PassedWithLabel(const std::string& scanned, std::string& error) {
    (void)scanned;
    return Unsupported(error), 0;
  }
  /// The pool's values by state (all 0: no such pool).
  virtual std::optional<PoolCount> CountPool(const std::string& pool, std::string& error) {
    (void)pool;
    return Unsupported(error), std::nullopt;
  }

  // The station's side of a fleet: the leases it holds and the outbox of rows to send. Rows
  // go into the outbox only once UseLeases was called; a database without them answers with
  // an error.

  /// Draws come from leases held by this process (`holder`, its process id) from now on, rows
  /// go into the outbox, and the open leases of processes no longer running are taken up.
  virtual bool UseLeases(long holder, std::string& error) {
    (void)holder;
    return Unsupported(error);
  }
  /// A failed unit's number goes to the next unit of this station instead of being spent.
  virtual void ReuseFailedNumbers(bool reuse) { (void)reuse; }
  /// Keeps a lease request before it is sent (see LeaseRequest).
  virtual bool AskLease(const LeaseRequest& request, std::string& error) {
    (void)request;
    return Unsupported(error);
  }
  /// The lease requests with no lease yet, oldest first.
  virtual std::vector<LeaseRequest> LeaseRequests(std::string& error) { return Unsupported(error), std::vector<LeaseRequest>{}; }
  /// Keeps a lease the fleet gave (once: a lease already kept is left as it is) and ends the
  /// request `request_key` (empty: a lease the fleet knew of and this database did not).
  virtual bool KeepLease(const Lease& lease, const std::string& request_key, std::string& error) {
    (void)lease, (void)request_key;
    return Unsupported(error);
  }
  /// The same for pools' values: a request kept before it is sent, the requests not answered
  /// yet, and a lease kept (its values free to draw; one of id 0 says the fleet's pool is empty
  /// until a lease with values comes).
  virtual bool AskPoolLease(const PoolLeaseRequest& request, std::string& error) {
    (void)request;
    return Unsupported(error);
  }
  virtual std::vector<PoolLeaseRequest> PoolLeaseRequests(std::string& error) {
    return Unsupported(error), std::vector<PoolLeaseRequest>{};
  }
  virtual bool KeepPoolLease(const PoolLease& lease, const std::string& request_key, std::string& error) {
    (void)lease, (void)request_key;
    return Unsupported(error);
  }
  /// How many values of `pool` this process's open pool leases still hold free.
  virtual std::optional<std::int64_t> PoolValuesLeft(const std::string& pool, std::string& error) {
    (void)pool;
    return Unsupported(error), std::nullopt;
  }
  /// The pool leases this database closed that the fleet has not been told of, each with the
  /// values of it no unit kept (they go back to the fleet's pool).
  virtual std::vector<PoolLease> PoolLeasesToClose(std::string& error) { return Unsupported(error), std::vector<PoolLease>{}; }
  /// The fleet has them back: they are no longer this station's to give.
  virtual bool PoolLeaseClosed(const PoolLease& lease, std::string& error) {
    (void)lease;
    return Unsupported(error);
  }
  /// The ids of every lease this database has kept.
  virtual std::vector<std::int64_t> KnownLeases(std::string& error) { return Unsupported(error), std::vector<std::int64_t>{}; }
  /// How many numbers of `counter` this process can still give (its open leases and the
  /// failed units' numbers kept for reuse).
  virtual std::optional<std::uint64_t> NumbersLeft(const std::string& counter, std::string& error) {
    (void)counter;
    return Unsupported(error), std::nullopt;
  }
  /// Ends this process's open leases: their unused numbers, and the failed units' numbers kept
  /// for reuse, are abandoned for `reason`; its pool leases are closed (their free values go
  /// back to the fleet).
  virtual bool EndLeases(const std::string& reason, std::string& error) {
    (void)reason;
    return Unsupported(error);
  }
  /// Abandoned numbers the fleet has not been told of yet.
  virtual std::vector<AbandonedNumbers> AbandonedToReport(std::string& error) {
    return Unsupported(error), std::vector<AbandonedNumbers>{};
  }
  virtual bool Reported(const AbandonedNumbers& numbers, std::string& error) {
    (void)numbers;
    return Unsupported(error);
  }
  /// The leases this database closed (used up, or ended) that the fleet has not been told of.
  virtual std::vector<std::int64_t> LeasesToClose(std::string& error) {
    return Unsupported(error), std::vector<std::int64_t>{};
  }
  virtual bool CloseReported(std::int64_t lease, std::string& error) {
    (void)lease;
    return Unsupported(error);
  }
  /// Up to `limit` rows of the outbox, by id.
  virtual std::vector<OutboxRow> Outbox(int limit, std::string& error) {
    (void)limit;
    return Unsupported(error), std::vector<OutboxRow>{};
  }
  /// The fleet has these rows as of their revisions; one transaction.
  virtual bool Sent(const std::vector<OutboxRow>& rows, std::string& error) {
    (void)rows;
    return Unsupported(error);
  }
  virtual OutboxCount Waiting(std::string& error) { return Unsupported(error), OutboxCount{}; }

  // The deliveries to the factory's systems: each finished row goes once to every output this
  // process names, in the order of the completion numbers.

  /// Every unit this process ends from now on is queued for `outputs`; the rows left incomplete
  /// by processes that no longer run are given their completion numbers and queued too.
  virtual bool UseOutputs(const std::vector<std::string>& outputs, std::string& error) {
    (void)outputs;
    return Unsupported(error);
  }
  /// Up to `limit` rows waiting for `output`, by completion number (stopped ones left out).
  virtual std::vector<Delivery> ToDeliver(const std::string& output, int limit, std::string& error) {
    (void)output, (void)limit;
    return Unsupported(error), std::vector<Delivery>{};
  }
  /// `output` took these units; one transaction.
  virtual bool Delivered(const std::vector<std::int64_t>& units, const std::string& output, std::string& error) {
    (void)units, (void)output;
    return Unsupported(error);
  }
  /// A try that failed: `why`, and with `stop` the row waits for a person (history --redeliver).
  virtual bool NotDelivered(std::int64_t unit, const std::string& output, const std::string& why, bool stop,
                            std::string& error) {
    (void)unit, (void)output, (void)why, (void)stop;
    return Unsupported(error);
  }
  virtual OutputCount OutputWaiting(const std::string& output, std::string& error) {
    (void)output;
    return Unsupported(error), OutputCount{};
  }
  /// Every row not yet delivered to an output, by completion number.
  virtual std::vector<UndeliveredRow> Undelivered(std::string& error) {
    return Unsupported(error), std::vector<UndeliveredRow>{};
  }
  /// Queues these units again for every output they were queued for (for every output these
  /// records have known, when none), from their first try; all or none: false with `error`
  /// naming a unit that does not exist or has not ended.
  virtual bool Redeliver(const std::vector<std::int64_t>& units, std::string& error) {
    (void)units;
    return Unsupported(error);
  }

  virtual std::vector<UnitRow> History(const HistoryFilter& filter, std::string& error) = 0;
  /// The units that ended after completion number `seq`, in the order they ended (at most
  /// `limit`).
  virtual std::vector<UnitRow> Finished(std::int64_t seq, int limit, std::string& error) = 0;
  /// The rows after unit id `since`, oldest first (at most `limit`).
  virtual std::vector<UnitRow> After(std::int64_t since, int limit, std::string& error) = 0;
  /// The next number counter `name` gives; nothing when there is no such counter yet.
  virtual std::optional<std::uint64_t> CounterNext(const std::string& name, std::string& error) = 0;
  /// What the last call that failed found: kDamaged when SQLite met a damaged database.
  virtual RecordsProblem problem() const { return RecordsProblem::kNone; }
  /// Whether the database's path still leads to the file that was opened; false with `why`
  /// when it was deleted, moved away or replaced (rows written now would be lost).
  virtual bool StillAtPath(std::string& why) const = 0;

 protected:
  static bool Unsupported(std::string& error) {
    error = "these run records keep no leases or outbox";
    return false;
  }
};

/// False in a build without SQLite (the Windows build today).
bool RecordsAvailable();

/// A serial number as the number it is: nothing unless it is 1 to 18 digits ("000003" is 3).
std::optional<std::int64_t> SerialValue(const std::optional<std::string>& serial);

/// The time now as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcNow();

/// An ISO 8601 time as the instant UtcNow() would write for it, so that rows compare by
/// instant: a date ("2026-12-08", its midnight UTC), or a date and time joined by "T" or a
/// space ("2026-12-08T06:00", seconds and fractions optional), with "Z" or an offset
/// ("+09:00", "+0900", "-05") or neither (UTC); letters in any case. Nothing for anything else.
std::optional<std::string> UtcInstant(const std::string& text);

}  // namespace quillon::records
