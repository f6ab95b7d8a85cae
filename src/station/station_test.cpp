// The station on fake devices: ports side by side, every event named by its port, a stop
// that leaves only its own record, warnings as events, and outputs that never hold a port.

#include "station/station.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "testing/fake_device.h"
#include "testing/srecord_text.h"
#include "testing/temp_dir.h"


namespace quillon::station {
namespace {

using ::testing::ElementsAre;
using testing::TempDir;

const std::string& kBoot = testing::kTwoByteBoot;
const std::string& kUpdate = testing::kTwoByteUpdate;

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.ProgramDir = dir_.path().string() + "/";
    settings_.InfoFile = "nivaload.sub";
    dir_.Write("nivaload.sub", kBoot);
    settings_.MotFile = dir_.Write("update.mot", kUpdate).string();
    settings_.SendWait = 0;
    testing::RecordingPrompt prompt;
    ASSERT_EQ(LoadUpdateFiles(settings_, {}, prompt, EventLog(dir_ / "q.sts"), files_), 0);
    events_.Subscribe([this](const Event& event) { seen_.push_back(event); });
  }
  PortJob Job(const std::string& name) {
    PortJob job;
    job.name = name;
    job.target.port_device = job.target.port_label = name;
    job.log_path = (dir_ / (name + ".sts")).string();
    return job;
  }
  // Each port gets a fake driver with a scripted device on a virtual clock of its own.
  PortPartsMaker Fakes(std::function<void(testing::UpdateDevice&)> script = {}) {
    return [this, script](const StopFlag&) {
      const std::lock_guard lock(mutex_);
      auto pause = std::make_unique<testing::FakePause>();
      auto driver = std::make_unique<testing::FakeCommDriver>();
      driver->clock = pause.get();
      devices_.push_back(std::make_unique<testing::UpdateDevice>());
      if (script) script(*devices_.back());
      devices_.back()->Attach(*driver, 2);
      return PortParts{std::move(driver), std::move(pause)};
    };
  }
  template <typename E>
  std::vector<E> Seen(const std::string& port) const {
    std::vector<E> some;
    for (const auto& event : seen_) {
      if (const auto* e = std::get_if<E>(&event)) {
        if constexpr (std::is_same_v<E, ResultEvent>) {
          if (e->result.port == port) some.push_back(*e);
        } else if constexpr (std::is_same_v<E, MessageEvent>) {
          if (e->port == port) some.push_back(*e);
        } else {
          if (e->port == port) some.push_back(*e);
        }
      }
    }
    return some;
  }

  TempDir dir_;
  UpdateSettings settings_;
  UpdateFiles files_;
  EventStream events_;
  std::vector<Event> seen_;  // written under the stream's lock
  std::mutex mutex_;
  std::vector<std::unique_ptr<testing::UpdateDevice>> devices_;
};

TEST_F(StationTest, PortsRunSideBySideAndEveryEventNamesItsPort) {
  StopFlag stop;
  const std::vector<PortJob> jobs{Job("A"), Job("B")};
  const auto results = RunPorts(jobs, settings_, files_, stop, events_, {}, Fakes());
  ASSERT_EQ(results.size(), 2u);
  for (const char* port : {"A", "B"}) {
    const auto& result = results[port[0] == 'A' ? 0 : 1];
    EXPECT_EQ(result.port, port);
    EXPECT_TRUE(result.ok()) << port << " " << result.id;
    EXPECT_GT(result.bytes, 0);
    const auto phases = Seen<PhaseEvent>(port);
    ASSERT_EQ(phases.size(), 2u);
    EXPECT_EQ(phases[0].transfer, Transfer::kBootProgram);
    EXPECT_EQ(phases[1].transfer, Transfer::kUpdate);
    // One progress event per chunk; the end of each phase says how far it got.
    const auto steps = Seen<ProgressEvent>(port);
    EXPECT_EQ(static_cast<int>(steps.size()), phases[0].total + phases[1].total);
    const auto ends = Seen<PhaseEndEvent>(port);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].done, phases[1].total);
    const auto messages = Seen<MessageEvent>(port);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].id, kMsgUpdateFinished);
    EXPECT_EQ(Seen<ResultEvent>(port).size(), 1u);
    EXPECT_TRUE(testing::LogMessages(dir_ / (std::string(port) + ".sts")).empty());
  }
}

