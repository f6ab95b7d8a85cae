// quillon-cli station against quillon-devsim fixtures that serve board after board: the run
// records, the serial numbers in each board's flash, a fault, a killed station, the records read
// back by tools outside the project (sqlite3, its CSV reader; srec_cat for the image).

#include "station_harness.h"

namespace quillon {
namespace {

using StationE2eTest = StationHarness;

TEST_F(StationE2eTest, TwoFixturesSixBoardsSixRowsAndEachNumberOnExactlyOneBoard) {
  const pid_t a = StartFixture("fa", {"--boards", "3"});
  const pid_t b = StartFixture("fb", {"--boards", "3"});
  const int status = Wait(StartStation({"--port", Port("fa"), "--port", Port("fb"), "--units", "6", "--serial-number",
                                        "0x3FF00:be32", "--first-serial", "1000", "--operator", "Aiko"}));
  EXPECT_EQ(status, 0) << ReadFileBytes(dir_.path() / "cli.err");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Finish(b), 0);

  EXPECT_EQ(Sql("SELECT count(*), sum(ok), min(serial_number), max(serial_number), count(DISTINCT serial_number), "
                "min(result), max(result), count(DISTINCT port) FROM units"),
            "6|6|1000|1005|6|205|205|2\n");
  EXPECT_EQ(Sql("SELECT DISTINCT operator, image_sha256 FROM units"),
            "Aiko|" + Sql("SELECT image_sha256 FROM units LIMIT 1").substr(0, 64) + "\n");
  std::set<std::uint32_t> stamped;
  for (const char* fixture : {"fa", "fb"}) {
    for (int board = 1; board <= 3; ++board) {
      std::string flash = ReadFileBytes(dir_.path() / (std::string(fixture) + ".bin." + std::to_string(board)));
      ASSERT_EQ(flash.size(), 0x40000u);
      stamped.insert(StampAt(flash));
      // Apart from its number, every board holds the update file's image.
      flash.replace(0x3FF00, 4, "\xFF\xFF\xFF\xFF");
      EXPECT_TRUE(flash == image_) << fixture << " board " << board;
    }
  }
  EXPECT_EQ(stamped, (std::set<std::uint32_t>{1000, 1001, 1002, 1003, 1004, 1005}));

