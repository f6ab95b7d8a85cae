#include "records/delivery.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "records/test_unit_row.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace quillon::records {
namespace {

UnitRow Row(const std::string& port) { return TestRow(port, "line 1/a"); }

class ManualClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = RunRecords::Open(db(), error_);
    ASSERT_TRUE(records_) << error_;
  }
  std::string db() const { return (dir_.path() / "runs.db").string(); }
  std::int64_t Begin(const std::string& port = "p") {
    UnitRow row = Row(port);
    EXPECT_GT(records_->BeginUnit(row, nullptr, error_), 0) << error_;
    rows_[row.id] = row;
    return row.id;
  }
  void End(std::int64_t id, int result = 205) {
    UnitRow row = rows_[id];
    row.ended_utc = UtcNow();
    row.result = result;
    row.ok = result == 205 ? 1 : 0;
    ASSERT_TRUE(records_->EndUnit(row, error_)) << error_;
  }
  std::vector<std::int64_t> Ids(const std::vector<UnitRow>& rows) const {
    std::vector<std::int64_t> ids;
    for (const auto& row : rows) ids.push_back(row.id);
    return ids;
  }
  std::vector<std::int64_t> Waiting(const std::string& output) {
    std::vector<std::int64_t> ids;
    for (const auto& delivery : records_->ToDeliver(output, 100, error_)) ids.push_back(delivery.row.id);
    return ids;
  }

  testing::TempDir dir_;
  std::string error_;
  std::unique_ptr<RunRecords> records_;
  std::map<std::int64_t, UnitRow> rows_;
};

// Units that end out of the order they began are listed, and delivered, in the order they
// ended; a collector that read up to a completion number misses none of the later ones.
TEST_F(DeliveryTest, UnitsAreNumberedAndDeliveredInTheOrderTheyEnded) {
  ASSERT_TRUE(records_->UseOutputs({"upload", "drop-folder"}, error_)) << error_;
  const auto first = Begin("a"), second = Begin("b"), third = Begin("c");
  End(second);
  EXPECT_EQ(Ids(records_->Finished(0, 0, error_)), (std::vector<std::int64_t>{second}));
  End(third, 503);
  End(first);
  const auto all = records_->Finished(0, 0, error_);
  EXPECT_EQ(Ids(all), (std::vector<std::int64_t>{second, third, first}));
  EXPECT_EQ(all[0].seq, 1);
  EXPECT_EQ(all[2].seq, 3);
  EXPECT_EQ(Ids(records_->Finished(1, 0, error_)), (std::vector<std::int64_t>{third, first}));
  EXPECT_EQ(Ids(records_->Finished(1, 1, error_)), (std::vector<std::int64_t>{third}));
  EXPECT_EQ(Waiting("upload"), (std::vector<std::int64_t>{second, third, first}));
  EXPECT_EQ(Waiting("drop-folder"), (std::vector<std::int64_t>{second, third, first}));

  // One output takes two; the other is untouched.
  ASSERT_TRUE(records_->Delivered({second, third}, "upload", error_)) << error_;
  EXPECT_EQ(Waiting("upload"), (std::vector<std::int64_t>{first}));
  EXPECT_EQ(Waiting("drop-folder").size(), 3u);
  // A refusal that needs a person takes the unit out of the queue, counted apart.
  ASSERT_TRUE(records_->NotDelivered(first, "upload", "HTTP 422: no serial", true, error_));
  EXPECT_TRUE(Waiting("upload").empty());
  EXPECT_EQ(records_->OutputWaiting("upload", error_), (OutputCount{0, std::nullopt, 1}));
  EXPECT_EQ(records_->OutputWaiting("drop-folder", error_).waiting, 3);
  const auto undelivered = records_->Undelivered(error_);
  ASSERT_EQ(undelivered.size(), 4u);
  const auto stopped = std::find_if(undelivered.begin(), undelivered.end(), [](const auto& row) { return row.stopped; });
  ASSERT_NE(stopped, undelivered.end());
  EXPECT_EQ(stopped->unit, first);
  EXPECT_EQ(stopped->attempts, 1);
  EXPECT_EQ(stopped->last_error, "HTTP 422: no serial");

  // Queued again: back in the queue, from its first try.
  ASSERT_TRUE(records_->Redeliver({first}, error_)) << error_;
  EXPECT_EQ(Waiting("upload"), (std::vector<std::int64_t>{first}));
  EXPECT_EQ(records_->ToDeliver("upload", 1, error_)[0].attempts, 0);
}

