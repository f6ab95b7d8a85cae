#include "station/run_records.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "testing/temp_dir.h"

namespace quillon::station {
namespace {

UnitRow Row(const std::string& port) {
  UnitRow row;
  row.station = "line-1";
  row.port = port;
  row.started_utc = UtcNow();
  row.update_file = "/tmp/u.mot";
  row.image_sha256 = std::string(64, 'a');
  row.boot_sha256 = std::string(64, 'b');
  row.quillon_version = "1.04";
  return row;
}

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
  later.since = "9999-01-01";
  EXPECT_TRUE(records->History(later, error).empty());
  EXPECT_EQ(records->After(1, 0, error).size(), 2u);
}

}  // namespace
}  // namespace quillon::station
