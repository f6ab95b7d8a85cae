// The lease and outbox logic of a station's link to the fleet, against a fake server that can be
// away or lose its answers after it committed (the real server's end-to-end tests are beside
// the station's).

#include "records/fleet_link.h"

#include <gtest/gtest.h>
#include <sys/statfs.h>

#include <map>
#include <set>
#include <variant>

#include "base/posix_call.h"
#include "base/system.h"
#include "records/test_unit_row.h"
#include "testing/temp_dir.h"

namespace quillon::records {
namespace {

enum class Lost { kNothing, kLease, kRows, kAbandoned };

// What the fleet keeps, as the real one keeps it: a counter, leases by request key, rows by the
// station's identity and id (a row's later revision replaces an earlier one).
struct FakeFleet {
  std::uint64_t next = 0;
  bool counter_made = false;
  std::map<std::string, Lease> leases;  // by request key
  std::map<std::pair<std::string, std::int64_t>, OutboxRow> units;
  std::vector<AbandonedNumbers> abandoned;
  std::map<std::int64_t, bool> closed;
  std::map<std::int64_t, std::string> lease_station;
  // The pools: each value's state ("free", "leased", "issued", "spent") and lease, in order.
  std::vector<std::pair<std::string, std::string>> pool;  // value, state
  std::map<std::string, PoolLease> pool_leases;          // by request key
  bool away = false;
  Lost lose = Lost::kNothing;  ///< the next such call commits and then loses its answer
  int puts = 0;

  bool Lose(Lost what, std::string& error) {
    if (lose != what) return false;
    lose = Lost::kNothing;
    error = "connection lost after the commit";
    return true;
  }
};

class FakeServer final : public FleetServer {
 public:
  explicit FakeServer(FakeFleet& fleet) : fleet_(fleet) {}
  std::string Where() const override { return "fake"; }
  bool CheckSchema(std::string& error) override { return Up(error); }
  bool TakeLease(const StationIdentity& station, const LeaseRequest& request, Lease& lease, std::string& error) override {
    if (!Up(error)) return false;
    if (!fleet_.leases.count(request.key)) {
      if (!fleet_.counter_made) fleet_.next = request.first, fleet_.counter_made = true;
      Lease made{static_cast<std::int64_t>(fleet_.leases.size() + 1), request.counter, fleet_.next,
                 fleet_.next + request.size - 1, fleet_.next};
      fleet_.next += request.size;
      fleet_.leases[request.key] = made;
      fleet_.lease_station[made.id] = station.uuid;
    }
    if (fleet_.Lose(Lost::kLease, error)) return false;
    lease = fleet_.leases[request.key];
    return true;
  }
  bool OpenLeases(const StationIdentity& station, std::vector<Lease>& leases, std::string& error) override {
    if (!Up(error)) return false;
    for (const auto& [key, lease] : fleet_.leases) {
      if (fleet_.lease_station[lease.id] == station.uuid && !fleet_.closed[lease.id]) leases.push_back(lease);
    }
    return true;
  }
  bool PutUnits(const StationIdentity& station, const std::vector<OutboxRow>& rows, std::string& error) override {
    if (!Up(error)) return false;
    ++fleet_.puts;
    for (const auto& row : rows) {
      auto& kept = fleet_.units[{station.uuid, row.row.id}];
      if (kept.revision < row.revision) kept = row;
    }
    return !fleet_.Lose(Lost::kRows, error);
  }
  bool Abandon(const StationIdentity&, const AbandonedNumbers& numbers, std::string& error) override {
    if (!Up(error)) return false;
    if (std::none_of(fleet_.abandoned.begin(), fleet_.abandoned.end(),
                     [&](const AbandonedNumbers& a) { return a.id == numbers.id && a.lease == numbers.lease; })) {
      fleet_.abandoned.push_back(numbers);
    }
    return !fleet_.Lose(Lost::kAbandoned, error);
  }
  bool CloseLease(const StationIdentity&, std::int64_t lease, std::string& error) override {
    if (!Up(error)) return false;
    fleet_.closed[lease] = true;
    return true;
  }
  bool TakePoolLease(const StationIdentity&, const PoolLeaseRequest& request, PoolLease& lease,
                     std::string& error) override {
    if (!Up(error)) return false;
    if (!fleet_.pool_leases.count(request.key)) {
      PoolLease made{static_cast<std::int64_t>(fleet_.pool_leases.size() + 1), request.pool, {}};
      for (auto& [value, state] : fleet_.pool) {
        if (state == "free" && static_cast<int>(made.values.size()) < request.size) {
          state = "leased";
          made.values.push_back(value);
        }
      }
      if (made.values.empty()) made.id = 0;
      fleet_.pool_leases[request.key] = made;
    }
    lease = fleet_.pool_leases[request.key];
    return !fleet_.Lose(Lost::kLease, error);
  }
  bool ClosePoolLease(const StationIdentity&, const PoolLease& lease, std::string& error) override {
    if (!Up(error)) return false;
    for (auto& [value, state] : fleet_.pool) {
      if (std::count(lease.values.begin(), lease.values.end(), value) > 0) state = "free";
    }
    return true;
  }
  std::optional<int> ImportPool(const std::string&, const std::vector<ListedValue>&, std::string&) override { return 0; }
  std::optional<PoolCount> CountPool(const std::string&, std::string&) override { return PoolCount{}; }
  bool Seen(const StationIdentity&, const OutboxCount&, std::string& error) override { return Up(error); }
  bool Init(int&, std::string&) override { return true; }
  std::optional<std::uint64_t> CounterNext(const std::string&, std::string&) override { return fleet_.next; }
  bool Status(FleetStatus&, std::string&) override { return true; }
  bool Numbers(const std::string&, std::uint64_t, std::uint64_t, std::vector<NumberFate>&, std::string&) override {
    return true;
  }
  bool History(const HistoryFilter&, std::vector<UnitRow>&, std::string&) override { return true; }