TEST_F(DeliveryTest, RedeliveryIsAllOrNothing) {
  ASSERT_TRUE(records_->UseOutputs({}, error_));
  const auto ended = Begin();
  End(ended);
  // No output has ever been used with these records.
  EXPECT_FALSE(records_->Redeliver({ended}, error_));
  EXPECT_NE(error_.find("never been delivered"), std::string::npos) << error_;

  ASSERT_TRUE(records_->UseOutputs({"upload"}, error_));
  const auto delivered = Begin();
  End(delivered);
  ASSERT_TRUE(records_->Delivered({delivered}, "upload", error_));
  const auto running = Begin();
  error_.clear();
  EXPECT_FALSE(records_->Redeliver({delivered, running}, error_));
  EXPECT_NE(error_.find("has not ended"), std::string::npos) << error_;
  EXPECT_FALSE(records_->Redeliver({delivered, 999}, error_));
  EXPECT_NE(error_.find("no unit 999"), std::string::npos) << error_;
  EXPECT_TRUE(Waiting("upload").empty());  // neither refusal queued anything

  // A unit delivered before, and one that ended before the output was used, both go again.
  ASSERT_TRUE(records_->Redeliver({delivered, ended}, error_)) << error_;
  EXPECT_EQ(Waiting("upload"), (std::vector<std::int64_t>{ended, delivered}));
}

// A unit whose process was killed never ends: the next process that delivers finds it and
// sends it as it is, once; a unit of a process still running is left alone.
TEST_F(DeliveryTest, AUnitLeftByAKilledProcessIsFoundAndDeliveredIncomplete) {
  const auto killed = Begin("killed"), alive = Begin("alive");
  const pid_t gone = testing::Spawn({"/bin/true"}, dir_.path() / "o", dir_.path() / "e");
  testing::Wait(gone);
  ASSERT_EQ(testing::RunShell("sqlite3 '" + db() + "' 'UPDATE units SET holder = " + std::to_string(gone) +
                              " WHERE id = " + std::to_string(killed) + "; UPDATE units SET holder = 1 WHERE id = " +
                              std::to_string(alive) + "'"),
            0);
  ASSERT_TRUE(records_->UseOutputs({"upload"}, error_)) << error_;
  const auto found = records_->Finished(0, 0, error_);
  ASSERT_EQ(Ids(found), (std::vector<std::int64_t>{killed}));
  EXPECT_FALSE(found[0].result);
  EXPECT_EQ(Waiting("upload"), (std::vector<std::int64_t>{killed}));
  // Found once: a later process does not number or queue it again.
  ASSERT_TRUE(records_->Delivered({killed}, "upload", error_));
  ASSERT_TRUE(records_->UseOutputs({"upload"}, error_));
  EXPECT_EQ(records_->Finished(0, 0, error_).size(), 1u);
  EXPECT_TRUE(Waiting("upload").empty());
}

// A database of an earlier version gets completion numbers for the units that had ended, in the
// order they ended.
TEST(DeliveryUpgradeTest, UnitsThatEndedBeforeAreNumberedInTheOrderTheyEnded) {
  testing::TempDir dir;
  const std::string db = (dir.path() / "runs.db").string();
  ASSERT_EQ(testing::RunShell(
                "sqlite3 '" + db +
                "' \"CREATE TABLE units (id INTEGER PRIMARY KEY, station TEXT NOT NULL, port TEXT NOT NULL, adapter TEXT, "
                "operator TEXT, started_utc TEXT NOT NULL, ended_utc TEXT, seconds REAL, update_file TEXT NOT NULL, "
                "image_sha256 TEXT NOT NULL, boot_sha256 TEXT NOT NULL, serial_number TEXT, bytes_sent INTEGER NOT NULL "
                "DEFAULT 0, result INTEGER, ok INTEGER NOT NULL DEFAULT 0, stop_phase TEXT, stop_block INTEGER, "
                "stop_chunk INTEGER, records TEXT NOT NULL DEFAULT '', quillon_version TEXT NOT NULL); "
                "INSERT INTO units (id, station, port, started_utc, ended_utc, update_file, image_sha256, boot_sha256, "
                "result, quillon_version) VALUES (1, 's', 'a', '2026-01-01T00:00:00Z', '2026-01-01T00:09:00Z', 'u', 'x', "
                "'y', 205, '1'), (2, 's', 'b', '2026-01-01T00:01:00Z', '2026-01-01T00:02:00Z', 'u', 'x', 'y', 503, '1'), "
                "(3, 's', 'c', '2026-01-01T00:03:00Z', NULL, 'u', 'x', 'y', NULL, '1')\""),
            0);
  std::string error;
  // A reader of the old file sees no completion numbers yet, and is not refused.
  auto old = RunRecords::OpenToRead(db, error);
  ASSERT_TRUE(old) << error;
  EXPECT_TRUE(old->Finished(0, 0, error).empty());
  EXPECT_TRUE(old->Undelivered(error).empty());
  EXPECT_TRUE(error.empty()) << error;
  auto records = RunRecords::Open(db, error);
  ASSERT_TRUE(records) << error;
  const auto rows = records->Finished(0, 0, error);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].id, 2);
  EXPECT_EQ(rows[0].seq, 1);
  EXPECT_EQ(rows[1].id, 1);
  EXPECT_EQ(rows[1].seq, 2);
}