  // Every unit's events carry its id; the summary counts the units.
  const auto events = Events();
  int boards = 0, results = 0;
  for (const auto& e : events) {
    if (e["event"] == "board") ++boards;
    if (e["event"] == "result") {
      ++results;
      EXPECT_TRUE(e.contains("unit"));
    }
    if (e["event"] == "progress") {
      EXPECT_TRUE(e.contains("unit"));
    }
  }
  EXPECT_EQ(boards, 6);
  EXPECT_EQ(results, 6);
  // The start said what the station would do.
  const auto ready = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.value("kind", "") == "station-ready"; });
  ASSERT_NE(ready, events.end());
  EXPECT_EQ((*ready)["next_serial"], 1000);
  EXPECT_EQ((*ready)["serial_counter"], "default");
  EXPECT_EQ((*ready)["boot"], kBoot);
  EXPECT_EQ((*ready)["operator"], "Aiko");
  EXPECT_EQ((*ready)["image_sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ((*ready)["pinned"], false);
  EXPECT_EQ(events.back()["event"], "summary");
  EXPECT_EQ(events.back()["passed"], 6);
  EXPECT_EQ(events.back()["exit"], 0);

  // history --csv, read back by sqlite3's own CSV reader: the columns, in their order.
  ASSERT_EQ(RunShell("'" QUILLON_CLI "' history --record '" + db() + "' --csv > '" + (dir_.path() / "h.csv").string() +
                     "'"),
            0);
  const std::string read_back = (dir_.path() / "back.db").string();
  ASSERT_EQ(RunShell("sqlite3 '" + read_back + "' '.import --csv " + (dir_.path() / "h.csv").string() + " h'"), 0);
  const auto out = dir_.path() / "cols.out";
  ASSERT_EQ(RunShell("sqlite3 '" + read_back + "' \"SELECT group_concat(name, ',') FROM pragma_table_info('h'); "
                     "SELECT count(*), min(serial_number), group_concat(DISTINCT serial_counter) FROM h\" > '" +
                     out.string() + "'"),
            0);
  EXPECT_EQ(ReadFileBytes(out),
            "id,station,port,adapter,operator,started_utc,ended_utc,seconds,update_file,image_sha256,boot_sha256,"
            "serial_number,bytes_sent,result,ok,stop_phase,stop_block,stop_chunk,records,quillon_version,"
            "serial_counter,serial_reused_by\n6|1000|default\n");
}

// Two stations (two processes) share one database; one fixture's first board goes silent in
// the transfer: its row failed, and the next board on that fixture still runs.
TEST_F(StationE2eTest, AFaultyBoardFailsItsRowAndTwoProcessesNeverShareANumber) {
  const pid_t a = StartFixture("fa", {"--boards", "2", "--silent-after-chunk", "3", "--fault-board", "1"});
  const pid_t b = StartFixture("fb", {"--boards", "2"});
  const pid_t first = StartStation({"--port", Port("fa"), "--units", "2", "--serial-number", "0x3FF00:be32"}, "one");
  const pid_t second = StartStation({"--port", Port("fb"), "--units", "2", "--serial-number", "0x3FF00:be32"}, "two");
  EXPECT_EQ(Wait(first), 17);
  EXPECT_EQ(Wait(second), 0);
  Finish(a);
  Finish(b);
  EXPECT_EQ(Sql("SELECT count(*), count(DISTINCT serial_number), min(serial_number), max(serial_number) FROM units"),
            "4|4|1|4\n");
  EXPECT_EQ(Sql("SELECT result, ok, stop_phase, stop_block, stop_chunk, records <> '' FROM units WHERE port = '" +
                Port("fa") + "' ORDER BY id"),
            "503|0|transfer|0|3|1\n205|1||||0\n");
  EXPECT_EQ(StampAt(ReadFileBytes(dir_.path() / "fa.bin.2")),
            std::stoul(Sql("SELECT serial_number FROM units WHERE port = '" + Port("fa") + "' AND ok = 1")));
  // The failed unit says what the operator does next: the fix, the half-written board, its number.
  const auto events = Events("one");
  const auto failed = std::find_if(events.begin(), events.end(),
                                   [](const nlohmann::json& e) { return e.at("event") == "result" && e.at("ok") == false; });
  ASSERT_NE(failed, events.end());
  const std::string next = failed->at("next");
  EXPECT_NE(next.find("Check the connection"), std::string::npos) << next;
  EXPECT_NE(next.find("run the board again (its flash is half written)"), std::string::npos) << next;
  EXPECT_NE(next.find("its serial number " + failed->at("serial_number").get<std::string>() + " is spent"),
            std::string::npos)
      << next;
}

// A chip that echoes the start bytes while it adjusts its rate and answers late: the station
// takes it as flash does, and never sends the next probe's start bytes into it.
class StationSlowStartTest : public StationE2eTest, public ::testing::WithParamInterface<int> {};

TEST_P(StationSlowStartTest, ALateAnswerWithinTheUpdatesAnswerTimeIsABoard) {
  // A small update (256 bytes of block 0): the time goes into the chip's late answer.
  ASSERT_EQ(RunShell("cd '" + dir_.path().string() + "' && srec_cat data.bin -binary -crop 0 0x100 -o update.mot "
                     "-motorola -address-length=4 -disable=data-count -crlf >/dev/null 2>&1 && srec_cat update.mot "
                     "-fill 0xFF 0 0x40000 -crop 0 0x40000 -o image.bin -binary"),
            0);
  image_ = ReadFileBytes(dir_.path() / "image.bin");
  const std::string late = std::to_string(GetParam());
  const pid_t a = StartFixture("fa", {"--slow-start", late});
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--units", "1"})), 0) << ReadFileBytes(dir_.path() / "cli.err");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Sql("SELECT result, ok FROM units"), "205|1\n");
  EXPECT_TRUE(ReadFileBytes(dir_.path() / "fa.bin") == image_);

  const pid_t b = StartFixture("fb", {"--slow-start", late});
  EXPECT_EQ(Wait(Spawn({QUILLON_CLI, "flash", "--yes", "--baud", "115200", "--port", Port("fb"), "--boot", kBoot,
                        "--log", (dir_.path() / "q.sts").string(), update_},
                       dir_.path() / "flash.out", dir_.path() / "flash.err")),
            0)
      << ReadFileBytes(dir_.path() / "flash.err");
  EXPECT_EQ(Finish(b), 0);
}

INSTANTIATE_TEST_SUITE_P(AnswerAfter, StationSlowStartTest, ::testing::Values(1200, 3300));

// The records' file deleted under a running station: it takes no more boards, says so on its
// output and exits with the status of records that cannot be kept.
TEST_F(StationE2eTest, RecordsDeletedUnderARunningStationStopItWithStatus20) {
  const pid_t a = StartFixture("fa", {"--boards", "3"});
  const pid_t station = StartStation({"--port", Port("fa"), "--units", "3"});
  for (int i = 0; i < 600 && ReadFileBytes(dir_.path() / "cli.out").find("\"result\"") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::filesystem::rename(db(), dir_.path() / "elsewhere.db");
  EXPECT_EQ(Wait(station), 20) << ReadFileBytes(dir_.path() / "cli.err");
  Stop(a);
  EXPECT_NE(ReadFileBytes(dir_.path() / "cli.err").find("deleted or moved away"), std::string::npos);
  int halts = 0, boards = 0;
  for (const auto& e : Events()) {
    if (e["event"] == "halt") {
      ++halts;
      EXPECT_EQ(e["reason"], "records-moved");
    }
    if (e["event"] == "board") ++boards;
  }
  EXPECT_EQ(halts, 1);
  EXPECT_EQ(boards, 1);
}

// A counter that runs past what the stamp holds during the shift: the board that would need the
// number is not taken, the station says why on every surface and exits 21, not "wrong usage".
TEST_F(StationE2eTest, SerialNumbersRunningOutOfTheStampStopTheStationWithStatus21) {
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  const pid_t station = StartStation({"--port", Port("fa"), "--units", "2", "--serial-number", "0x3FF00:be16",
                                      "--serial-counter", "short", "--first-serial", "65535"});
  EXPECT_EQ(Wait(station), 21) << ReadFileBytes(dir_.path() / "cli.err");
  Stop(a);
  EXPECT_NE(ReadFileBytes(dir_.path() / "cli.err").find("does not fit the stamp's format"), std::string::npos);
  int halts = 0, boards = 0, notices = 0;
  for (const auto& e : Events()) {
    if (e["event"] == "halt") {
      ++halts;
      EXPECT_EQ(e["reason"], "serial-does-not-fit");
    }
    if (e["event"] == "notice" && e["kind"] == "station-halted") {
      ++notices;
      EXPECT_EQ(e["level"], "error");
      EXPECT_EQ(e["reason"], "serial-does-not-fit");
    }
    if (e["event"] == "board") ++boards;
  }
  EXPECT_EQ(halts, 1);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(boards, 1);
  EXPECT_EQ(Sql("SELECT serial_number, ok FROM units"), "65535|1\n");
}

// Values that can only be mistakes are wrong usage before any board is taken: exit 2 with the
// reason, nothing sent.
struct BadValueCase {
  const char* name;
  std::vector<std::string> args;  // "{port}", "{db}" and "{update}" are filled in
  const char* said;
};

class StationBadValueTest : public StationE2eTest, public ::testing::WithParamInterface<BadValueCase> {};

TEST_P(StationBadValueTest, IsWrongUsage) {
  // Records with counter "default" at 1004 and counter "small" past what be16 holds.
  ASSERT_TRUE(MakeRecords("CREATE TABLE serial_counters (name TEXT PRIMARY KEY, next INTEGER NOT NULL); "
                          "INSERT INTO serial_counters VALUES ('default', 1004), ('small', 65536)"));
  dir_.Write("not-records.txt", "id,port\n1,a\n");
  const pid_t a = StartFixture("fa", {});
  std::vector<std::string> args{QUILLON_CLI};
  for (std::string arg : GetParam().args) {
    if (arg == "{port}") arg = Port("fa");
    if (arg == "{db}") arg = db();
    if (arg == "{update}") arg = update_;
    if (arg == "{text}") arg = (dir_.path() / "not-records.txt").string();
    args.push_back(arg);
  }
  if (args[1] != "history") {
    const std::vector<std::string> files{"--boot", kBoot, "--ini", (dir_.path() / "q.ini").string(), "--log",
                                         (dir_.path() / "q.sts").string()};
    args.insert(args.end() - 1, files.begin(), files.end());
  }
  EXPECT_EQ(Wait(Spawn(args, dir_.path() / "cli.out", dir_.path() / "cli.err")), 2);
  EXPECT_NE(ReadFileBytes(dir_.path() / "cli.err").find(GetParam().said), std::string::npos)
      << ReadFileBytes(dir_.path() / "cli.err");
  Stop(a);
}

INSTANTIATE_TEST_SUITE_P(
    Values, StationBadValueTest,
    ::testing::Values(
        BadValueCase{"EmptyPort", {"station", "--port", "", "{update}"}, "--port: is empty"},
        BadValueCase{"FlashEmptyPort", {"flash", "--yes", "--port", "", "{update}"}, "--port: is empty"},
        BadValueCase{"EmptyStamp", {"station", "--port", "{port}", "--serial-number", "", "{update}"}, "is empty"},
        BadValueCase{"EmptyHash", {"station", "--port", "{port}", "--expect-sha256", "", "{update}"}, "not a SHA-256"},
        BadValueCase{"ShortHash", {"flash", "--yes", "--port", "{port}", "--expect-sha256", "abc123", "{update}"},
                     "not a SHA-256"},
        BadValueCase{"EmptyCounter", {"station", "--port", "{port}", "--serial-counter", "", "{update}"}, "is empty"},
        BadValueCase{"EmptyRecord", {"station", "--port", "{port}", "--record", "", "{update}"}, "is empty"},
        BadValueCase{"NoUnits", {"station", "--port", "{port}", "--units", "0", "{update}"}, "at least 1"},
        BadValueCase{"ProbeWaitZero", {"station", "--port", "{port}", "--probe-wait", "0", "{update}"},
                     "--probe-wait"},
        BadValueCase{"NegativeFirstSerial",
                     {"station", "--port", "{port}", "--record", "{db}", "--serial-number", "0x3FF00:be32",
                      "--first-serial", "-5", "{update}"},
                     "0 or more"},
        BadValueCase{"FirstSerialTooLarge",
                     {"station", "--port", "{port}", "--record", "{db}", "--serial-number", "0x3FF00:be16",
                      "--serial-counter", "new", "--first-serial", "70000", "{update}"},
                     "does not fit"},
        BadValueCase{"CounterPastTheStamp",
                     {"station", "--port", "{port}", "--record", "{db}", "--serial-number", "0x3FF00:be16",
                      "--serial-counter", "small", "{update}"},
                     "65536, does not fit"},
        BadValueCase{"FirstSerialOnACounterThatStandsElsewhere",
                     {"station", "--port", "{port}", "--record", "{db}", "--serial-number", "0x3FF00:be32",
                      "--first-serial", "1000", "{update}"},
                     "its next number is 1004"},
        BadValueCase{"SinceNotADate", {"history", "--record", "{db}", "--since", "yesterday"}, "ISO 8601"},
        BadValueCase{"SinceNoSuchDay", {"history", "--record", "{db}", "--since", "2026-02-30"}, "ISO 8601"},
        BadValueCase{"SinceHourOnly", {"history", "--record", "{db}", "--since", "2026-12-08T06"}, "ISO 8601"},
        BadValueCase{"EmptySerial", {"history", "--record", "{db}", "--serial", ""}, "is empty"},
        BadValueCase{"NotRecords", {"history", "--record", "{text}"}, "not a SQLite database"}),
    [](const auto& info) { return std::string(info.param.name); });

// Rows as odd as a port's name can make them: the table shows control characters escaped, CSV
// is valid UTF-8 (checked by iconv), numbers and instants compare as such, and nothing is
// made beside the database.
TEST_F(StationE2eTest, HistoryReadsOddRowsSafely) {
  ASSERT_TRUE(MakeRecords("INSERT INTO units (station, port, started_utc, update_file, image_sha256, boot_sha256, "
                          "serial_number, result, ok, quillon_version) VALUES "
                          "('s', char(27) || '[31mred' || char(10) || 'x', '2026-12-07T20:59:00.000Z', 'u', 'h', 'b', "
                          "'000003', 205, 1, 'v'), "
                          "('s', CAST(X'2FC3FF64' AS TEXT), '2026-12-07T21:00:00.000Z', 'u', 'h', 'b', '000004', 503, "
                          "0, 'v')"));
  const std::string cli = "'" QUILLON_CLI "' history --record '" + db() + "'";
  const auto out = dir_.path() / "h.out";
  ASSERT_EQ(RunShell(cli + " > '" + out.string() + "'"), 0);
  const std::string table = ReadFileBytes(out);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_NE(table.find("\\x1B[31mred\\nx"), std::string::npos) << table;
  EXPECT_EQ(RunShell(cli + " | iconv -f UTF-8 -t UTF-8 >/dev/null"), 0);
  EXPECT_EQ(RunShell(cli + " --csv | iconv -f UTF-8 -t UTF-8 >/dev/null"), 0);
  EXPECT_EQ(RunShell(cli + " --csv | grep -q '/\xef\xbf\xbd\xef\xbf\xbd" "d'"), 0);
  // 3 is 000003; 06:00 in Tokyo is 21:00 UTC the day before: only the second row.
  ASSERT_EQ(RunShell(cli + " --serial 3 --json > '" + out.string() + "'"), 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(out))["serial_number"], "000003");
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(out))["ok"], true);
  // Nothing found is said, and is no failure; a machine's output stays empty.
  ASSERT_EQ(RunShell(cli + " --serial 999 > '" + out.string() + "'"), 0);
  EXPECT_EQ(ReadFileBytes(out), "no units match\n");
  ASSERT_EQ(RunShell(cli + " --serial 999 --json 2>/dev/null > '" + out.string() + "'"), 0);
  EXPECT_EQ(ReadFileBytes(out), "");
  // The table in the reader's language.
  ASSERT_EQ(RunShell("LC_ALL=ja_JP.UTF-8 " + cli + " > '" + out.string() + "'"), 0);
  EXPECT_NE(ReadFileBytes(out).find("シリアル"), std::string::npos) << ReadFileBytes(out);
  ASSERT_EQ(RunShell(cli + " --since 2026-12-08T06:00+09:00 --json > '" + out.string() + "'"), 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(out))["serial_number"], "000004");
  ASSERT_EQ(RunShell(cli + " --since '2026-12-07 20:59z' --json | wc -l | grep -qx 2"), 0);
  EXPECT_FALSE(std::filesystem::exists(db() + "-journal"));
  EXPECT_FALSE(std::filesystem::exists(db() + "-wal"));
}