 private:
  bool Up(std::string& error) {
    if (fleet_.away) error = "the server is away";
    return !fleet_.away;
  }
  FakeFleet& fleet_;
};

// A clock that moves only when told: the link's backoff costs no time.
class ManualClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

// One station: its own database, identity and link.
struct Station {
  Station(const testing::TempDir& dir, const std::string& name, FakeFleet& fleet, const ManualClock& clock,
          long holder = ProcessId(), int lease = 4, std::vector<std::string> pools = {}) {
    std::string error;
    records = RunRecords::Open((dir.path() / (name + ".db")).string(), error);
    EXPECT_TRUE(records) << error;
    EXPECT_TRUE(records->UseLeases(holder, error)) << error;
    identity = *LoadIdentity((dir.path() / (name + ".db")).string(), name, error);
    link = std::make_unique<FleetLink>(*records, identity, FleetPlan{"default", 1000, lease, pools.empty(), pools},
                                       [&fleet](std::string& why) -> std::unique_ptr<FleetServer> {
                                         if (fleet.away) {
                                           why = "the server is away";
                                           return nullptr;
                                         }
                                         return std::make_unique<FakeServer>(fleet);
                                       },
                                       clock);
  }
  // A unit begins and ends; its number, or nothing when none is left.
  std::optional<std::string> Unit(bool ok = true) {
    UnitRow row = TestRow("p", identity.name);
    SerialDraw draw;
    draw.first = 1000;
    draw.text = [](std::uint64_t n) { return std::optional<std::string>(std::to_string(n)); };
    std::string error;
    const auto id = records->BeginUnit(row, &draw, error);
    if (id == kNoNumberLeft) return std::nullopt;
    EXPECT_GT(id, 0) << error;
    End(row, ok);
    return row.serial_number;
  }
  // A unit with a value of pool "mac" (given back when it fails) begins and ends: its value, or
  // what BeginUnit answered.
  std::variant<std::string, std::int64_t> Valued(bool ok = true) {
    UnitRow row = TestRow("p", identity.name);
    std::string error;
    const auto id = records->BeginUnit(row, nullptr, {{"mac", true, {}}}, error);
    if (id <= 0) return id;
    End(row, ok);
    return row.values.at(0).value;
  }
  void End(UnitRow& row, bool ok) {
    row.ended_utc = UtcNow();
    row.result = ok ? 205 : 503;
    row.ok = ok ? 1 : 0;
    std::string error;
    EXPECT_TRUE(records->EndUnit(row, error)) << error;
  }
  void Drain() {
    for (int i = 0; i < 50 && (link->Step() || records->Waiting(ignored).rows > 0); ++i) {
    }
  }
  std::unique_ptr<RunRecords> records;
  StationIdentity identity;
  std::unique_ptr<FleetLink> link;
  std::string ignored;
};

class FleetLinkTest : public ::testing::Test {
 protected:
  // Past any backoff.
  void Later() { clock_.now += std::chrono::seconds(10); }
  testing::TempDir dir_;
  FakeFleet fleet_;
  ManualClock clock_;
};

TEST_F(FleetLinkTest, TwoStationsDrawDistinctNumbersAndEveryRowArrivesOnce) {
  Station a(dir_, "a", fleet_, clock_), b(dir_, "b", fleet_, clock_);
  std::set<std::string> numbers;
  for (int round = 0; round < 10; ++round) {
    a.link->Step();
    b.link->Step();
    for (Station* s : {&a, &b}) {
      if (auto number = s->Unit()) {
        EXPECT_TRUE(numbers.insert(*number).second) << *number << " given twice";
      }
    }
  }
  a.Drain();
  b.Drain();
  EXPECT_EQ(numbers.size(), 20u);
  EXPECT_EQ(fleet_.units.size(), 20u);
  EXPECT_NE(a.identity.uuid, b.identity.uuid);
  for (const auto& [key, row] : fleet_.units) EXPECT_EQ(row.row.result, 205) << "a row's end did not arrive";
}

TEST_F(FleetLinkTest, PoolValuesComeInLeasesEachToOneStationAndTheUnusedOnesGoBackAtTheEnd) {
  for (int i = 1; i <= 9; ++i) fleet_.pool.emplace_back("v" + std::to_string(i), "free");
  Station a(dir_, "a", fleet_, clock_, ProcessId(), 4, {"mac"}), b(dir_, "b", fleet_, clock_, ProcessId(), 4, {"mac"});
  // Before a lease, a unit waits for one; then each station's values are its own.
  EXPECT_EQ(std::get<std::int64_t>(a.Valued()), kNoNumberLeft);
  std::set<std::string> given;
  for (int round = 0; round < 3; ++round) {
    a.link->Step();
    b.link->Step();
    for (Station* s : {&a, &b}) {
      const auto value = s->Valued(!(s == &a && round == 0));  // a's first unit fails: its value is used again
      if (const auto* text = std::get_if<std::string>(&value)) given.insert(*text);
    }
  }
  EXPECT_EQ(given.size(), 5u);
  // The fleet's pool is empty now; a station whose own values are used up says so.
  std::variant<std::string, std::int64_t> last;
  for (int i = 0; i < 6 && (i == 0 || std::get_if<std::int64_t>(&last) == nullptr || std::get<std::int64_t>(last) == kNoNumberLeft); ++i) {
    b.link->Step();
    last = b.Valued();
    if (const auto* text = std::get_if<std::string>(&last)) given.insert(*text);
  }
  EXPECT_EQ(std::get<std::int64_t>(last), kPoolEmpty);
  // At the end every value no unit kept is free again in the fleet.
  std::string error;
  ASSERT_TRUE(a.link->End(error)) << error;
  ASSERT_TRUE(b.link->End(error)) << error;
  a.Drain();
  b.Drain();
  int leased = 0;
  for (const auto& [value, state] : fleet_.pool) leased += state == "leased" && !given.count(value) ? 1 : 0;
  EXPECT_EQ(leased, 0) << ::testing::PrintToString(fleet_.pool);
  EXPECT_EQ(given.size(), 7u);
}

TEST_F(FleetLinkTest, WhileTheServerIsAwayTheLeaseIsUsedUpThenNoUnitBeginsUntilItIsBack) {
  Station s(dir_, "s", fleet_, clock_);
  s.link->Step();  // the first lease: 4 numbers
  fleet_.away = true;
  std::vector<std::string> numbers;
  for (int i = 0; i < 6; ++i) {
    s.link->Step();
    if (auto number = s.Unit()) numbers.push_back(*number);
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"1000", "1001", "1002", "1003"}));
  const auto state = s.link->State();
  EXPECT_FALSE(state.connected);
  EXPECT_EQ(state.numbers_left, 0u);
  EXPECT_EQ(state.rows_waiting, 4);
  EXPECT_TRUE(state.offline_since_utc);

