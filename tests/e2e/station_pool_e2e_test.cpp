// Pools of per-unit values against quillon-devsim fixtures: a list imported once, each value on
// exactly one passed board's flash in its format, a failed unit's value given back or spent, an
// empty pool that stops the station before anything is sent.

#include "station_harness.h"

namespace quillon {
namespace {

class StationPoolTest : public StationHarness {
 protected:
  // A list of `count` MAC addresses and keys: line n+1 holds the nth.
  std::string WriteList(int count, const std::string& name = "list.csv") const {
    const auto path = dir_.path() / name;
    std::ofstream out(path, std::ios::binary);
    out << "board,mac,key\r\n";
    for (int i = 1; i <= count; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "%d,02:00:00:00:01:%02x,%08X\r\n", i, i, 0xC0DE0000u + static_cast<unsigned>(i));
      out << line;
    }
    return path.string();
  }
  int Import(const std::string& pool, const std::string& list, const std::string& column) {
    return Cli({"pool", "import", pool, list, "--column", column, "--record", db()});
  }
  static std::string Hex(const std::string& flash, std::size_t at, std::size_t length, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      char pair[4];
      std::snprintf(pair, sizeof pair, *separator != '\0' ? "%02x" : "%02X", static_cast<std::uint8_t>(flash[at + i]));
      if (i > 0) text += separator;
      text += pair;
    }
    return text;
  }
};

TEST_F(StationPoolTest, TwentyValuesOverTwoFixturesAndTwoProcessesEachOnExactlyOnePassedBoard) {
  const std::string list = WriteList(20);
  ASSERT_EQ(Import("mac", list, "mac"), 0) << Output();
  ASSERT_EQ(Import("key", list, "3"), 0) << Output();
  // The same file again adds nothing.
  ASSERT_EQ(Import("mac", list, "mac"), 0);
  EXPECT_NE(Output().find("0 values added, 20 already there"), std::string::npos) << Output();

  const pid_t a = StartFixture("fa", {"--boards", "2", "--silent-after-chunk", "3", "--fault-board", "1"});
  const pid_t b = StartFixture("fb", {"--boards", "2"});
  const std::vector<std::string> pools{"--pool", "mac", "--pool-at", "0x3FF10:mac", "--on-fail", "reuse",
                                       "--pool", "key", "--pool-at", "0x3FF20:hex:4", "--on-fail", "spend",
                                       "--serial-number", "0x3FF00:be32", "--on-result",
                                       "echo \"$QUILLON_UNIT $QUILLON_OK $QUILLON_POOL_MAC $QUILLON_POOL_KEY\" >> '" +
                                           (dir_.path() / "results.txt").string() + "'"};
  auto args = [&](const std::string& port) {
    std::vector<std::string> all{"--port", Port(port), "--units", "2"};
    all.insert(all.end(), pools.begin(), pools.end());
    return all;
  };
  const pid_t first = StartStation(args("fa"), "one");
  const pid_t second = StartStation(args("fb"), "two");
  EXPECT_EQ(Wait(first), 17) << ReadFileBytes(dir_.path() / "one.err");
  EXPECT_EQ(Wait(second), 0) << ReadFileBytes(dir_.path() / "two.err");
  Finish(a);
  Finish(b);

  // The failed unit's MAC went back and to a later board; its key is spent.
  EXPECT_EQ(Sql("SELECT count(*), sum(ok) FROM units"), "4|3\n");
  EXPECT_EQ(Sql("SELECT pool, state, count(*) FROM pool_values GROUP BY pool, state ORDER BY pool, state"),
            "key|free|16\nkey|issued|3\nkey|spent|1\nmac|free|17\nmac|issued|3\n");
  ASSERT_EQ(Cli({"pool", "status", "key", "--json", "--record", db()}), 0);
  EXPECT_EQ(nlohmann::json::parse(Output()), nlohmann::json::parse(R"({"free": 16, "issued": 3, "spent": 1})"));

  // Each passed board holds its own row's values at their addresses, in their formats, and is
  // otherwise the update.
  std::set<std::string> macs, keys;
  for (const std::string fixture : {"fa", "fb"}) {
    for (const std::string suffix : {".1", ".2"}) {
      const auto path = dir_.path() / (fixture + ".bin" + suffix);
      if (!std::filesystem::exists(path)) continue;
      const std::string flash = ReadFileBytes(path);
      const std::string serial = std::to_string(StampAt(flash));
      const std::string row = Sql("SELECT ok, (SELECT value FROM unit_values WHERE unit = u.id AND pool = 'mac'), "
                                  "(SELECT value FROM unit_values WHERE unit = u.id AND pool = 'key') FROM units u "
                                  "WHERE serial_number = '" + serial + "'");
      if (row.rfind("1|", 0) != 0) continue;  // the failed board's half-written flash
      const std::string mac = Hex(flash, 0x3FF10, 6, ":"), key = Hex(flash, 0x3FF20, 4, "");
      EXPECT_EQ(row, "1|" + mac + "|" + key + "\n") << fixture << suffix;
      macs.insert(mac);
      keys.insert(key);
      std::string rest = flash;
      std::fill(rest.begin() + 0x3FF00, rest.begin() + 0x3FF24, '\xFF');
      EXPECT_TRUE(rest == image_) << fixture << suffix;
    }
  }
  EXPECT_EQ(macs.size(), 3u);
  EXPECT_EQ(keys.size(), 3u);
  // The failed row keeps the values it got; history shows every unit's values.
  ASSERT_EQ(Cli({"history", "--json", "--failed", "--record", db()}), 0);
  const auto failed = nlohmann::json::parse(Output());
  const std::string failed_mac = failed.at("values").at("mac");
  EXPECT_EQ(Sql("SELECT count(*) FROM unit_values v JOIN units u ON u.id = v.unit WHERE u.ok = 1 AND v.value = '" +
                failed_mac + "'"),
            "1\n");
  ASSERT_EQ(Cli({"history", "--csv", "--record", db()}), 0);
  EXPECT_NE(Output().find(",values\r\n"), std::string::npos);
  EXPECT_NE(Output().find("mac=" + failed_mac + ";key="), std::string::npos) << Output();
  // --on-result's command got each unit's values.
  const std::string results = ReadFileBytes(dir_.path() / "results.txt");
  for (const auto& mac : macs) EXPECT_NE(results.find(" 1 " + mac + " "), std::string::npos) << results;
}

