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

TEST(PortLinesReportTest, PlainLinesNameTheirPortAndMessagesStayOnOneLine) {
  const std::string text = Captured([](std::FILE* out) {
    PortLinesReport report(out, false, {"A", "B"});
    const std::string a = "A";
    report.Message(nullptr, 202, "restart");
    report.OnEvent(station::PhaseEvent{a, Transfer::kUpdate, 3});
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

// Without a terminal (a service's journal) a station's port says when it goes missing and when
// it is back, once each, and each unit has a line.
TEST(PortLinesReportTest, AJournalShowsAPortGoingAndComingBackAndEachUnit) {
  const std::string text = Captured([](std::FILE* out) {
    PortLinesReport report(out, false, {"A"});
    report.OnEvent(station::WaitingEvent{"A"});
    report.OnEvent(station::WaitingEvent{"A", true});
    report.OnEvent(station::WaitingEvent{"A", true});
    report.OnEvent(station::WaitingEvent{"A", false});
    report.OnEvent(station::BoardEvent{"A", 7, "1007"});
    PortResult failed;
    failed.port = "A";
    failed.unit = 7;
    failed.id = 503;
    failed.serial_number = "1007";
    failed.stop = {RunPhase::kTransfer, 2, 5};
    report.OnEvent(station::ResultEvent{failed});
  });
  EXPECT_EQ(text.find("A: port missing"), text.rfind("A: port missing")) << text;
  EXPECT_THAT(text, HasSubstr("A: port missing (plug in its adapter)\nA: port back: waiting for a board\n"));
  EXPECT_THAT(text, HasSubstr("A: board answered: unit 7, serial 1007\n"));
  EXPECT_THAT(text, HasSubstr("A: unit 7, serial 1007, FAILED in"));
}

// After a failed unit, a line says what the operator does next; a passed one needs none.
TEST(PortLinesReportTest, AFailedUnitSaysWhatToDoNext) {
  const std::string text = Captured([](std::FILE* out) {
    PortLinesReport report(out, false, {"A"}, [](const PortResult& r) { return "step " + std::to_string(r.id); });
    PortResult result;
    result.port = "A";
    result.unit = 7;
    result.id = 503;
    report.OnEvent(station::ResultEvent{result});
    result.unit = 8;
    result.id = 205;
    report.OnEvent(station::ResultEvent{result});
  });
  EXPECT_THAT(text, HasSubstr("A: next: step 503\n"));
  EXPECT_EQ(text.find("step 205"), std::string::npos) << text;
}

}  // namespace
}  // namespace quillon::cli