// An output that answers as a script says, and notes every send.
class ScriptedOutput final : public Output {
 public:
  explicit ScriptedOutput(std::deque<SendOutcome> script) : script_(std::move(script)) {}
  std::string Name() const override { return "upload"; }
  std::string Where() const override { return "https://mes.example/units"; }
  SendOutcome Send(const UnitRow& row, const std::string& key, const std::string& body) override {
    sent.push_back({row.id, key, body});
    if (script_.empty()) return {};
    auto outcome = script_.front();
    script_.pop_front();
    return outcome;
  }
  struct Sent {
    std::int64_t unit;
    std::string key, body;
  };
  std::vector<Sent> sent;

 private:
  std::deque<SendOutcome> script_;
};

SendOutcome Retry(std::optional<std::chrono::seconds> after = std::nullopt) {
  return {SendOutcome::Kind::kRetry, "HTTP 503", after};
}

// The link sends in order, waits longer after each failure (or as long as the output asks),
// skips a unit refused for good, and keeps each unit's key on every try.
TEST_F(DeliveryTest, TheLinkRetriesInOrderWithBackoffAndSkipsARefusedUnit) {
  ASSERT_TRUE(records_->UseOutputs({"upload"}, error_));
  const auto a = Begin(), b = Begin(), c = Begin();
  End(a);
  End(b);
  End(c);
  auto scripted = std::make_unique<ScriptedOutput>(std::deque<SendOutcome>{
      Retry(), Retry(), {}, Retry(std::chrono::seconds(7)), {SendOutcome::Kind::kNeedsPerson, "HTTP 400: bad", {}}, {}});
  auto* output = scripted.get();
  ManualClock clock;
  DeliveryLink link(*records_, std::move(scripted), "uuid", [](const UnitRow& row, const std::string& key) {
    return std::to_string(row.id) + "/" + key;
  }, clock);
  using std::chrono::milliseconds;
  EXPECT_FALSE(link.Step());  // a: 503
  EXPECT_TRUE(link.State().failing);
  EXPECT_EQ(link.State().count.waiting, 3);
  EXPECT_FALSE(link.Step());  // too soon: nothing sent
  EXPECT_EQ(output->sent.size(), 1u);
  clock.now += milliseconds(500);
  EXPECT_FALSE(link.Step());  // a: 503 again; the wait doubles
  clock.now += milliseconds(999);
  link.Step();
  EXPECT_EQ(output->sent.size(), 2u);
  clock.now += milliseconds(1);
  EXPECT_FALSE(link.Step());  // a taken, b: 503 with Retry-After: 7
  EXPECT_EQ(output->sent.size(), 4u);
  EXPECT_EQ(link.State().count.waiting, 2);
  clock.now += milliseconds(6999);
  link.Step();
  EXPECT_EQ(output->sent.size(), 4u);
  clock.now += milliseconds(1);
  EXPECT_TRUE(link.Step());  // b refused for good: the next goes at once
  EXPECT_FALSE(link.State().failing);
  EXPECT_EQ(link.State().error, "HTTP 400: bad");
  EXPECT_EQ(link.State().count.stopped, 1);
  EXPECT_FALSE(link.Step());  // c taken
  EXPECT_TRUE(link.AllDelivered());
  EXPECT_EQ(link.State().count, (OutputCount{0, std::nullopt, 1}));
  std::vector<std::int64_t> order;
  for (const auto& sent : output->sent) {
    order.push_back(sent.unit);
    EXPECT_EQ(sent.key, IdempotencyKey("uuid", sent.unit));
    EXPECT_EQ(sent.body, std::to_string(sent.unit) + "/" + sent.key);
  }
  EXPECT_EQ(order, (std::vector<std::int64_t>{a, a, a, b, b, c}));
}

// The drop folder: one whole file per unit under the station's name made safe for any file
// system; a second delivery replaces the file.
TEST_F(DeliveryTest, TheDropFolderWritesOneWholeFilePerUnit) {
  EXPECT_EQ(DropFileName("line 1/a", 7), "line_1_a-7.json");
  EXPECT_EQ(DropFileName("..", 7), "station..-7.json");
  EXPECT_EQ(DropFileName("", 7), "station-7.json");
  auto folder = MakeDropFolder(dir_.path().string(), "line 1/a");
  UnitRow row = Row("p");
  row.id = 7;
  EXPECT_EQ(folder->Send(row, "k", "{\"first\":1}").kind, SendOutcome::Kind::kDelivered);
  EXPECT_EQ(folder->Send(row, "k", "{\"second\":2}").kind, SendOutcome::Kind::kDelivered);
  EXPECT_EQ(testing::ReadFileBytes(dir_.path() / "line_1_a-7.json"), "{\"second\":2}");
  auto missing = MakeDropFolder((dir_.path() / "gone").string(), "s");
  const auto outcome = missing->Send(row, "k", "{}");
  EXPECT_EQ(outcome.kind, SendOutcome::Kind::kRetry);
  EXPECT_FALSE(outcome.error.empty());
}

}  // namespace
}  // namespace quillon::records
