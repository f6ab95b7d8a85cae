#include "records/run_records.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "records/test_unit_row.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace quillon::records {
namespace {

UnitRow Row(const std::string& port) { return TestRow(port); }

SerialDraw Draw(std::uint64_t first, std::uint64_t largest = 0xFFFFFFFF) {
  SerialDraw draw;
  draw.first = first;
  draw.text = [largest](std::uint64_t n) -> std::optional<std::string> {
    if (n > largest) return std::nullopt;
    return std::to_string(n);
  };
  return draw;
}

TEST(RunRecordsTest, ARowBeginsIncompleteAndIsCompletedAtTheEnd) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  UnitRow row = Row("/dev/ttyUSB0");
  const SerialDraw draw = Draw(1000);
  ASSERT_GT(records->BeginUnit(row, &draw, error), 0) << error;
  EXPECT_EQ(row.serial_number, "1000");
  auto rows = records->History({}, error);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].result);

  row.ended_utc = UtcNow();
  row.result = 503;
  row.stop_phase = "transfer";
  row.stop_block = 2;
  row.stop_chunk = 7;
  row.records = "a\nb";
  ASSERT_TRUE(records->EndUnit(row, error)) << error;
  HistoryFilter failed;
  failed.failed = true;
  rows = records->History(failed, error);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].result, 503);
  EXPECT_EQ(rows[0].stop_block, 2);
  EXPECT_EQ(rows[0].records, "a\nb");
  EXPECT_EQ(rows[0].serial_number, "1000");
}

TEST(RunRecordsTest, ANumberThatDoesNotFitIsNotDrawn) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  UnitRow row = Row("p");
  const SerialDraw small = Draw(65536, 65535);
  EXPECT_EQ(records->BeginUnit(row, &small, error), -1);
  EXPECT_TRUE(records->History({}, error).empty());
  const SerialDraw wide = Draw(1);
  ASSERT_GT(records->BeginUnit(row, &wide, error), 0);
  // The refused draw left nothing behind, not even its counter.
  EXPECT_EQ(row.serial_number, "1");
}

TEST(RunRecordsTest, ConnectionsSharingOneDatabaseNeverDrawTheSameNumber) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "runs.db").string();
  std::vector<std::string> numbers[4];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string error;
      auto records = RunRecords::Open(path, error);
      ASSERT_TRUE(records) << error;
      const SerialDraw draw = Draw(1);
      for (int i = 0; i < 25; ++i) {
        UnitRow row = Row("port" + std::to_string(t));
        ASSERT_GT(records->BeginUnit(row, &draw, error), 0) << error;
        numbers[t].push_back(*row.serial_number);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  for (const auto& list : numbers) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 100u);
  EXPECT_TRUE(all.count("1") && all.count("100"));
}

TEST(RunRecordsTest, HistoryFiltersAndIsNewestFirst) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  const SerialDraw draw = Draw(1);
  for (const char* port : {"a", "b", "a"}) {
    UnitRow row = Row(port);
    ASSERT_GT(records->BeginUnit(row, &draw, error), 0);
    row.result = 205;
    row.ok = 1;
    ASSERT_TRUE(records->EndUnit(row, error));
  }
  HistoryFilter on_a;
  on_a.port = "a";
  auto rows = records->History(on_a, error);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].serial_number, "3");
  HistoryFilter by_serial;
  by_serial.serial = "2";
  EXPECT_EQ(records->History(by_serial, error).at(0).port, "b");
  HistoryFilter limited;
  limited.limit = 1;
  EXPECT_EQ(records->History(limited, error).size(), 1u);
  HistoryFilter later;
  later.since = "9999-01-01T00:00:00.000Z";
  EXPECT_TRUE(records->History(later, error).empty());
  EXPECT_EQ(records->After(1, 0, error).size(), 2u);
}