TEST_F(StationTest, AStopLeavesOnlyItsOwnRecordAndNoMessage) {
  StopFlag stop;
  events_.Subscribe([&stop](const Event& event) {
    if (const auto* phase = std::get_if<PhaseEvent>(&event); phase && phase->transfer == Transfer::kUpdate) stop.Request();
  });
  const auto results = RunPorts({Job("A")}, settings_, files_, stop, events_, {}, Fakes());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].interrupted);
  EXPECT_TRUE(Seen<MessageEvent>("A").empty());
  EXPECT_THAT(testing::LogMessages(dir_ / "A.sts"), ElementsAre("INTERRUPTED"));
}

TEST_F(StationTest, ARecordTheLogCannotTakeIsAWarningWithTheRecord) {
  StopFlag stop;
  PortJob job = Job("A");
  std::filesystem::create_directories(job.log_path);  // a folder where the log should be
  const auto results = RunPorts({job}, settings_, files_, stop, events_, {},
                                Fakes([](testing::UpdateDevice& device) { device.bitrate_ack.clear(); }));
  EXPECT_EQ(results[0].id, kMsgDataSendFailed);
  const auto warnings = Seen<WarningEvent>("A");
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings[0].kind, WarningEvent::Kind::kLogUnwritten);
  EXPECT_EQ(warnings[0].path, job.log_path);
  EXPECT_THAT(warnings[0].record, ::testing::HasSubstr("Ack Error"));
}

// The units of a fixture test: begun while the count allows, each with the next id.
class CountingLoop final : public BoardLoop {
 public:
  CountingLoop(const StopFlag& stop, int units) : stop_(stop), units_(units) {}
  bool KeepGoing() const override { return !stop_.requested() && begun_ < units_; }
  UnitStart BeginUnit(const PortJob&, const std::optional<std::string>&) override {
    UnitStart unit;
    unit.started = true;
    unit.id = ++begun_;
    return unit;
  }
  bool EndUnit(const PortResult& result, const std::string& records, std::string&) override {
    ended.push_back(result);
    unit_records.push_back(records);
    return true;
  }
  std::vector<PortResult> ended;
  std::vector<std::string> unit_records;

 private:
  const StopFlag& stop_;
  int units_;
  int begun_ = 0;
};

// A chip in boot mode answers every probe's 0x55 with 0xAA; the boot program is never echoed,
// so each unit ends in 502. `silent_probe`: the probe (1-based) that finds the fixture empty
// (the board taken off and the next one put on); 0: the board stays. The station is stopped
// at the tenth probe.
PortPartsMaker BoardInBootMode(StopFlag& stop, int silent_probe, int& probes, std::string& line) {
  return [&stop, silent_probe, &probes, &line](const StopFlag&) {
    auto pause = std::make_unique<testing::FakePause>();
    auto driver = std::make_unique<testing::FakeCommDriver>();
    driver->clock = pause.get();
    driver->on_write = [&stop, silent_probe, &probes, &line, &driver = *driver](std::span<const std::uint8_t> bytes) {
      for (std::uint8_t byte : bytes) line.push_back(static_cast<char>(byte));
      if (bytes.size() != 1 || bytes[0] != 0x55) return;
      if (++probes == 10) stop.Request();
      if (probes != silent_probe) driver.arrivals.push_back({0xAA});
    };
    return PortParts{std::move(driver), std::move(pause)};
  };
}

TEST_F(StationTest, ABoardThatStaysIsNeverRunTwice) {
  StopFlag stop;
  CountingLoop loop(stop, 5);
  int probes = 0;
  std::string line;
  const PortCounts counts = RunBoards(Job("A"), settings_, files_, loop, stop, events_, BoardInBootMode(stop, 0, probes, line));
  EXPECT_EQ(probes, 10);
  ASSERT_EQ(loop.ended.size(), 1u);
  EXPECT_EQ(loop.ended[0].id, kMsgBootSendFailed);
  EXPECT_EQ(loop.ended[0].unit, 1);
  EXPECT_EQ(counts.failed, 1);
  EXPECT_EQ(Seen<BoardEvent>("A").size(), 1u);
  // The unit's own records are kept with it; the probes wrote none.
  EXPECT_THAT(loop.unit_records[0], ::testing::HasSubstr("SEND BOOT ERROR"));
  EXPECT_THAT(testing::LogMessages(dir_ / "A.sts"), ::testing::Each(::testing::Not(::testing::HasSubstr("INTERRUPTED"))));
  EXPECT_EQ(testing::LogMessages(dir_ / "A.sts").size(), 2u);
  // Every probe is the boot-mode entry: ten 0x00 and a 0x55.
  EXPECT_EQ(line.substr(0, 11), std::string(10, '\0') + "\x55");
}

