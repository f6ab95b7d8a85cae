// The live lines of several ports on a real terminal (a pseudo-terminal of the test's own).

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cli/run_report.h"
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
  std::string got(8192, '\0');
  const ssize_t n = ::read(master, got.data(), got.size());
  got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
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

}  // namespace
}  // namespace quillon::cli