  fleet_.away = false;
  s.link->Step();  // still within the backoff: not tried yet
  EXPECT_FALSE(s.Unit());
  Later();
  s.Drain();
  EXPECT_EQ(s.Unit(), "1004");
  s.Drain();
  EXPECT_TRUE(s.link->State().connected);
  EXPECT_EQ(fleet_.units.size(), 5u);
}

// The server committed, and its answer was lost: the retry gets the same lease, the same rows,
// the same abandoned numbers, never a second of any.
class LostAnswerTest : public FleetLinkTest, public ::testing::WithParamInterface<Lost> {};

TEST_P(LostAnswerTest, TheRetryDuplicatesNothing) {
  Station s(dir_, "s", fleet_, clock_);
  fleet_.lose = GetParam() == Lost::kLease ? Lost::kLease : Lost::kNothing;
  s.link->Step();
  Later();
  s.link->Step();
  EXPECT_EQ(fleet_.leases.size(), 1u);
  ASSERT_EQ(s.Unit(), "1000");
  ASSERT_EQ(s.Unit(), "1001");
  fleet_.lose = GetParam();
  s.link->Step();
  Later();
  s.Drain();
  std::string error;
  ASSERT_TRUE(s.link->End(error)) << error;
  fleet_.lose = GetParam() == Lost::kAbandoned ? Lost::kAbandoned : Lost::kNothing;
  s.link->Step();
  Later();
  s.Drain();
  EXPECT_EQ(fleet_.units.size(), 2u);
  EXPECT_EQ(fleet_.leases.size(), 1u) << "a lease was handed out twice";
  ASSERT_EQ(fleet_.abandoned.size(), 1u);
  EXPECT_EQ(fleet_.abandoned[0].first, 1002u);
  EXPECT_EQ(fleet_.abandoned[0].last, 1003u);
  EXPECT_EQ(s.records->Waiting(error).rows, 0);
  EXPECT_TRUE(s.records->AbandonedToReport(error).empty());
  for (const auto& [key, lease] : fleet_.leases) EXPECT_TRUE(fleet_.closed[lease.id]) << "lease " << lease.id << " left open";
}