TEST_F(StationTest, TheNextBoardRunsOnceAProbeHeardNothing) {
  StopFlag stop;
  CountingLoop loop(stop, 5);
  int probes = 0;
  std::string line;
  RunBoards(Job("A"), settings_, files_, loop, stop, events_, BoardInBootMode(stop, 2, probes, line));
  ASSERT_EQ(loop.ended.size(), 2u);
  EXPECT_EQ(loop.ended[1].unit, 2);
  const auto waiting = Seen<WaitingEvent>("A");
  EXPECT_EQ(waiting.size(), 3u);
}

TEST_F(StationTest, AFixtureWhoseAdapterWasPulledAndPluggedBackTakesTheNextBoard) {
  StopFlag stop;
  CountingLoop loop(stop, 2);
  int probes = 0, unplugged_opens = 0;
  std::string line;
  const auto in_boot_mode = BoardInBootMode(stop, 0, probes, line);
  RunBoards(Job("A"), settings_, files_, loop, stop, events_, [&](const StopFlag& s) {
    PortParts parts = in_boot_mode(s);
    auto& driver = static_cast<testing::FakeCommDriver&>(*parts.driver);
    auto answer = driver.on_write;
    // The second probe finds the adapter pulled; two opens fail, then it is back with a board on.
    driver.on_write = [&, answer](std::span<const std::uint8_t> bytes) {
      answer(bytes);
      if (probes == 2 && bytes.size() == 1 && bytes[0] == 0x55) {
        driver.line_gone = true;
        unplugged_opens = 2;
      }
    };
    driver.on_open = [&](const std::string&) {
      if (unplugged_opens > 0) return --unplugged_opens, false;
      driver.line_gone = false;
      return true;
    };
    return parts;
  });
  ASSERT_EQ(loop.ended.size(), 2u);
  EXPECT_EQ(loop.ended[1].unit, 2);
  const auto waiting = Seen<WaitingEvent>("A");
  EXPECT_TRUE(std::any_of(waiting.begin(), waiting.end(), [](const WaitingEvent& w) { return w.missing; }));
}

TEST_F(StationTest, NoUnitBeginsPastTheCount) {
  StopFlag stop;
  CountingLoop loop(stop, 1);
  int probes = 0;
  std::string line;
  RunBoards(Job("A"), settings_, files_, loop, stop, events_, BoardInBootMode(stop, 2, probes, line));
  EXPECT_EQ(loop.ended.size(), 1u);
  EXPECT_EQ(probes, 1);
}

// Every probe's 0x55 is answered with 0xAA: a board in boot mode that never leaves.
PortPartsMaker AlwaysInBootMode() {
  return [](const StopFlag&) {
    auto pause = std::make_unique<testing::FakePause>();
    auto driver = std::make_unique<testing::FakeCommDriver>();
    driver->clock = pause.get();
    driver->on_write = [&driver = *driver](std::span<const std::uint8_t> bytes) {
      if (bytes.size() == 1 && bytes[0] == 0x55) driver.arrivals.push_back({0xAA});
    };
    return PortParts{std::move(driver), std::move(pause)};
  };
}

// Eight ports whose boards all answer at once race for the last units: never one more.
TEST_F(StationTest, PortsRacingForTheLastUnitsNeverBeginMoreThanTheCount) {
  for (int round = 0; round < 5; ++round) {
    std::vector<PortJob> jobs;
    for (char name = 'A'; name < 'I'; ++name) jobs.push_back(Job(std::string(1, name)));
    StationPlan plan;
    plan.units = 3;
    StopFlag stop;
    seen_.clear();
    const StationOutcome outcome = RunStation(jobs, settings_, files_, plan, stop, events_, {}, AlwaysInBootMode());
    EXPECT_EQ(outcome.failed, 3);
    EXPECT_EQ(std::count_if(seen_.begin(), seen_.end(),
                            [](const Event& e) { return std::holds_alternative<BoardEvent>(e); }),
              3);
  }
}