// A station killed in the middle of a unit leaves its row without a result: history calls it
// INCOMPLETE, and the database is whole.
TEST_F(StationE2eTest, AKilledStationLeavesAnIncompleteRowAndAWholeDatabase) {
  const pid_t a = StartFixture("fa", {"--boards", "1", "--latency-ms", "20"});
  const pid_t station = StartStation({"--port", Port("fa")});
  for (int i = 0; i < 300 && ReadFileBytes(dir_.path() / "cli.out").find("\"progress\"") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(station, SIGKILL);
  Wait(station);
  Stop(a);
  EXPECT_EQ(Sql("PRAGMA integrity_check"), "ok\n");
  EXPECT_EQ(Sql("SELECT count(*), count(result) FROM units"), "1|0\n");
  const auto out = dir_.path() / "h.json";
  ASSERT_EQ(RunShell("'" QUILLON_CLI "' history --record '" + db() + "' --json > '" + out.string() + "'"), 0);
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(out))["result"], "INCOMPLETE");
  const auto table = dir_.path() / "h.txt";
  ASSERT_EQ(RunShell("'" QUILLON_CLI "' history --record '" + db() + "' > '" + table.string() + "'"), 0);
  EXPECT_NE(ReadFileBytes(table).find("INCOMPLETE"), std::string::npos);
  // A port found by the last part of its path as well as by the whole.
  for (const std::string& port : {Port("fa"), std::string("fa")}) {
    EXPECT_EQ(RunShell("'" QUILLON_CLI "' history --record '" + db() + "' --port '" + port + "' --json | wc -l | grep -qx 1"), 0)
        << port;
  }
  EXPECT_EQ(RunShell("'" QUILLON_CLI "' history --record '" + db() + "' --port a --json | wc -l | grep -qx 0"), 0);
}

