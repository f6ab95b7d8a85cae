// The three renderings of a run (the terminal's lines, the JSON Lines, the live page's tiles)
// fed the same events must show the same numbers; and the single port's bar on a real terminal.

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/run_report.h"
#include "report/station_view.h"
#include "testing/temp_dir.h"

namespace quillon::cli {
namespace {

using namespace station;

// A pseudo-terminal of the test's own, `columns` wide.
class Pty {
 public:
  explicit Pty(int columns) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = 40;
    EXPECT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, &size), 0);
    out_ = ::fdopen(slave_, "w");
  }
  ~Pty() {
    if (out_ != nullptr) std::fclose(out_);
    ::close(master_);
  }
  std::FILE* out() const { return out_; }
  // Everything written so far.
  std::string Read() {
    std::fflush(out_);
    std::string got;
    pollfd ready{master_, POLLIN, 0};
    char buffer[4096];
    while (::poll(&ready, 1, 10) > 0) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::FILE* out_ = nullptr;
};

PortResult Result(long long unit, int id, bool interrupted = false) {
  PortResult r;
  r.port = "A";
  r.unit = unit;
  r.id = interrupted ? 0 : id;
  r.interrupted = interrupted;
  r.seconds = 3.5;
  r.serial_number = std::to_string(999 + unit);
  if (id != kMsgUpdateFinished) r.stop = {RunPhase::kTransfer, 3, 9};
  return r;
}

// A passed unit, a failed one and an interrupted one on port A, with progress between.
std::vector<Event> Shift() {
  std::vector<Event> events;
  const auto unit = [&](long long id, int reached, const PortResult& result) {
    events.push_back(BoardEvent{"A", id, std::to_string(999 + id)});
    events.push_back(PhaseEvent{"A", Transfer::kUpdate, 40});
    for (int done = 1; done <= reached; ++done) {
      events.push_back(ProgressEvent{"A", done, 40, done * 128LL + 7, done * 0.093});
    }
    events.push_back(PhaseEndEvent{"A", reached, 40, reached * 128LL + 7, reached * 0.093});
    // A port's message box comes before its result, as the update shows it.
    if (!result.interrupted) events.push_back(MessageEvent{"A", result.id, {}});
    events.push_back(ResultEvent{result});
    events.push_back(WaitingEvent{"A"});
  };
  unit(1, 40, Result(1, kMsgUpdateFinished));
  unit(2, 17, Result(2, kMsgDataSendFailed));
  unit(3, 6, Result(3, 0, true));
  return events;
}

using Numbers = std::tuple<int, int, long long, long long>;  // done, total, B/s, s left (-1: none)

long long Left(const nlohmann::json& value) { return value.is_null() ? -1 : value.get<long long>(); }