// Run records kept in memory that refuse to complete a row as a database locked by another
// program does: `refusals` times, then they take it (-1: never). Every call is noted in order.
class LockedRecords final : public RunRecords {
 public:
  explicit LockedRecords(int refusals, std::function<void()> on_refusal = {})
      : refusals_(refusals), on_refusal_(std::move(on_refusal)) {}
  std::int64_t BeginUnit(UnitRow& row, const SerialDraw*, const std::vector<records::PoolDraw>&, std::string&) override {
    row.id = static_cast<std::int64_t>(rows_.size()) + 1;
    rows_[row.id] = row;
    calls.push_back("begin " + std::to_string(row.id));
    return row.id;
  }
  bool EndUnit(const UnitRow& row, std::string& error) override {
    if (refusals_ != 0) {
      if (refusals_ > 0) --refusals_;
      calls.push_back("refused " + std::to_string(row.id));
      error = "database is locked";
      if (on_refusal_) on_refusal_();
      return false;
    }
    calls.push_back("end " + std::to_string(row.id));
    rows_[row.id] = row;
    return true;
  }
  std::vector<UnitRow> History(const records::HistoryFilter&, std::string&) override {
    std::vector<UnitRow> rows;
    for (const auto& [id, row] : rows_) rows.insert(rows.begin(), row);
    return rows;
  }
  std::vector<UnitRow> After(std::int64_t, int, std::string&) override { return {}; }
  std::vector<UnitRow> Finished(std::int64_t, int, std::string&) override { return {}; }
  std::optional<std::uint64_t> CounterNext(const std::string&, std::string&) override { return std::nullopt; }
  bool StillAtPath(std::string&) const override { return true; }

  std::vector<std::string> calls;

 private:
  std::map<std::int64_t, UnitRow> rows_;
  int refusals_;
  std::function<void()> on_refusal_;
};

// A unit's result is kept while the database is locked; the fixture takes its next board only
// once the row is written, and says why it waits.
TEST_F(StationTest, ARowTheDatabaseRefusesIsKeptAndWrittenBeforeTheNextBoard) {
  std::string error;
  LockedRecords records(3);
  StationPlan plan;
  plan.units = 2;
  plan.records = &records;
  plan.records_name = "runs.db";
  StopFlag stop;
  int probes = 0;
  std::string line;
  const auto outcome =
      RunStation({Job("A")}, settings_, files_, plan, stop, events_, {}, BoardInBootMode(stop, 2, probes, line));
  EXPECT_THAT(records.calls, ElementsAre("begin 1", "refused 1", "refused 1", "refused 1", "end 1", "begin 2", "end 2"));
  EXPECT_EQ(outcome.unwritten, 0);
  const auto warnings = Seen<WarningEvent>("A");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].kind, WarningEvent::Kind::kRowWaiting);
  EXPECT_EQ(warnings[0].record, "database is locked");
  const auto rows = records.History({}, error);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].result && rows[1].result);
}

// A lock that never goes: the station, once stopped, tries the kept row once more and says
// that it is lost to the records; the row stays INCOMPLETE, never wrong.
TEST_F(StationTest, ARowThatCanNeverBeWrittenIsCountedAndSaid) {
  std::string error;
  StopFlag stop;
  int refused = 0;
  LockedRecords records(-1, [&] {
    if (++refused == 4) stop.Request();
  });
  StationPlan plan;
  plan.units = 2;
  plan.records = &records;
  int probes = 0;
  std::string line;
  const auto outcome =
      RunStation({Job("A")}, settings_, files_, plan, stop, events_, {}, BoardInBootMode(stop, 2, probes, line));
  EXPECT_EQ(outcome.unwritten, 1);
  EXPECT_EQ(std::count(records.calls.begin(), records.calls.end(), "begin 1"), 1);
  EXPECT_EQ(std::count(records.calls.begin(), records.calls.end(), "begin 2"), 0);
  EXPECT_EQ(Seen<WarningEvent>("A").size(), 2u);
  const auto rows = records.History({}, error);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].result);
}

struct PerPortCase {
  std::string log, device, expected;
};

class PerPortFileTest : public ::testing::TestWithParam<PerPortCase> {};

TEST_P(PerPortFileTest, BesideTheLogNamedAfterTheDevice) {
  EXPECT_EQ(std::filesystem::path(PerPortFile(GetParam().log, GetParam().device)),
            std::filesystem::path(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Names, PerPortFileTest,
    ::testing::Values(PerPortCase{"/var/log/quillon.sts", "/dev/ttyUSB0", "/var/log/quillon-ttyUSB0.sts"},
                      PerPortCase{"/l/quillon.sts", "\\\\.\\COM3", "/l/quillon-COM3.sts"},
                      PerPortCase{"/l/q.sts", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                                  "/l/q-pci-0000_00_14.0-usb-0_2_1.0-port0.sts"},
                      PerPortCase{"/l/trace.txt", "/dev/tty USB\n1", "/l/trace-tty_USB_1.txt"}));


}  // namespace
}  // namespace quillon::station
