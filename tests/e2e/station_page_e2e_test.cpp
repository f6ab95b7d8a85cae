// The station's live page in a real browser (headless Chromium) during a station run against
// quillon-devsim fixtures: tiles that follow each board, a failed board's message, the units
// list, the page in Japanese, and a page that finds a restarted station by itself.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "chromium.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::RunShell;

using testing::Chromium;
using testing::ReadFileBytes;
using testing::Spawn;
using testing::TempDir;
using testing::Wait;
using std::chrono::seconds;

const std::string kBoot = QUILLON_EXAMPLES "/nivaload.sub";
const std::string kUpdate = QUILLON_EXAMPLES "/update.mot";

// Every tile's (state/result) as it changes, kept by the page itself so that no step is missed
// between two looks.
constexpr const char* kRecorder = R"(
  window.seen = {};
  new MutationObserver(() => {
    for (const t of document.querySelectorAll(".tile")) {
      const list = (window.seen[t.dataset.port] = window.seen[t.dataset.port] || []);
      const now = t.dataset.state + "/" + t.dataset.result;
      if (list[list.length - 1] !== now) list.push(now);
    }
  }).observe(document.getElementById("tiles"), {childList: true});
  true)";

class StationPageE2eTest : public ::testing::Test {
 protected:
  // A test that stops early leaves no station or fixture behind.
  void TearDown() override {
    for (const pid_t pid : running_) {
      ::kill(pid, SIGKILL);
      Wait(pid);
    }
  }

  pid_t Started(pid_t pid) {
    running_.push_back(pid);
    return pid;
  }

  int Reap(pid_t pid) {
    running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
    return Wait(pid);
  }

  pid_t StartFixture(const std::string& name, std::vector<std::string> extra) {
    const std::string link = (dir_.path() / name).string();
    std::vector<std::string> args{QUILLON_DEVSIM, "--link", link, "--swap-ms", "2500"};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = Started(Spawn(args, dir_.path() / (name + ".out"), dir_.path() / (name + ".err")));
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
  }