TEST_F(StationPoolTest, AnEmptyPoolStopsTheStationWithStatus22BeforeAnythingIsSent) {
  const std::string list = WriteList(1);
  ASSERT_EQ(Import("mac", list, "mac"), 0) << Output();
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  const std::vector<std::string> pool{"--port", Port("fa"), "--units", "2", "--pool", "mac", "--pool-at", "0x3FF10:mac"};
  EXPECT_EQ(Wait(StartStation(pool, "one")), 22);
  // The one value went to the first board; the second board answered and got nothing.
  EXPECT_EQ(Sql("SELECT count(*), sum(ok) FROM units"), "1|1\n");
  EXPECT_NE(ReadFileBytes(dir_.path() / "one.err").find("the pool mac is empty"), std::string::npos)
      << ReadFileBytes(dir_.path() / "one.err");
  int halts = 0;
  for (const auto& e : Events("one")) halts += e["event"] == "notice" && e.value("reason", "") == "pool-empty";
  EXPECT_EQ(halts, 1);
  Stop(a);
  if (const auto second = dir_.path() / "fa.bin.2"; std::filesystem::exists(second)) {
    EXPECT_EQ(ReadFileBytes(second).find_first_not_of('\xFF'), std::string::npos);
  }

  // Started on the empty pool, the station asks for no board: the fixture hears nothing.
  const pid_t b = StartFixture("fb", {"--boards", "1"});
  EXPECT_EQ(Wait(StartStation({"--port", Port("fb"), "--pool", "mac", "--pool-at", "0x3FF10:mac"}, "two")), 22);
  EXPECT_NE(ReadFileBytes(dir_.path() / "two.err").find("the pool mac is empty"), std::string::npos);
  Stop(b);
  EXPECT_EQ(ReadFileBytes(dir_.path() / "fb.out").find("seen"), std::string::npos) << ReadFileBytes(dir_.path() / "fb.out");
  EXPECT_EQ(Sql("SELECT count(*) FROM units"), "1\n");
}

struct RefusedCase {
  const char* name;
  std::string list;
  std::vector<std::string> args;  // after "pool import mac FILE --record DB"
  const char* said;
};

class PoolImportRefusedTest : public StationPoolTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(PoolImportRefusedTest, NothingIsImportedAndTheLineIsNamed) {
  const auto path = dir_.path() / "list.csv";
  std::ofstream(path, std::ios::binary) << GetParam().list;
  std::vector<std::string> args{"pool", "import", "mac", path.string(), "--record", db()};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  EXPECT_EQ(Cli(args), 2);
  const std::string said = ReadFileBytes(dir_.path() / "tool.err");
  EXPECT_NE(said.find(GetParam().said), std::string::npos) << said;
  EXPECT_FALSE(std::filesystem::exists(db()));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PoolImportRefusedTest,
    ::testing::Values(RefusedCase{"Duplicate", "mac\naa\nbb\naa\n", {"--column", "mac"}, "line 4: \"aa\" is on line 2 already"},
                      RefusedCase{"NoColumn", "id,key\n1,a\n", {"--column", "mac"}, "no column \"mac\" (it has: id, key)"},
                      RefusedCase{"EmptyValue", "id,mac\n1,\n", {"--column", "mac"}, "line 2: no value in column"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StationPoolTest, APoolTheRecordsDoNotHaveOrAStampThatCannotHoldItIsWrongUsage) {
  const pid_t a = StartFixture("fa", {"--boards", "1"});
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--pool", "mac", "--pool-at", "0x3FF10:mac"}, "one")), 2);
  EXPECT_NE(ReadFileBytes(dir_.path() / "one.err").find("pool import mac"), std::string::npos);
  ASSERT_EQ(Import("mac", WriteList(2), "mac"), 0);
  // Over the update's own bytes, and a format that is none.
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--pool", "mac", "--pool-at", "0x3F000:mac"}, "two")), 2);
  EXPECT_NE(ReadFileBytes(dir_.path() / "two.err").find("the update file puts data at 0x3F000"), std::string::npos);
  EXPECT_EQ(Wait(StartStation({"--port", Port("fa"), "--pool", "mac", "--pool-at", "0x3FF10:mac48"}, "three")), 2);
  Stop(a);
  EXPECT_EQ(Sql("SELECT count(*) FROM units"), "0\n");
}

}  // namespace
}  // namespace quillon
