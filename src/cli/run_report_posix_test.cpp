// The live lines of several ports on a real terminal (a pseudo-terminal of the test's own).

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "cli/run_report.h"
#include "cli/output.h"
#include "cli/terminal.h"

namespace quillon::cli {
namespace {

// What `draw` writes on a terminal `columns` wide (a pseudo-terminal of the test's own).
std::string OnTerminal(unsigned short columns, const std::function<void(std::FILE*)>& draw) {
  int master = -1, slave = -1;
  winsize size{};
  size.ws_col = columns;
  size.ws_row = 20;
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {};
  std::FILE* out = ::fdopen(slave, "w");
  draw(out);
  std::fflush(out);
  // Everything written, however many reads the terminal hands it over in.
  std::string got;
  pollfd ready{master, POLLIN, 0};
  while (::poll(&ready, 1, 200) > 0) {
    char chunk[4096];
    const ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  std::fclose(out);
  ::close(master);
  return got;
}

// On a terminal the live lines are cut to its width: a line that wrapped would push the
// redraw off by a line and scroll the table away.
TEST(PortLinesReportTest, LiveLinesNeverWrap) {
  const std::string got = OnTerminal(40, [](std::FILE* out) {
    const std::string port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    PortLinesReport report(out, true, {port});
    report.OnEvent(station::PhaseEvent{port, Transfer::kUpdate, 2048});
    report.OnEvent(station::ProgressEvent{port, 100, 2048, 12800, 1.2});
    report.Message(&port, 503, "バージョンアップデータの送信に失敗しました。");
    report.Tick();
  });
  ASSERT_FALSE(got.empty());
  // Each drawn line: "\r" text "\x1b[K" then the line end.
  std::size_t at = 0;
  int lines = 0;
  while ((at = got.find('\r', at)) != std::string::npos) {
    const auto end = got.find("\x1b[K", at);
    if (end == std::string::npos) break;
    EXPECT_LE(DisplayWidth(got.substr(at + 1, end - at - 1)), 39);
    at = end;
    ++lines;
  }
  EXPECT_GE(lines, 1);
}

// On a terminal a port's line shows the time left while it writes, and none once its unit
// has failed (nothing is left to do on that board).
TEST(PortLinesReportTest, AFailedLineShowsNoTimeLeft) {
  const std::string got = OnTerminal(120, [](std::FILE* out) {
    PortLinesReport report(out, true, {"A"});
    report.OnEvent(station::PhaseEvent{"A", Transfer::kUpdate, 10});
    report.OnEvent(station::ProgressEvent{"A", 4, 10, 512, 2.0});
    report.Tick();
    PortResult failed;
    failed.port = "A";
    failed.unit = 7;
    failed.id = 503;
    report.OnEvent(station::ResultEvent{failed});
    report.Tick();
  });
  const auto last = got.rfind("\rA ");
  ASSERT_NE(last, std::string::npos) << got;
  EXPECT_NE(got.substr(0, last).find("s left"), std::string::npos) << got;
  EXPECT_EQ(got.substr(last).find("s left"), std::string::npos) << got;
  EXPECT_NE(got.substr(last).find("FAILED"), std::string::npos) << got;
}

// A finished unit fills its port's line in its colour with its result in words, until the
// next board on that fixture answers; --bell rings once for a pass, three times for a failure.
struct VerdictCase {
  const char* name;
  bool colour, bell;
  int id;
  const char* colour_code;  // empty: none expected
  const char* words;
  int bells;
};

class PortLinesVerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(PortLinesVerdictTest, FillsThePortsLineUntilTheNextBoard) {
  const auto& c = GetParam();
  const std::string got = OnTerminal(60, [&](std::FILE* out) {
    PortLinesReport report(out, true, {"A", "B"}, [](const PortResult&) { return std::string("re-seat the board"); });
    report.ShowResults(c.colour, c.bell);
    report.OnEvent(station::BoardEvent{"A", 7, std::string("1005")});
    report.OnEvent(station::PhaseEvent{"A", Transfer::kUpdate, 10});
    PortResult result;
    result.port = "A";
    result.unit = 7;
    result.id = c.id;
    result.serial_number = "1005";
    report.OnEvent(station::ResultEvent{result});
    report.OnEvent(station::WaitingEvent{"A"});  // the port probes for the next board: the result stays
    report.Tick();
    std::fputs("<next board>", out);
    report.OnEvent(station::BoardEvent{"A", 8, std::string("1006")});
    report.Tick();
  });
  const auto next_board = got.find("<next board>");
  ASSERT_NE(next_board, std::string::npos) << got;
  const std::string shown = got.substr(0, next_board), after = got.substr(next_board);
  // The line: the port, its result and unit in words, filled to the terminal's width.
  const auto line = shown.rfind(std::string("\r") + (*c.colour_code ? c.colour_code : "") + "A  " + c.words);
  ASSERT_NE(line, std::string::npos) << shown;
  const auto end = shown.find("\x1b[K", line);
  std::string drawn = shown.substr(line + 1, end - line - 1);
  if (*c.colour_code) {
    EXPECT_EQ(drawn.rfind("\x1b[0m"), drawn.size() - 4) << drawn;
    drawn = drawn.substr(std::string(c.colour_code).size(), drawn.size() - std::string(c.colour_code).size() - 4);
  } else {
    EXPECT_EQ(drawn.find("\x1b["), std::string::npos) << drawn;
  }
  EXPECT_EQ(DisplayWidth(drawn), 59) << drawn;
  EXPECT_EQ(static_cast<int>(std::count(got.begin(), got.end(), '\a')), c.bells);
  // Port B's line is never coloured; after the next board, neither is A's.
  EXPECT_EQ(shown.find("\rB  "), std::string::npos);
  EXPECT_EQ(after.find("\x1b[1;97;4"), std::string::npos) << after;
  EXPECT_NE(after.find("\rA "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Results, PortLinesVerdictTest,
    ::testing::Values(VerdictCase{"passed", true, true, 205, "\x1b[1;97;42m", "PASSED: unit 7, serial 1005", 1},
                      VerdictCase{"failed", true, true, 503, "\x1b[1;97;41m",
                                  "FAILED: unit 7, serial 1005 - re-seat the board", 3},
                      VerdictCase{"no_colour_no_bell", false, false, 503, "", "FAILED: unit 7, serial 1005", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::cli