INSTANTIATE_TEST_SUITE_P(Calls, LostAnswerTest, ::testing::Values(Lost::kLease, Lost::kRows, Lost::kAbandoned));

TEST_F(FleetLinkTest, AKilledProcessesLeasesAreTakenUpNotLost) {
  // A process (pid 0x7FFFFFF0: not running) held a lease it drew one number of, and asked for a
  // second one that the server gave just before the process died.
  {
    Station dead(dir_, "s", fleet_, clock_, 0x7FFFFFF0);
    dead.link->Step();
    ASSERT_EQ(dead.Unit(), "1000");
    std::string error;
    const LeaseRequest asked{"asked-before-dying", "default", 1000, 4};
    ASSERT_TRUE(dead.records->AskLease(asked, error));
    Lease given;
    FakeServer(fleet_).TakeLease(dead.identity, asked, given, error);
  }
  Station restarted(dir_, "s", fleet_, clock_);
  restarted.Drain();
  std::vector<std::string> numbers;
  for (int i = 0; i < 7; ++i) numbers.push_back(restarted.Unit().value_or("none"));
  EXPECT_EQ(numbers, (std::vector<std::string>{"1001", "1002", "1003", "1004", "1005", "1006", "1007"}));
  EXPECT_EQ(fleet_.leases.size(), 2u);
}

TEST_F(FleetLinkTest, AFailedUnitsNumberGoesToTheNextUnitWhenReused) {
  Station s(dir_, "s", fleet_, clock_);
  s.records->ReuseFailedNumbers(true);
  s.link->Step();
  EXPECT_EQ(s.Unit(false), "1000");
  EXPECT_EQ(s.Unit(), "1000");
  EXPECT_EQ(s.Unit(), "1001");
  std::string error;
  HistoryFilter failed;
  failed.failed = true;
  const auto rows = s.records->History(failed, error);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].serial_number, "1000");
  EXPECT_EQ(rows[0].serial_reused_by, rows[0].id + 1);
  s.Drain();
  EXPECT_EQ(fleet_.units.at({s.identity.uuid, rows[0].id}).row.serial_reused_by, rows[0].id + 1)
      << "the fleet did not learn that the number was reused";
}

TEST_F(FleetLinkTest, TheIdentityIsMadeOnceAndKept) {
  std::string error;
  const std::string db = (dir_.path() / "x.db").string();
  const auto first = LoadIdentity(db, "line-1", error);
  const auto again = LoadIdentity(db, "", error);
  ASSERT_TRUE(first && again) << error;
  EXPECT_EQ(first->uuid, again->uuid);
  EXPECT_EQ(first->uuid.size(), 36u);
  EXPECT_EQ(first->name, "line-1");
  EXPECT_EQ(again->name, HostName());
}

// statfs answers what a network file system's mount answers.
class NetworkStatfs final : public posix::Calls {
 public:
  explicit NetworkStatfs(long type) : type_(type) {}
  int statfs(const char* path, struct statfs* status) override {
    const int result = posix::Calls::statfs(path, status);
    status->f_type = type_;
    return result;
  }

 private:
  long type_;
};

class NetworkFileSystemTest : public ::testing::TestWithParam<std::pair<long, const char*>> {};

TEST_P(NetworkFileSystemTest, TheRecordsAreRefusedThere) {
  testing::TempDir dir;
  NetworkStatfs calls(GetParam().first);
  const posix::ScopedCalls scoped(calls);
  std::string error;
  RecordsProblem problem = RecordsProblem::kNone;
  EXPECT_FALSE(RunRecords::Open((dir.path() / "runs.db").string(), error, &problem));
  EXPECT_EQ(problem, RecordsProblem::kNetworkFileSystem);
  EXPECT_NE(error.find(GetParam().second), std::string::npos) << error;
  EXPECT_NE(error.find("--fleet"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "runs.db"));
}

INSTANTIATE_TEST_SUITE_P(Mounts, NetworkFileSystemTest,
                         ::testing::Values(std::make_pair(0x6969L, "NFS"), std::make_pair(0xFF534D42L, "SMB/CIFS"),
                                           std::make_pair(0xFE534D42L, "SMB2")));

}  // namespace
}  // namespace quillon::records