  pid_t StartStation(const std::string& name, std::vector<std::string> extra) {
    std::vector<std::string> args{QUILLON_CLI, "station", "--boot", kBoot, "--baud", "115200", "--ini",
                                  (dir_.path() / "q.ini").string(), "--log", (dir_.path() / "q.sts").string(),
                                  "--record", (dir_.path() / "runs.db").string(), "--json",
                                  "--port", Port("fa"), "--port", Port("fb")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(kUpdate);
    return Started(Spawn(args, dir_.path() / (name + ".out"), dir_.path() / (name + ".err")));
  }

  // The page's address as the station says it on start.
  std::string PageUrl(const std::string& name) {
    const std::regex said("live page at (http://[^ \n]+)");
    for (int i = 0; i < 100; ++i) {
      std::smatch match;
      const std::string err = ReadFileBytes(dir_.path() / (name + ".err"));
      if (std::regex_search(err, match, said)) return match[1];
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
  }

  std::string Port(const std::string& name) const { return (dir_.path() / name).string(); }

  static std::string TileText(const std::string& port) {
    return "(document.querySelector('.tile[data-port=\"" + port + "\"]') || {}).textContent || ''";
  }

  TempDir dir_;
  std::vector<pid_t> running_;
};

TEST_F(StationPageE2eTest, TilesFollowEveryBoardAndAFailedOneShowsItsMessage) {
  Chromium browser(dir_.path() / "profile");
  ASSERT_TRUE(browser.ok()) << "chromium could not be started (scripts/setup installs it)";
  // The station starts before its fixtures are plugged in: both ports are missing at first.
  const pid_t station = StartStation("cli", {"--http", "0", "--units", "4", "--serial-number", "0x01F00:be32",
                                             "--first-serial", "5000"});
  const std::string url = PageUrl("cli");
  ASSERT_FALSE(url.empty()) << ReadFileBytes(dir_.path() / "cli.err");

  const std::string en = browser.Open(url, "en-US,en;q=0.9");
  const std::string ja = browser.Open(url, "ja,en-US;q=0.5");
  ASSERT_FALSE(en.empty());
  ASSERT_TRUE(browser.WaitFor(en, "document.querySelectorAll('.tile').length === 2", seconds(20)));
  ASSERT_EQ(browser.Evaluate(en, kRecorder), true);
  EXPECT_TRUE(browser.WaitFor(en, "[...document.querySelectorAll('.tile')].every(t => t.dataset.state === 'missing')",
                              seconds(10)));
  EXPECT_NE(browser.Evaluate(en, TileText(Port("fa"))).get<std::string>().find("Port missing"), std::string::npos);

  // Fixture b's first board fails part way through its transfer; every other board passes.
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  const pid_t b = StartFixture("fb", {"--boards", "2", "--fault-board", "1", "--silent-after-chunk", "40"});

  ASSERT_TRUE(browser.WaitFor(en, "(" + TileText(Port("fb")) + ").includes('FAILED')", seconds(60)));
  const std::string failed_tile = browser.Evaluate(en, TileText(Port("fb")));
  const auto screenshot = browser.Screenshot(en);
  EXPECT_GT(screenshot.size(), 10000u);
  if (const char* keep = std::getenv("QUILLON_PAGE_SCREENSHOT")) std::ofstream(keep, std::ios::binary) << screenshot;
  const auto units_then = browser.Evaluate(en, "document.querySelectorAll('#units tr[data-unit]').length");

  EXPECT_TRUE(browser.WaitFor(en, "document.querySelectorAll('#units tr[data-unit]').length === 4 && "
                                  "![...document.querySelectorAll('#units td')].some(td => td.textContent === 'running')",
                              seconds(90)));
  EXPECT_EQ(Reap(station), 17) << ReadFileBytes(dir_.path() / "cli.err");
  Reap(a);
  Reap(b);

  // The failed tile said FAILED with the device's message for it, in English with its id as the
  // command line shows it, and where it stopped.
  std::string message;
  std::istringstream lines(ReadFileBytes(dir_.path() / "cli.out"));
  for (std::string line; std::getline(lines, line);) {
    const auto event = nlohmann::json::parse(line);
    if (event.at("event") == "message" && event.value("port", "") == Port("fb") && event.value("id", 0) != 205) {
      message = "[" + std::to_string(event.at("id").get<int>()) + "] " + event.at("text_en").get<std::string>();
      break;
    }
  }
  ASSERT_FALSE(message.empty());
  EXPECT_NE(failed_tile.find(message), std::string::npos) << failed_tile << " lacks " << message;
  EXPECT_NE(failed_tile.find("stopped in transfer"), std::string::npos) << failed_tile;
  EXPECT_NE(failed_tile.find("waiting for the next board"), std::string::npos) << failed_tile;

  // Each fixture went waiting -> transfer -> passed (fixture b's second board after its first
  // failed), without a reload.
  const auto seen = browser.Evaluate(en, "window.seen");
  for (const std::string& port : {Port("fa"), Port("fb")}) {
    ASSERT_TRUE(seen.contains(port)) << seen.dump();
    const std::vector<std::string> steps = seen.at(port);
    const auto waiting = std::find_if(steps.begin(), steps.end(), [](const std::string& s) { return s.starts_with("waiting/"); });
    const auto transfer = std::find(waiting, steps.end(), "transfer/");
    const auto passed = std::find_if(transfer, steps.end(), [](const std::string& s) { return s.ends_with("/passed"); });
    EXPECT_TRUE(passed != steps.end()) << port << ": " << seen.at(port).dump();
  }
  const std::vector<std::string> b_steps = seen.at(Port("fb"));
  EXPECT_NE(std::find(b_steps.begin(), b_steps.end(), "waiting/failed"), b_steps.end()) << seen.dump();
  EXPECT_GE(browser.Evaluate(en, "document.querySelectorAll('#units tr[data-unit]').length"), units_then);
  EXPECT_NE(browser.Evaluate(en, "document.getElementById('units').textContent").get<std::string>().find("5003"),
            std::string::npos);

  // Japanese for a browser that prefers it; the totals in either language.
  EXPECT_EQ(browser.Evaluate(ja, "document.documentElement.lang"), "ja");
  EXPECT_NE(browser.Evaluate(ja, "document.body.textContent").get<std::string>().find("最近のユニット"), std::string::npos);
  EXPECT_NE(browser.Evaluate(ja, "document.body.textContent").get<std::string>().find("不合格"), std::string::npos);
  EXPECT_EQ(browser.Evaluate(en, "state.totals.passed"), 3);

  // The station has ended: the page says so, also once nothing answers any more, and finds the
  // next station by itself.
  EXPECT_TRUE(browser.WaitFor(en, "document.getElementById('banner').textContent === 'The station has ended.'",
                              seconds(15)));
  std::this_thread::sleep_for(seconds(3));
  EXPECT_EQ(browser.Evaluate(en, "document.getElementById('banner').textContent"), "The station has ended.");
  // A row a killed station left without a result: the next station's page calls it INCOMPLETE.
  ASSERT_EQ(RunShell("sqlite3 '" + (dir_.path() / "runs.db").string() +
                     "' \"INSERT INTO units (station, port, started_utc, update_file, image_sha256, boot_sha256, "
                     "serial_number, quillon_version) VALUES ('s', 'killed', '2026-12-08T06:00:00.000Z', 'u', 'h', "
                     "'b', '7777', 'v')\""),
            0);
  const std::string port = url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2);
  const pid_t again = StartStation("again", {"--http", port});
  EXPECT_FALSE(PageUrl("again").empty()) << ReadFileBytes(dir_.path() / "again.err");
  EXPECT_TRUE(browser.WaitFor(en, "state.totals.passed === 0 && document.getElementById('banner').textContent === ''",
                              seconds(20)));
  EXPECT_TRUE(browser.WaitFor(en, "[...document.querySelectorAll('#units tr')].some(tr => "
                                  "tr.textContent.includes('7777') && tr.textContent.includes('INCOMPLETE'))",
                              seconds(10)));
  EXPECT_EQ(browser.Evaluate(en, "typeof window.seen"), "object");  // the same page: never reloaded
  ::kill(again, SIGTERM);
  EXPECT_EQ(Reap(again), 0);
}

}  // namespace
}  // namespace quillon