// The files in a folder, by name.
std::set<std::string> Files(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// A database of three finished units, its connection closed.
std::filesystem::path ThreeUnits(const testing::TempDir& dir) {
  const auto path = dir.path() / "runs.db";
  std::string error;
  auto records = RunRecords::Open(path.string(), error);
  EXPECT_TRUE(records) << error;
  SerialDraw draw = Draw(1);
  draw.text = [](std::uint64_t n) -> std::optional<std::string> {
    char text[8];
    std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(n));
    return std::string(text);
  };
  for (const char* started : {"2026-12-07T23:30:00.000Z", "2026-12-08T00:30:00.000Z", "2026-12-08T06:00:00.000Z"}) {
    UnitRow row = Row("a");
    row.started_utc = started;
    EXPECT_GT(records->BeginUnit(row, &draw, error), 0) << error;
    row.result = 205;
    row.ok = 1;
    EXPECT_TRUE(records->EndUnit(row, error)) << error;
  }
  return path;
}

// history's reading creates nothing beside the database, changes none of its bytes and leaves
// its journal mode alone.
TEST(RunRecordsTest, ReadingCreatesAndChangesNothing) {
  for (const std::string mode : {"wal", "delete"}) {
    testing::TempDir dir;
    const auto path = ThreeUnits(dir);
    ASSERT_EQ(testing::RunShell("sqlite3 '" + path.string() + "' 'PRAGMA journal_mode=" + mode + "' >/dev/null"), 0);
    const std::string before = testing::ReadFileBytes(path);
    const auto files = Files(dir.path());
    std::string error;
    {
      auto records = RunRecords::OpenToRead(path.string(), error);
      ASSERT_TRUE(records) << error;
      EXPECT_EQ(records->History({}, error).size(), 3u) << error;
    }
    EXPECT_EQ(Files(dir.path()), files) << mode;
    EXPECT_TRUE(testing::ReadFileBytes(path) == before) << mode;
    EXPECT_EQ(testing::RunShell("test \"$(sqlite3 '" + path.string() + "' 'PRAGMA journal_mode')\" = " + mode), 0);
  }
  // Beside a station that has the database open and goes on writing.
  testing::TempDir dir;
  const auto path = ThreeUnits(dir);
  std::string error;
  auto station = RunRecords::Open(path.string(), error);
  ASSERT_TRUE(station) << error;
  const auto files = Files(dir.path());
  auto reader = RunRecords::OpenToRead(path.string(), error);
  ASSERT_TRUE(reader) << error;
  UnitRow row = Row("b");
  ASSERT_GT(station->BeginUnit(row, nullptr, error), 0) << error;
  EXPECT_EQ(reader->History({}, error).size(), 4u) << error;
  EXPECT_EQ(Files(dir.path()), files);
}

struct NotOursCase {
  const char* name;
  const char* make;  // a shell command run in the test's folder that makes ./x
  RecordsProblem expected;
};

class NotRunRecordsTest : public ::testing::TestWithParam<NotOursCase> {};

// What is not a run-records database is refused by both ways of opening, says why, and is left
// as it was: no table is added, no journal is made beside it.
TEST_P(NotRunRecordsTest, IsRefusedAndLeftAsItWas) {
  testing::TempDir dir;
  ASSERT_EQ(testing::RunShell("cd '" + dir.path().string() + "' && " + GetParam().make), 0);
  const auto path = dir.path() / "x";
  const auto files = Files(dir.path());
  for (const bool station : {false, true}) {
    std::string error;
    RecordsProblem problem = RecordsProblem::kNone;
    auto records = station ? RunRecords::Open(path.string(), error, &problem)
                           : RunRecords::OpenToRead(path.string(), error, &problem);
    // history does not check the whole file first: it says what its reading meets.
    if (records && !station) {
      records->History({}, error);
      problem = records->problem();
      records.reset();
    }
    EXPECT_FALSE(records) << (station ? "station" : "history");
    EXPECT_EQ(problem, GetParam().expected) << error;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(Files(dir.path()), files);
}

INSTANTIATE_TEST_SUITE_P(
    Files, NotRunRecordsTest,
    ::testing::Values(
        NotOursCase{"Text", "printf 'id,port\\n1,a\\n' > x", RecordsProblem::kNotRunRecords},
        NotOursCase{"OtherDatabase", "sqlite3 x 'CREATE TABLE parts(id)'", RecordsProblem::kNotRunRecords},
        NotOursCase{"UnitsOfSomethingElse", "sqlite3 x 'CREATE TABLE units(id, name)'",
                    RecordsProblem::kNotRunRecords},
        NotOursCase{"Folder", "mkdir x", RecordsProblem::kNotRunRecords},
        NotOursCase{"LinkToADevice", "ln -s /dev/null x", RecordsProblem::kNotRunRecords},
        NotOursCase{"Damaged",
                    "sqlite3 x 'PRAGMA page_size=1024; CREATE TABLE units(id INTEGER PRIMARY "
                    "KEY, station, port, started_utc, update_file, image_sha256, serial_number, result, ok, records, "
                    "quillon_version); CREATE INDEX u ON units(records); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                    "SELECT i + 1 FROM n WHERE i < 400) INSERT INTO units SELECT i, i, i, i, i, i, i, 205, 1, "
                    "zeroblob(200), i FROM n' && "
                    "dd if=/dev/urandom of=x bs=1024 seek=4 count=40 conv=notrunc 2>/dev/null",
                    RecordsProblem::kDamaged}),
    [](const auto& info) { return std::string(info.param.name); });

