#include "cli/run_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/terminal.h"
#include "testing/temp_dir.h"


namespace quillon::cli {
namespace {

using ::testing::HasSubstr;

TEST(DisplayWidthTest, WideCharactersTakeTwoColumnsAndACutNeverSplitsOne) {
  EXPECT_EQ(DisplayWidth("COM3 transfer"), 13);
  EXPECT_EQ(DisplayWidth("バージョン"), 10);
  EXPECT_EQ(DisplayWidth("ﾊﾞｰｼﾞｮﾝ"), 7);  // half-width katakana: one column each
  EXPECT_EQ(DisplayWidth("ｱ\xE3\x82\x99"), 1);  // a combining mark takes none
  EXPECT_EQ(FitToWidth("abcバージョン", 6), "abcバ");
  EXPECT_EQ(FitToWidth("abcバージョン", 5), "abcバ");
  EXPECT_EQ(FitToWidth("abcバージョン", 4), "abc");
  EXPECT_EQ(FitToWidth("ab", 10), "ab");
  EXPECT_EQ(FitToWidth("a\xFF\xFE" "b", 2), "a\xFF");  // stray bytes: one column each, never a crash
}

// Only Enter or y starts an update on a device a person just put into boot mode.
TEST(BootModeAnswerTest, OnlyEnterOrYGoesAhead) {
  for (const char* go : {"", "y", "Y", " yes ", "y\r"}) EXPECT_EQ(ReadBootModeAnswer(std::string(go)), BootModeAnswer::kGo) << go;
  for (const char* stop : {"n", "N", "no", "q", "quit"}) {
    EXPECT_EQ(ReadBootModeAnswer(std::string(stop)), BootModeAnswer::kCancel) << stop;
  }
  EXPECT_EQ(ReadBootModeAnswer(std::nullopt), BootModeAnswer::kCancel);
  for (const char* other : {"nope", "start", "1"}) {
    EXPECT_EQ(ReadBootModeAnswer(std::string(other)), BootModeAnswer::kAskAgain) << other;
  }
}

std::string Captured(const std::function<void(std::FILE*)>& write) {
  testing::TempDir dir;
  const auto path = dir / "out.txt";
  std::FILE* out = std::fopen(path.string().c_str(), "wb");
  write(out);
  std::fclose(out);
  return testing::ReadFileBytes(path);
}

TEST(JsonLinesReportTest, AFailedResultSaysWhereItStopped) {
  PortResult failed;
  failed.port = "/dev/ttyUSB1";
  failed.id = 503;
  failed.seconds = 12.34567;
  failed.bytes = 4242;
  failed.log = "/l/q-ttyUSB1.sts";
  failed.stop = {RunPhase::kTransfer, 9, 17};
  PortResult stopped = failed;
  stopped.interrupted = true;
  stopped.id = 0;
  stopped.stop = {RunPhase::kBoot};
  const std::string text = Captured([&](std::FILE* out) {
    JsonLinesReport report(out);
    report.Result(failed);
    report.Result(stopped);
    report.Summary({failed, stopped}, 130);
  });
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(nlohmann::json::parse(line),
            nlohmann::json::parse(R"({"event":"result","port":"/dev/ttyUSB1","id":503,"interrupted":false,"ok":false,
              "seconds":12.346,"bytes":4242,"log":"/l/q-ttyUSB1.sts","phase":"transfer","block":9,"chunk":17})"));
  std::getline(in, line);
  const auto second = nlohmann::json::parse(line);
  EXPECT_TRUE(second.at("id").is_null());
  EXPECT_EQ(second.at("interrupted"), true);
  EXPECT_EQ(second.at("phase"), "boot");
  EXPECT_FALSE(second.contains("block"));
  std::getline(in, line);
  EXPECT_EQ(nlohmann::json::parse(line), nlohmann::json::parse(R"({"event":"summary","ok":0,"failed":2,"exit":130})"));
}

TEST(PortLinesReportTest, PlainLinesNameTheirPortAndMessagesStayOnOneLine) {
  const std::string text = Captured([](std::FILE* out) {
    PortLinesReport report(out, false, {"A", "B"});
    const std::string a = "A";
    report.Message(nullptr, 202, "restart");
    report.Phase(a, "transfer", 3);
    report.Message(&a, 205, "line one\nline two");
    PortResult done;
    done.port = "A";
    done.id = 205;
    report.Result(done);
    report.Summary({done}, 0);
  });
  EXPECT_THAT(text, HasSubstr("[202] restart\n"));
  EXPECT_THAT(text, HasSubstr("A: transfer: 3 chunks\n"));
  EXPECT_THAT(text, HasSubstr("A: [205] line one line two\n"));
  EXPECT_THAT(text, HasSubstr("1 of 1 ports updated; exit status 0"));
}

// A station's unit: every event of the port carries the unit from its board until the port
// waits again; other ports' events do not.
TEST(JsonLinesReportTest, AStationUnitsEventsCarryItsId) {
  const std::string text = Captured([](std::FILE* out) {
    JsonLinesReport report(out);
    report.Waiting("A");
    report.Board("A", 7, std::string("1000"));
    report.Phase("A", "transfer", 2);
    report.Phase("B", "transfer", 2);
    report.Progress("A", 2, 2, 1000);
    PortResult done;
    done.port = "A";
    done.id = 205;
    done.unit = 7;
    done.serial_number = "1000";
    report.Result(done);
    report.Waiting("A");
    report.StationSummary({{{"A", 1, 0, 0}}, 1, 0, 0, 0});
  });
  std::istringstream in(text);
  std::vector<nlohmann::json> events;
  for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[0], nlohmann::json::parse(R"({"event":"waiting","port":"A"})"));
  EXPECT_EQ(events[1], nlohmann::json::parse(R"({"event":"board","port":"A","unit":7,"serial_number":"1000"})"));
  EXPECT_EQ(events[2].at("unit"), 7);
  EXPECT_FALSE(events[3].contains("unit"));
  EXPECT_EQ(events[4].at("unit"), 7);
  EXPECT_EQ(events[5].at("unit"), 7);
  EXPECT_EQ(events[5].at("serial_number"), "1000");
  EXPECT_FALSE(events[6].contains("unit"));
  EXPECT_EQ(events[7], nlohmann::json::parse(R"({"event":"summary","passed":1,"failed":0,"interrupted":0,
    "ports":[{"port":"A","passed":1,"failed":0,"interrupted":0}],"exit":0})"));
  // The key order users see: "unit" right after "port".
  EXPECT_THAT(text, HasSubstr(R"({"event":"phase","port":"A","unit":7,)"));
}

}  // namespace
}  // namespace quillon::cli