TEST(RenderingsTest, TerminalJsonAndPageShowTheSameNumbers) {
  const auto events = Shift();
  // The JSON Lines.
  std::vector<Numbers> json_numbers;
  std::vector<std::pair<bool, int>> json_results;  // ok, id
  {
    const testing::TempDir dir;
    const auto path = dir / "out.jsonl";
    std::FILE* out = std::fopen(path.string().c_str(), "wb");
    JsonLinesReport report(out);
    for (const auto& event : events) report.OnEvent(event);
    std::fclose(out);
    std::istringstream lines(testing::ReadFileBytes(path));
    for (std::string line; std::getline(lines, line);) {
      const auto object = nlohmann::json::parse(line);
      if (object.at("event") == "progress") {
        json_numbers.emplace_back(object.at("done"), object.at("total"), object.at("bytes_per_second"),
                                  Left(object.at("seconds_left")));
      } else if (object.at("event") == "result") {
        json_results.emplace_back(object.at("ok"), object.at("id").is_null() ? 0 : object.at("id").get<int>());
      }
    }
  }
  // The page's tiles as a new page reads them (/api/state), and after every event.
  std::vector<Numbers> page_numbers;
  std::vector<std::pair<bool, int>> page_results;
  {
    report::StationView view({{{"A", ""}}, "/u/update.mot", std::string(64, 'c'), "s", "1.04", {}},
                             report::StationView::Clock::now());
    int last_done = -1;
    for (const auto& event : events) {
      view.OnEvent(event);
      const auto tile = view.Json(report::StationView::Clock::now()).at("ports").at(0);
      const bool progress = std::holds_alternative<ProgressEvent>(event) || std::holds_alternative<PhaseEndEvent>(event);
      if (progress && tile.at("done") != last_done) {
        page_numbers.emplace_back(tile.at("done"), tile.at("total"), tile.at("bytes_per_second"),
                                  Left(tile.at("seconds_left")));
      }
      last_done = tile.at("done");
      if (std::holds_alternative<ResultEvent>(event)) {
        const auto& last = tile.at("last");
        page_results.emplace_back(last.at("ok"), last.at("id").is_null() ? 0 : last.at("id").get<int>());
      }
    }
  }
  // The terminal's live lines: one per port, drawn again at every tick.
  std::vector<Numbers> terminal_numbers;
  std::vector<std::pair<bool, int>> terminal_results;
  {
    Pty pty(200);
    PortLinesReport report(pty.out(), true, {"A"});
    std::string screen;
    for (const auto& event : events) {
      report.OnEvent(event);
      report.Tick();
      screen += pty.Read();
    }
    // No rate is drawn before there is one.
    const std::regex line(R"(\rA +\S+ +(\d+)/(\d+)(?: +(\d+) B/s)?(?: +(\d+) s left)?)");
    for (std::sregex_iterator it(screen.begin(), screen.end(), line), end; it != end; ++it) {
      const Numbers numbers{std::stoi((*it)[1]), std::stoi((*it)[2]), (*it)[3].matched ? std::stoll((*it)[3]) : 0,
                            (*it)[4].matched ? std::stoll((*it)[4]) : -1};
      // A tick draws the lines whether or not they changed; a waiting port shows 0/0.
      if (std::get<1>(numbers) == 0 || (!terminal_numbers.empty() && terminal_numbers.back() == numbers)) continue;
      if (std::get<0>(numbers) == 0) continue;  // a phase's start
      // A result takes the time left off the port's line; the numbers are the last ones.
      if (!terminal_numbers.empty() && std::get<3>(numbers) == -1 &&
          std::get<0>(terminal_numbers.back()) == std::get<0>(numbers) &&
          std::get<2>(terminal_numbers.back()) == std::get<2>(numbers)) {
        continue;
      }
      terminal_numbers.push_back(numbers);
    }
    const std::regex result(R"(A: unit \d+, serial \d+, (PASSED|FAILED|STOPPED) in [0-9.]+ s: (?:\[(\d+)\])?)");
    for (std::sregex_iterator it(screen.begin(), screen.end(), result), end; it != end; ++it) {
      terminal_results.emplace_back((*it)[1] == "PASSED", (*it)[2].matched ? std::stoi((*it)[2]) : 0);
    }
  }
  ASSERT_FALSE(json_numbers.empty());
  // Shown at most four times a second of the port's clock, the last chunk always.
  EXPECT_LT(json_numbers.size(), 40u + 17u + 6u);
  EXPECT_EQ(json_numbers.front(), (Numbers{3, 40, 1401, 3}));  // 391 bytes in 0.279 s; 37 chunks at 0.093 s
  EXPECT_EQ(page_numbers, json_numbers);
  EXPECT_EQ(terminal_numbers, json_numbers);
  const std::vector<std::pair<bool, int>> expected{{true, 205}, {false, 503}, {false, 0}};
  EXPECT_EQ(json_results, expected);
  EXPECT_EQ(page_results, expected);
  EXPECT_EQ(terminal_results, expected);
}

// A single port's bar redrawn in place on a real terminal: the chunks, the rate and the time
// left of the view, a bar filled in proportion, and a last line that stays.
TEST(TerminalBarTest, TheBarDrawsTheViewAndEndsOnALineOfItsOwn) {
  Pty pty(100);
  {
    TerminalReport report([](int) { return std::string(); }, pty.out());
    report.OnEvent(PhaseEvent{"A", Transfer::kUpdate, 40});
    for (int done = 1; done <= 40; ++done) report.OnEvent(ProgressEvent{"A", done, 40, done * 128LL, done * 0.1});
    report.OnEvent(PhaseEndEvent{"A", 40, 40, 5120, 4.0});
  }
  const std::string screen = pty.Read();
  const auto bar = [](int filled) { return "[" + std::string(filled, '#') + std::string(30 - filled, '.') + "] "; };
  EXPECT_THAT(screen, ::testing::HasSubstr(bar(0) + "0/40 chunks\x1b[K"));  // no rate before there is one
  EXPECT_THAT(screen, ::testing::HasSubstr(bar(2) + "3/40 chunks, 1280 B/s, 4 s left\x1b[K"));
  EXPECT_THAT(screen, ::testing::HasSubstr(bar(15) + "21/40 chunks, 1280 B/s, 2 s left\x1b[K"));
  EXPECT_THAT(screen, ::testing::Not(::testing::HasSubstr("20/40")));  // at most four times a second
  // The last line keeps no time left and ends the bar's line.
  EXPECT_THAT(screen, ::testing::EndsWith(bar(30) + "40/40 chunks, 1280 B/s\x1b[K\r\n"));
  // Redrawn in place: every drawing starts at the line's start and clears what was left of it.
  const std::size_t draws = static_cast<std::size_t>(std::count(screen.begin(), screen.end(), '\r'));
  EXPECT_GE(draws, 10u);
  EXPECT_LE(draws, 20u);
}

}  // namespace
}  // namespace quillon::cli