// A station's database deleted or replaced under it: rows written now would be lost.
TEST(RunRecordsTest, KnowsWhenItsPathNoLongerLeadsToItsFile) {
  testing::TempDir dir;
  const auto path = dir.path() / "runs.db";
  std::string error, why;
  auto records = RunRecords::Open(path.string(), error);
  ASSERT_TRUE(records) << error;
  EXPECT_TRUE(records->StillAtPath(why)) << why;
  std::filesystem::rename(path, dir.path() / "moved.db");
  EXPECT_FALSE(records->StillAtPath(why));
  EXPECT_NE(why.find("deleted or moved away"), std::string::npos) << why;
  std::ofstream(path) << "";
  EXPECT_FALSE(records->StillAtPath(why));
  EXPECT_NE(why.find("another file"), std::string::npos) << why;
}

// A database of an earlier version is brought up to date by a station and read as it is by
// history; a drawn number keeps the name of its counter.
TEST(RunRecordsTest, AnOlderDatabaseIsUpgradedByTheStationAndReadAsItIsByHistory) {
  testing::TempDir dir;
  const auto path = dir.path() / "old.db";
  ASSERT_EQ(testing::RunShell("sqlite3 '" + path.string() +
                              "' \"CREATE TABLE units (id INTEGER PRIMARY KEY, station TEXT NOT NULL, port TEXT NOT "
                              "NULL, adapter TEXT, operator TEXT, started_utc TEXT NOT NULL, ended_utc TEXT, seconds "
                              "REAL, update_file TEXT NOT NULL, image_sha256 TEXT NOT NULL, boot_sha256 TEXT NOT NULL, "
                              "serial_number TEXT, bytes_sent INTEGER NOT NULL DEFAULT 0, result INTEGER, ok INTEGER "
                              "NOT NULL DEFAULT 0, stop_phase TEXT, stop_block INTEGER, stop_chunk INTEGER, records "
                              "TEXT NOT NULL DEFAULT '', quillon_version TEXT NOT NULL); CREATE TABLE serial_counters "
                              "(name TEXT PRIMARY KEY, next INTEGER NOT NULL); INSERT INTO units (station, port, "
                              "started_utc, update_file, image_sha256, boot_sha256, serial_number, quillon_version) "
                              "VALUES ('s', 'a', '2026-01-01T00:00:00.000Z', 'u', 'h', 'b', '7', '1.03'); INSERT INTO "
                              "serial_counters VALUES ('default', 8)\""),
            0);
  std::string error;
  {
    auto reader = RunRecords::OpenToRead(path.string(), error);
    ASSERT_TRUE(reader) << error;
    const auto rows = reader->History({}, error);
    ASSERT_EQ(rows.size(), 1u) << error;
    EXPECT_FALSE(rows[0].serial_counter);
  }
  auto records = RunRecords::Open(path.string(), error);
  ASSERT_TRUE(records) << error;
  EXPECT_EQ(records->CounterNext("default", error), 8u);
  EXPECT_FALSE(records->CounterNext("line-2", error));
  UnitRow row = Row("b");
  const SerialDraw draw = Draw(1);
  ASSERT_GT(records->BeginUnit(row, &draw, error), 0) << error;
  EXPECT_EQ(row.serial_number, "8");
  HistoryFilter newest;
  newest.limit = 1;
  EXPECT_EQ(records->History(newest, error).at(0).serial_counter, "default");
}