// A pinned image that is not the file's: exit 19 before anything reaches a device, for flash
// and station alike. The same device then takes a whole update from its very first byte,
// recorded by flash --record.
TEST_F(StationE2eTest, AWrongExpectedHashSendsNothing) {
  for (const std::string command : {"flash", "station"}) {
    const pid_t a = StartFixture("fa", {"--report", (dir_.path() / "report.txt").string()});
    std::vector<std::string> args{QUILLON_CLI, command, "--port", Port("fa"), "--boot", kBoot, "--log",
                                  (dir_.path() / "q.sts").string(), "--record", db(), "--expect-sha256",
                                  std::string(64, '0'), update_};
    if (command == "flash") args.insert(args.begin() + 2, "--yes");
    EXPECT_EQ(Wait(Spawn(args, dir_.path() / "cli.out", dir_.path() / "cli.err")), 19) << command;
    EXPECT_NE(ReadFileBytes(dir_.path() / "cli.err").find("the update file is not the one expected"), std::string::npos);
    // The message names the image's own hash: the right one to pin.
    const std::string said = ReadFileBytes(dir_.path() / "cli.err");
    const auto at = said.find("its image has");
    ASSERT_NE(at, std::string::npos);
    const std::string hash = said.substr(said.find_first_not_of(' ', at + 13), 64);
    ASSERT_EQ(Wait(Spawn({QUILLON_CLI, "flash", "--yes", "--baud", "115200", "--port", Port("fa"), "--boot", kBoot, "--log",
                          (dir_.path() / "q.sts").string(), "--expect-sha256", hash, "--record", db(), update_},
                         dir_.path() / "cli.out", dir_.path() / "cli.err")),
              0)
        << command << ": " << ReadFileBytes(dir_.path() / "cli.err");
    EXPECT_EQ(Finish(a), 0);
    EXPECT_NE(ReadFileBytes(dir_.path() / "report.txt").find("seen: boot mode: 10 bytes 0x00, then 0x55"), std::string::npos)
        << command;
  }
  // flash --record keeps a row per run as the station does; the refused runs left none.
  EXPECT_EQ(Sql("SELECT count(*), sum(ok), min(result), count(serial_number), count(DISTINCT image_sha256) FROM units"),
            "2|2|205|0|1\n");
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A station whose port another program holds takes no board and ends with a station's summary
// (units per port), not a flash run's, naming the program that holds it.
TEST_F(StationE2eTest, AHeldPortEndsTheStationWithAStationsSummary) {
  const pid_t fixture = StartFixture("fa", {});
  const pid_t holder = Spawn({"/bin/sh", "-c", "exec sleep 30 < '" + Port("fa") + "'"}, dir_.path() / "h.out",
                             dir_.path() / "h.err");
  started_.push_back(holder);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa")})), 14);
  const auto events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().at("event"), "summary");
  EXPECT_EQ(events.back().at("passed"), 0);
  EXPECT_EQ(events.back().at("ports").at(0).at("port"), Port("fa"));
  EXPECT_FALSE(events.back().contains("ok"));  // a flash run's summary
  EXPECT_NE(ReadFileBytes(dir_.path() / "cli.out").find("held open by sleep"), std::string::npos);
  Stop(holder);
  Stop(fixture);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// station --config: a line's set-up in one file gives the run the command line gives; the
// command line's options replace the file's; --print-config writes what is in effect.
class StationConfigTest : public StationHarness {
 protected:
  std::string WriteConfig(const std::string& body) {
    const auto path = dir_.path() / "line1.conf";
    std::ofstream(path) << body;
    return path.string();
  }
};

TEST_F(StationConfigTest, TheFileGivesTheRunTheCommandLineGives) {
  const std::string ini = (dir_.path() / "q.ini").string(), log = (dir_.path() / "q.sts").string();
  const std::string config = WriteConfig(
      "# line 1, board rev B\n[station]\nport = " + Port("fa") + "\n--units = 2\nserial-number = 0x3FF00:be32\n"
      "first-serial = 500\nboot = " + kBoot + "\nbaud = 115200\nini = " + ini + "\nlog = " + log + "\nrecord = " + db() +
      "\noperator = \"Aiko Sato\"\njson = true\nupdate = " + update_ + "\n");
  ASSERT_EQ(Cli({"station", "--config", config, "--print-config"}, "from_file"), 0) << Output("from_file");
  ASSERT_EQ(Cli({"station", "--port", Port("fa"), "--units", "2", "--serial-number", "0x3FF00:be32", "--first-serial",
                 "500", "--boot", kBoot, "--baud", "115200", "--ini", ini, "--log", log, "--record", db(), "--operator",
                 "Aiko Sato", "--json", update_, "--print-config"},
                "from_line"),
            0);
  EXPECT_EQ(Output("from_file"), Output("from_line"));
  EXPECT_NE(Output("from_file").find("operator = Aiko Sato\n"), std::string::npos) << Output("from_file");
  // What --print-config writes is a file that gives the same run again.
  std::ofstream(dir_.path() / "printed.conf") << Output("from_file");
  ASSERT_EQ(Cli({"station", "--config", (dir_.path() / "printed.conf").string(), "--print-config"}, "again"), 0);
  EXPECT_EQ(Output("again"), Output("from_file"));

  // The command line's --port and --units replace the file's; its update file replaces the file's.
  ASSERT_EQ(Cli({"station", "--config", config, "--port", Port("fb"), "--units", "1", update_, "--print-config"},
                "override"),
            0);
  const std::string over = Output("override");
  EXPECT_NE(over.find("port = " + Port("fb") + "\n"), std::string::npos) << over;
  EXPECT_EQ(over.find("port = " + Port("fa") + "\n"), std::string::npos) << over;
  EXPECT_NE(over.find("units = 1\n"), std::string::npos) << over;

  // And the run itself: two boards, numbers from 500, the operator in every row.
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  EXPECT_EQ(Wait(Spawn({QUILLON_CLI, "station", "--config", config}, dir_.path() / "run.out", dir_.path() / "run.err")), 0)
      << ReadFileBytes(dir_.path() / "run.err");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Sql("SELECT count(*), sum(ok), min(serial_number), max(serial_number), min(operator) FROM units"),
            "2|2|500|501|Aiko Sato\n");
  EXPECT_NE(ReadFileBytes(dir_.path() / "run.out").find("\"event\":\"summary\""), std::string::npos);
}

