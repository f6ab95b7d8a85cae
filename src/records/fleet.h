#pragma once
// The fleet: the record server the stations of a factory share (PostgreSQL). It keeps the
// serial counters and hands out leases of numbers, each recorded with the station it went to;
// every unit's row arrives there from its station's outbox, once, by the station's identity
// and the row's id in the station's own database.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/run_records.h"

namespace quillon::records {

/// Who a station is: the name people give it, and a UUID made once and kept beside its own
/// database (two stations of one name stay apart).
struct StationIdentity {
  std::string name;
  std::string uuid;
  std::string host;
};

/// The station's identity for the database at `db_path`: its UUID read from the file beside it
/// (made, once, when there is none). Nothing with `error` when the file cannot be read or made.
std::optional<StationIdentity> LoadIdentity(const std::string& db_path, const std::string& name, std::string& error);

/// A new random UUID (version 4), as text.
std::string NewUuid();

/// The schema version this program makes and understands.
inline constexpr int kFleetSchema = 2;

struct FleetCounter {
  std::string name;
  std::uint64_t next = 0;
};
struct FleetLease {
  Lease lease;
  std::string station, station_uuid, taken_utc;
  std::optional<std::string> closed_utc;
  std::int64_t issued = 0;  ///< units that arrived with one of its numbers
};
struct FleetStation {
  std::string uuid, name, host, first_seen_utc, last_seen_utc;
  int outbox_rows = 0;
  std::optional<std::string> outbox_oldest_utc;
  bool name_clash = false;  ///< another station (another UUID) has this name
};
struct FleetStatus {
  int schema = 0;
  std::int64_t units = 0;
  std::vector<FleetCounter> counters;
  std::vector<FleetLease> leases;  ///< the open ones
  std::vector<FleetStation> stations;
};
/// What became of one number of a counter.
struct NumberFate {
  std::uint64_t number = 0;
  std::string state;  ///< "issued", "abandoned", "leased" (not reported yet) or "not given"
  std::string station, station_uuid, at_utc, reason;
  std::optional<std::int64_t> unit;  ///< the fleet's row id of the unit it went to
};

class FleetServer {
 public:
  /// Connects through libpq to `url` (a connection URI or key=value string; the password
  /// from libpq's own places). Nothing with `error` (which never holds a password).
  static std::unique_ptr<FleetServer> Connect(const std::string& url, std::string& error);
  /// Whether libpq can read `url` at all (false, with `error`, for a mistyped one).
  static bool Readable(const std::string& url, std::string& error);
  virtual ~FleetServer() = default;

  /// Where the fleet is, as a person may read it: host, port and database, no password.
  virtual std::string Where() const = 0;
  /// False with `error` when the fleet's schema is missing or newer than this program's.
  virtual bool CheckSchema(std::string& error) = 0;
  /// A lease for `request` in one transaction; the same request's key gives the same lease.
  virtual bool TakeLease(const StationIdentity& station, const LeaseRequest& request, Lease& lease,
                         std::string& error) = 0;
  /// The station's leases the fleet holds open.
  virtual bool OpenLeases(const StationIdentity& station, std::vector<Lease>& leases, std::string& error) = 0;
  /// Each row inserted, or updated when its station sent an older state of it; one transaction.
  virtual bool PutUnits(const StationIdentity& station, const std::vector<OutboxRow>& rows, std::string& error) = 0;
  /// Numbers no unit got, and why.
  virtual bool Abandon(const StationIdentity& station, const AbandonedNumbers& numbers, std::string& error) = 0;
  /// The station gives no more numbers of lease `lease` (its numbers are given or abandoned).
  virtual bool CloseLease(const StationIdentity& station, std::int64_t lease, std::string& error) = 0;
  /// Values of a pool for `request` in one transaction (none when the pool has no free value:
  /// then no lease is made, and `lease.id` is 0); the same request's key gives the same lease.
  virtual bool TakePoolLease(const StationIdentity& station, const PoolLeaseRequest& request, PoolLease& lease,
                             std::string& error) = 0;
  /// The station gives no more values of pool lease `lease.id`; `lease.values` (those no unit
  /// kept) are free again for every station.
  virtual bool ClosePoolLease(const StationIdentity& station, const PoolLease& lease, std::string& error) = 0;
  /// The station was seen now, with its outbox.
  virtual bool Seen(const StationIdentity& station, const OutboxCount& outbox, std::string& error) = 0;

  // What `quillon-cli fleet` and `history --fleet` ask.
  /// Makes the schema or brings it up to date; `from` is the version found (0: none).
  virtual bool Init(int& from, std::string& error) = 0;
  virtual std::optional<std::uint64_t> CounterNext(const std::string& counter, std::string& error) = 0;
  virtual bool Status(FleetStatus& status, std::string& error) = 0;
  virtual bool Numbers(const std::string& counter, std::uint64_t from, std::uint64_t to,
                       std::vector<NumberFate>& fates, std::string& error) = 0;
  virtual bool History(const HistoryFilter& filter, std::vector<UnitRow>& rows, std::string& error) = 0;
  /// As RunRecords::ImportPool and CountPool, for the pools the stations of a fleet share (a
  /// value leased to a station and not on a unit yet counts as free).
  virtual std::optional<int> ImportPool(const std::string& pool, const std::vector<ListedValue>& values,
                                        std::string& error) = 0;
  virtual std::optional<PoolCount> CountPool(const std::string& pool, std::string& error) = 0;
};

/// False in a build without libpq (the Windows build today).
bool FleetAvailable();

}  // namespace quillon::records