// Serial numbers compare as numbers, times as instants.
TEST(RunRecordsTest, SerialNumbersCompareAsNumbersAndTimesAsInstants) {
  testing::TempDir dir;
  const auto path = ThreeUnits(dir);
  std::string error;
  auto records = RunRecords::OpenToRead(path.string(), error);
  ASSERT_TRUE(records) << error;
  for (const char* asked : {"3", "03", "000003"}) {
    HistoryFilter filter;
    filter.serial = asked;
    const auto rows = records->History(filter, error);
    ASSERT_EQ(rows.size(), 1u) << asked;
    EXPECT_EQ(rows[0].serial_number, "000003");
  }
  HistoryFilter text;
  text.serial = "3x";
  EXPECT_TRUE(records->History(text, error).empty());
  // 09:00 in Tokyo is midnight UTC: the two units of the 8th (UTC).
  HistoryFilter since;
  since.since = UtcInstant("2026-12-08T09:00+09:00");
  EXPECT_EQ(records->History(since, error).size(), 2u);
}

std::vector<ListedValue> Listed(int count, const std::string& prefix = "v") {
  std::vector<ListedValue> values;
  for (int i = 1; i <= count; ++i) values.push_back({prefix + std::to_string(i), i + 1});
  return values;
}

TEST(PoolTest, AnImportTwiceAddsNothingTwice) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  EXPECT_EQ(records->ImportPool("mac", Listed(3), error), 3) << error;
  EXPECT_EQ(records->ImportPool("mac", Listed(5), error), 2);
  EXPECT_EQ(records->ImportPool("keys", Listed(2), error), 2);
  const auto count = records->CountPool("mac", error);
  ASSERT_TRUE(count) << error;
  EXPECT_EQ(count->free, 5);
  EXPECT_FALSE(records->CountPool("none", error)->exists());
}

struct EndCase {
  bool reuse;
  int result;
  int ok;
  PoolCount after;  // of a pool of two values, one given to the unit
};

class PoolEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(PoolEndTest, AUnitsEndDecidesWhatBecomesOfItsValue) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  ASSERT_TRUE(records->ImportPool("mac", Listed(2), error));
  UnitRow row = Row("p");
  const std::vector<PoolDraw> pools{{"mac", GetParam().reuse, {}}};
  ASSERT_GT(records->BeginUnit(row, nullptr, pools, error), 0) << error;
  ASSERT_EQ(row.values, (std::vector<PoolValue>{{"mac", "v1"}}));
  row.result = GetParam().result;
  row.ok = GetParam().ok;
  ASSERT_TRUE(records->EndUnit(row, error)) << error;
  const auto count = records->CountPool("mac", error);
  EXPECT_EQ(count->free, GetParam().after.free);
  EXPECT_EQ(count->issued, GetParam().after.issued);
  EXPECT_EQ(count->spent, GetParam().after.spent);
  // The unit's row keeps the value it got, whatever became of it.
  EXPECT_EQ(records->History({}, error).at(0).values, row.values);
  // A value given back is drawn again first.
  UnitRow next = Row("p");
  ASSERT_GT(records->BeginUnit(next, nullptr, pools, error), 0) << error;
  EXPECT_EQ(next.values.at(0).value, GetParam().after.free == 2 ? "v1" : "v2");
}

INSTANTIATE_TEST_SUITE_P(Ends, PoolEndTest,
                         ::testing::Values(EndCase{false, 205, 1, {1, 1, 0}}, EndCase{true, 205, 1, {1, 1, 0}},
                                           EndCase{false, 503, 0, {1, 0, 1}}, EndCase{true, 503, 0, {2, 0, 0}},
                                           EndCase{true, 130, 0, {1, 0, 1}}));