struct BadConfig {
  const char* name;
  const char* body;
  const char* said;
};

class StationBadConfigTest : public StationConfigTest, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(StationBadConfigTest, IsWrongUsageNamingTheLine) {
  const std::string config = WriteConfig(GetParam().body);
  EXPECT_EQ(Cli({"station", "--config", config, update_}), 2);
  const std::string err = ReadFileBytes(dir_.path() / "tool.err");
  EXPECT_NE(err.find(GetParam().said), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, StationBadConfigTest,
    ::testing::Values(BadConfig{"unknown_option", "[station]\nunits = 2\nbaudrate = 9600\n", "line 3: the station has no option --baudrate"},
                      BadConfig{"outside_the_section", "units = 2\n", "line 1: the options go below a line [station]"},
                      BadConfig{"other_section", "[flash]\nunits = 2\n", "line 1: only a [station] section is read"},
                      BadConfig{"flag_value", "[station]\njson = maybe\n", "line 2: --json is on or off"},
                      BadConfig{"no_equals", "[station]\nunits 2\n", "line 2: write key = value"},
                      BadConfig{"config_in_config", "[station]\nconfig = other.conf\n", "no option --config"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StationConfigTest, AMissingFileIsWrongUsage) {
  EXPECT_EQ(Cli({"station", "--config", (dir_.path() / "none.conf").string(), update_}), 2);
  EXPECT_NE(ReadFileBytes(dir_.path() / "tool.err").find("cannot be read"), std::string::npos);
}

// The systemd template unit the package installs, checked by systemd's own verifier with an
// instance of it whose program is this build's.
TEST(StationServiceTest, TheTemplateUnitPassesSystemdAnalyzeVerify) {
  if (RunShell("command -v systemd-analyze >/dev/null") != 0) GTEST_SKIP() << "no systemd-analyze here";
  TempDir dir;
  const auto unit = dir.path() / "quillon-station@line1.service";
  ASSERT_EQ(RunShell("sed 's|/usr/bin/quillon-cli|" QUILLON_CLI "|' '" QUILLON_EXAMPLES
                     "/../packaging/quillon-station@.service' > '" + unit.string() + "'"),
            0);
  const auto out = dir.path() / "verify.out";
  EXPECT_EQ(RunShell("SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no '" + unit.string() + "' > '" + out.string() + "' 2>&1"), 0)
      << ReadFileBytes(out);
  // Nothing said about the unit itself (a verifier run outside a booted system may speak of others).
  EXPECT_EQ(ReadFileBytes(out).find("quillon-station@line1.service:"), std::string::npos) << ReadFileBytes(out);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// --on-result: each unit's command gets the unit's facts; a command that hangs or fails is a
// warning, never a failed unit, and never holds up its port.
class StationOnResultTest : public StationHarness {
 protected:
  // The seconds from one unit's end to the next one's start on the same port.
  double LongestGap() const {
    const std::string gaps = Sql(
        "SELECT max((julianday(b.started_utc) - julianday(a.ended_utc)) * 86400) FROM units a JOIN units b "
        "ON b.port = a.port AND b.id = (SELECT min(id) FROM units WHERE port = a.port AND id > a.id)");
    return std::stod(gaps);
  }
  std::vector<nlohmann::json> Warnings() const {
    std::vector<nlohmann::json> found;
    for (const auto& e : Events()) {
      if (e.value("level", "") == "warning") found.push_back(e);
    }
    return found;
  }
};

TEST_F(StationOnResultTest, EachUnitsCommandGetsItsFacts) {
  const pid_t a = StartFixture("fa", {"--boards", "2", "--silent-after-chunk", "3", "--fault-board", "2"});
  const pid_t b = StartFixture("fb", {"--boards", "2"});
  const std::string command = "env | grep '^QUILLON_' | sort > '" + dir_.path().string() + "/env-'\"$QUILLON_UNIT\".txt";
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--port", Port("fb"), "--units", "4", "--serial-number",
                               "0x3FF00:be32", "--first-serial", "70", "--on-result", command})),
            17);
  Finish(a);
  Finish(b);
  for (int unit = 1; unit <= 4; ++unit) {
    const std::string row = Sql("SELECT result, ok, port, serial_number FROM units WHERE id = " + std::to_string(unit));
    std::vector<std::string> fields;
    std::stringstream split(row.substr(0, row.size() - 1));
    for (std::string field; std::getline(split, field, '|');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 4u) << row;
    const bool ok = fields[1] == "1";
    const std::string env = ReadFileBytes(dir_.path() / ("env-" + std::to_string(unit) + ".txt"));
    EXPECT_NE(env.find("QUILLON_RESULT=" + fields[0] + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find(std::string("QUILLON_OK=") + (ok ? "1" : "0") + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find("QUILLON_PORT=" + fields[2] + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find("QUILLON_SERIAL=" + fields[3] + "\n"), std::string::npos) << env;
    EXPECT_NE(env.find("QUILLON_UNIT=" + std::to_string(unit) + "\n"), std::string::npos) << env;
    // The closing message in the station's language (English here), as its terminal shows it.
    EXPECT_NE(env.find(ok ? "QUILLON_MESSAGE=The update has finished.\n" : "QUILLON_MESSAGE=Sending the update file failed.\n"), std::string::npos)
        << env;
  }
  EXPECT_TRUE(Warnings().empty());
}

struct OnResultCase {
  const char* name;
  const char* command;
  const char* said;
};

class StationOnResultFailureTest : public StationOnResultTest, public ::testing::WithParamInterface<OnResultCase> {};

TEST_P(StationOnResultFailureTest, IsAWarningAndThePortGoesOn) {
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--units", "2", "--on-result", GetParam().command,
                               "--on-result-timeout", "4"})),
            0)
      << ReadFileBytes(dir_.path() / "cli.err");
  EXPECT_EQ(Finish(a), 0);
  EXPECT_EQ(Sql("SELECT count(*), sum(ok) FROM units"), "2|2\n");
  // The next board began while the first unit's command still ran (or hung).
  EXPECT_LT(LongestGap(), 3.5);
  const auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), 2u);
  for (const auto& w : warnings) {
    EXPECT_NE(w.at("text").get<std::string>().find(GetParam().said), std::string::npos) << w;
    EXPECT_NE(w.at("text").get<std::string>().find("the unit's result stands"), std::string::npos) << w;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, StationOnResultFailureTest,
    ::testing::Values(OnResultCase{"fails", "exit 3", "ended with exit status 3"},
                      OnResultCase{"hangs", "sleep 60", "did not end within 4 s and was stopped"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