TEST(PoolTest, AnEmptyPoolOrAValueThatDoesNotFitBeginsNoUnitAndDrawsNothing) {
  testing::TempDir dir;
  std::string error;
  auto records = RunRecords::Open((dir.path() / "runs.db").string(), error);
  ASSERT_TRUE(records) << error;
  ASSERT_TRUE(records->ImportPool("mac", {{"bad", 2}, {"good", 3}}, error));
  ASSERT_TRUE(records->ImportPool("key", Listed(1), error));
  const SerialDraw draw = Draw(1);
  const auto good_only = [](const std::string& value) { return value != "bad"; };
  UnitRow row = Row("p");
  EXPECT_EQ(records->BeginUnit(row, &draw, {{"key", false, {}}, {"mac", false, good_only}}, error), kValueDoesNotFit);
  EXPECT_NE(error.find("bad"), std::string::npos);
  EXPECT_EQ(records->BeginUnit(row, &draw, {{"empty", false, {}}}, error), kPoolEmpty);
  EXPECT_EQ(error, "empty");
  EXPECT_TRUE(records->History({}, error).empty());
  EXPECT_EQ(records->CountPool("key", error)->free, 1);
  ASSERT_GT(records->BeginUnit(row, &draw, {{"key", false, {}}}, error), 0);
  EXPECT_EQ(row.serial_number, "1");
}

TEST(PoolTest, ConnectionsSharingOneDatabaseNeverDrawTheSameValue) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "runs.db").string();
  {
    std::string error;
    auto records = RunRecords::Open(path, error);
    ASSERT_TRUE(records && records->ImportPool("mac", Listed(60), error)) << error;
  }
  std::vector<std::string> values[3];
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::string error;
      auto records = RunRecords::Open(path, error);
      ASSERT_TRUE(records) << error;
      for (;;) {
        UnitRow row = Row("port" + std::to_string(t));
        const auto id = records->BeginUnit(row, nullptr, {{"mac", false, {}}}, error);
        if (id == kPoolEmpty) break;
        ASSERT_GT(id, 0) << error;
        values[t].push_back(row.values.at(0).value);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  for (const auto& list : values) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 60u);
  EXPECT_EQ(values[0].size() + values[1].size() + values[2].size(), 60u);
}

struct InstantCase {
  const char* text;
  const char* utc;  // null: refused
};

class UtcInstantTest : public ::testing::TestWithParam<InstantCase> {};

TEST_P(UtcInstantTest, ReadsIso8601) {
  const auto instant = UtcInstant(GetParam().text);
  if (GetParam().utc == nullptr) {
    EXPECT_FALSE(instant) << *instant;
  } else {
    EXPECT_EQ(instant.value_or("refused"), GetParam().utc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UtcInstantTest,
    ::testing::Values(InstantCase{"2026-12-08", "2026-12-08T00:00:00.000Z"},
                      InstantCase{"2026-12-08T06:00", "2026-12-08T06:00:00.000Z"},
                      InstantCase{"2026-12-08 06:00:30", "2026-12-08T06:00:30.000Z"},
                      InstantCase{"2026-12-08t06:00:30.25z", "2026-12-08T06:00:30.250Z"},
                      InstantCase{"2026-12-08T06:00Z", "2026-12-08T06:00:00.000Z"},
                      InstantCase{"2026-12-08T06:00+09:00", "2026-12-07T21:00:00.000Z"},
                      InstantCase{"2026-12-31T23:30-0100", "2027-01-01T00:30:00.000Z"},
                      InstantCase{"2024-02-29T00:00+01", "2024-02-28T23:00:00.000Z"},
                      InstantCase{"2026-02-29", nullptr}, InstantCase{"2026-13-01", nullptr},
                      InstantCase{"2026-12-08T24:00", nullptr}, InstantCase{"yesterday", nullptr},
                      InstantCase{"2026-12-08T06", nullptr}, InstantCase{"2026-12-08T06:00 UTC", nullptr},
                      InstantCase{"20261208", nullptr}, InstantCase{"", nullptr}));

}  // namespace
}  // namespace quillon::records
