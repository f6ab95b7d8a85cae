#include "page/live_page.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/system.h"
#include "report/station_view.h"
#include "page/viewers.h"
#include "testing/temp_dir.h"

namespace quillon::page {

using namespace station;  // the events the tests feed
namespace {

struct HostCase {
  const char* host;
  const char* listening;
  bool allowed;
};

class HostAllowedTest : public ::testing::TestWithParam<HostCase> {};

// The machine "line-3" with the addresses 10.1.2.3 and fe80::1 beside loopback, on port 8080.
TEST_P(HostAllowedTest, OnlyThisServersOwnNamesAreAnswered) {
  const HostCase& c = GetParam();
  const Listening listening{c.listening, 8080, "line-3", {"127.0.0.1", "::1", "10.1.2.3", "fe80::1"}};
  EXPECT_EQ(HostAllowed(c.host, listening), c.allowed) << c.host << " listening on " << c.listening;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, HostAllowedTest,
    ::testing::Values(HostCase{"127.0.0.1:8080", "127.0.0.1", true}, HostCase{"localhost:8080", "127.0.0.1", true},
                      HostCase{"LocalHost", "127.0.0.1", true}, HostCase{"line-3:8080", "127.0.0.1", true},
                      HostCase{"LINE-3", "127.0.0.1", true},
                      // A name an attacker's DNS may point at this machine.
                      HostCase{"evil.example:8080", "127.0.0.1", false},
                      HostCase{"line-3.evil.example", "127.0.0.1", false},
                      HostCase{"localhost.evil.example", "0.0.0.0", false},
                      HostCase{"10.1.2.3:8080", "127.0.0.1", false}, HostCase{"", "127.0.0.1", false},
                      // The part after the colon is the listening port or nothing.
                      HostCase{"localhost:evil.com", "127.0.0.1", false}, HostCase{"localhost:8081", "127.0.0.1", false},
                      HostCase{"localhost:", "127.0.0.1", false}, HostCase{"127.0.0.1:8080:1", "127.0.0.1", false},
                      HostCase{"[::1]:evil", "::1", false}, HostCase{"::1", "::1", false},
                      // --http localhost:PORT answers to either loopback address.
                      HostCase{"127.0.0.1:8080", "localhost", true}, HostCase{"[::1]:8080", "localhost", true},
                      HostCase{"10.1.2.3", "localhost", false},
                      // Listening on every address: the machine's own addresses, not any address.
                      HostCase{"10.1.2.3:8080", "0.0.0.0", true}, HostCase{"[fe80::1]:8080", "::", true},
                      HostCase{"[FE80::0001]", "::", true}, HostCase{"10.9.9.9:8080", "0.0.0.0", false},
                      HostCase{"[2001:db8::7]", "::", false},
                      HostCase{"[::1]:8080", "::1", true}, HostCase{"192.168.0.9", "192.168.0.9", true},
                      HostCase{"192.168.0.10", "192.168.0.9", false}));

TEST(PageLanguageTest, JapaneseOnlyWhenTheBrowserPrefersIt) {
  EXPECT_EQ(PageLanguage("ja"), "ja");
  EXPECT_EQ(PageLanguage("ja-JP,ja;q=0.9,en-US;q=0.8"), "ja");
  EXPECT_EQ(PageLanguage("en-US,ja;q=0.8"), "en");
  EXPECT_EQ(PageLanguage("fr-FR, ja;q=0.5"), "ja");
  EXPECT_EQ(PageLanguage("en;q=0.4, ja;q=0.6"), "ja");
  EXPECT_EQ(PageLanguage("*"), "en");
  EXPECT_EQ(PageLanguage(""), "en");
  EXPECT_EQ(PageLanguage("de"), "en");
  EXPECT_EQ(PageLanguage("ja;q=0"), "en");
}

TEST(PageHtmlTest, ThePageIsSelfContainedInEitherLanguage) {
  for (const char* language : {"en", "ja"}) {
    const std::string html = PageHtml(language);
    EXPECT_NE(html.find(std::string("<html lang=\"") + language + "\">"), std::string::npos);
    EXPECT_EQ(html.find("%LANG%"), std::string::npos);
    // Nothing from elsewhere: the page works with no network.
    for (const char* outside : {"http://", "https://", "src=\"", "@import"}) {
      EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    }
  }
}

PortResult Result(const std::string& port, int id, RunPhase phase = RunPhase::kDone) {
  PortResult result;
  result.port = port;
  result.id = id;
  result.unit = 1;
  result.stop = {phase, 3, 9};
  return result;
}

TEST(StationViewTest, ATileGoesFromWaitingThroughItsTransferToItsResultAndKeepsItUntilTheNextBoard) {
  const auto start = StationView::Clock::now();
  // The operator's next step after a failed unit, as the command line words it, in each language.
  auto next_step = [](const PortResult& result, Language language) {
    return std::string(language == Language::kJapanese ? "ja " : "en ") + std::to_string(result.id);
  };
  StationView state({{{"A", "FT232R"}, {"B", ""}}, "/u/update.mot", std::string(64, 'c'), "line-3", "1.04", next_step},
                    start);
  auto tile = [&](int i) { return state.Json(start + std::chrono::hours(1)).at("ports").at(i); };
  state.OnEvent(WaitingEvent{"A"});
  EXPECT_EQ(tile(0).at("state"), "waiting");
  state.OnEvent(BoardEvent{"A", 7, std::string("1000")});
  state.OnEvent(PhaseEvent{"A", Transfer::kUpdate, 40});
  // Progress changes the tile's numbers, not its state: no tile event for it.
  EXPECT_FALSE(state.OnEvent(ProgressEvent{"A", 10, 40, 1280, 1.0}));
  EXPECT_EQ(tile(0).at("state"), "transfer");
  EXPECT_EQ(tile(0).at("done"), 10);
  EXPECT_EQ(tile(0).at("bytes_per_second"), 1280);
  EXPECT_EQ(tile(0).at("seconds_left"), 3);
  // What the page's script draws: the tile after the event that changed it, with the totals.
  const auto drawn = state.TileJson("A", start);
  EXPECT_EQ(drawn.at("event"), "tile");
  EXPECT_EQ(drawn.at("tile"), tile(0));
  EXPECT_TRUE(drawn.at("totals").contains("units_per_hour"));
  state.OnEvent(ProgressEvent{"A", 11, 40, 1408, 1.1});  // too soon after the last shown
  EXPECT_EQ(tile(0).at("done"), 10);
  EXPECT_EQ(tile(0).at("serial_number"), "1000");
  state.OnEvent(ResultEvent{Result("A", 503, RunPhase::kTransfer)});
  state.OnEvent(WaitingEvent{"A"});
  EXPECT_EQ(tile(0).at("state"), "waiting");
  EXPECT_EQ(tile(0).at("last").at("id"), 503);
  EXPECT_EQ(tile(0).at("last").at("text"), MessageText(503));
  EXPECT_EQ(tile(0).at("last").at("text_en"), "Sending the update file failed.");
  EXPECT_EQ(tile(0).at("last").at("block"), 3);
  EXPECT_EQ(tile(0).at("last").at("next"), "en 503");
  EXPECT_EQ(tile(0).at("last").at("next_ja"), "ja 503");
  EXPECT_EQ(tile(0).at("failed"), 1);
  // --on-result failed for that unit: on its tile with its result; another unit's is not.
  station::WarningEvent hook{"A", station::WarningEvent::Kind::kResultCommandFailed, "light.sh", {}};
  hook.unit = 2;
  EXPECT_FALSE(state.OnEvent(hook));
  hook.unit = 1;
  hook.command = {ChildOutcome::Kind::kExited, 3, ""};
  EXPECT_TRUE(state.OnEvent(hook));
  EXPECT_EQ(tile(0).at("last").at("on_result"), "--on-result for unit 1: light.sh ended with exit status 3; the unit's result stands");
  EXPECT_NE(tile(0).at("last").at("on_result_ja").get<std::string>().find("light.sh"), std::string::npos);
  state.OnEvent(BoardEvent{"A", 8, std::nullopt});
  EXPECT_TRUE(tile(0).at("last").is_null());
  state.OnEvent(ResultEvent{Result("A", kMsgUpdateFinished)});
  EXPECT_FALSE(tile(0).at("last").contains("next"));  // a passed unit needs nothing
  state.OnEvent(WaitingEvent{"B", true});
  EXPECT_EQ(tile(1).at("state"), "missing");
  const auto whole = state.Json(start + std::chrono::hours(1));
  EXPECT_EQ(whole.at("totals").at("passed"), 1);
  EXPECT_EQ(whole.at("totals").at("failed"), 1);
  EXPECT_EQ(whole.at("totals").at("units_per_hour"), 2.0);
  EXPECT_EQ(whole.at("totals").at("units"), 2);
  EXPECT_EQ(whole.at("totals").at("minutes"), 60);
  EXPECT_TRUE(whole.at("totals").at("rate_shown").get<bool>());
  const auto early = state.Json(start + std::chrono::seconds(539)).at("totals");
  EXPECT_EQ(early.at("minutes"), 9);
  EXPECT_FALSE(early.at("rate_shown").get<bool>());
  EXPECT_EQ(state.Json(start + std::chrono::seconds(5)).at("totals").at("minutes"), 1);
  EXPECT_EQ(whole.at("station").at("uptime_seconds"), 3600);
  EXPECT_EQ(whole.at("ports").at(0).at("adapter"), "FT232R");
}

// A unit the station's stop interrupted, and the station's halt: the tile shows the
// interruption, not the transfer it stopped in, and the station says why it takes no boards.
TEST(StationViewTest, AnInterruptedUnitAndAHaltAreStatesThatEnd) {
  const auto start = StationView::Clock::now();
  StationView state({{{"A", ""}}, "/u/update.mot", std::string(64, 'c'), "line-3", "1.04", {}}, start);
  state.OnEvent(BoardEvent{"A", 7, std::nullopt});
  state.OnEvent(PhaseEvent{"A", Transfer::kUpdate, 40});
  PortResult interrupted;
  interrupted.port = "A";
  interrupted.unit = 7;
  interrupted.interrupted = true;
  state.OnEvent(ResultEvent{interrupted});
  state.OnEvent(HaltEvent{HaltEvent::Reason::kRecordsMoved, "runs.db was deleted"});
  state.OnEvent(StationSummaryEvent{});
  const auto whole = state.Json(start);
  const auto& tile = whole.at("ports").at(0);
  EXPECT_EQ(tile.at("state"), "done");
  EXPECT_EQ(tile.at("last").at("interrupted"), true);
  EXPECT_EQ(whole.at("station").at("ended"), true);
  EXPECT_EQ(whole.at("station").at("halt"), "the run records cannot be kept: runs.db was deleted");
}

// A port that waits for the record server says so on its tile, and the station's state carries
// the link for the page's figure; a station without a fleet has none.
TEST(StationViewTest, TheRecordServersLinkAndAPortWaitingForItAreShown) {
  const auto start = StationView::Clock::now();
  StationView state({{{"A", ""}}, "/u/update.mot", std::string(64, 'c'), "line-3", "1.04", {}}, start);
  EXPECT_TRUE(state.Json(start).at("station").at("record_server").is_null());
  RecordServerEvent away;
  away.server = "db:5432/q";
  away.offline_since_utc = "2026-12-08T06:00:00.000Z";
  away.rows_waiting = 3;
  away.numbers_left = 0;
  EXPECT_FALSE(state.OnEvent(away));
  EXPECT_EQ(state.OnEvent(WaitingEvent{"A", false, true}), "A");
  const auto whole = state.Json(start);
  EXPECT_EQ(whole.at("ports").at(0).at("state"), "record_server");
  const auto& link = whole.at("station").at("record_server");
  EXPECT_EQ(link.at("connected"), false);
  EXPECT_EQ(link.at("rows_waiting"), 3);
  EXPECT_EQ(link.at("waiting_for_server"), true);
}

TEST(ViewersTest, ASlowViewerLosesOnlyItsOwnEventsAndIsToldSo) {
  Viewers viewers(2, 10);
  auto slow = viewers.Join();
  auto quick = viewers.Join();
  ASSERT_TRUE(slow && quick);
  EXPECT_EQ(viewers.Join(), nullptr);  // a third is one too many
  viewers.Publish("12345");
  EXPECT_EQ(viewers.Next(*quick, std::chrono::milliseconds(0)).lines, std::vector<std::string>{"12345"});
  viewers.Publish("678901");  // the slow one's queue holds 10 bytes
  const auto quick_batch = viewers.Next(*quick, std::chrono::milliseconds(0));
  EXPECT_EQ(quick_batch.lines, std::vector<std::string>{"678901"});
  EXPECT_FALSE(quick_batch.dropped);
  const auto slow_batch = viewers.Next(*slow, std::chrono::milliseconds(0));
  EXPECT_EQ(slow_batch.lines, std::vector<std::string>{"12345"});
  EXPECT_TRUE(slow_batch.dropped);
  viewers.Leave(slow);
  EXPECT_NE(viewers.Join(), nullptr);
  // What was queued when the station ended still goes out, even while a viewer gathers lines.
  Viewers gathering(1, 1024, std::chrono::seconds(30));
  auto last = gathering.Join();
  gathering.Publish("result");
  std::thread end([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gathering.Close();
  });
  const auto final_batch = gathering.Next(*last, std::chrono::seconds(30));
  end.join();
  EXPECT_TRUE(final_batch.closed);
  EXPECT_EQ(final_batch.lines, std::vector<std::string>{"result"});
}

// A connection to the page that sends `request` and reads what comes back for up to `wait`.
class Connection {
 public:
  Connection(int port, const std::string& request) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && !request.empty()) {
      (void)!::write(fd_, request.data(), request.size());
    }
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Send(const std::string& bytes) { (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  /// Whether the other end closed (seen by the last Read).
  bool closed() const { return closed_; }

  /// What came back once `until` is in it, the connection closed or `wait` passed.
  std::string Read(const std::string& until, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    timeval tv{0, 50000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const auto end = std::chrono::steady_clock::now() + wait;
    while (received_.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closed_ = true;
        break;
      }
      if (n > 0) received_.append(buffer, static_cast<std::size_t>(n));
    }
    return received_;
  }

 private:
  int fd_ = -1;
  std::string received_;
  bool closed_ = false;
};

std::string Get(const std::string& path, const std::string& host = "localhost", const std::string& more = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + more + "Connection: close\r\n\r\n";
}

class LivePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    records_ = RunRecords::Open((dir_.path() / "runs.db").string(), error);
    ASSERT_TRUE(records_) << error;
    records::SerialDraw draw;
    draw.first = 100;
    draw.text = [](std::uint64_t n) -> std::optional<std::string> { return std::to_string(n); };
    for (int i = 0; i < 3; ++i) {
      UnitRow row;
      row.port = "A";
      row.started_utc = records::UtcNow();
      ASSERT_GT(records_->BeginUnit(row, &draw, error), 0) << error;
    }
    page_ = std::make_unique<LivePage>(StationFacts{{{"A", ""}}, "/u/update.mot", std::string(64, 'c'), "s", "1.04", {}},
                                       records_.get());
    page_->Subscribe(events_);
    ASSERT_TRUE(page_->Start("127.0.0.1", 0, error)) << error;
    port_ = page_->port();
  }

  std::string Answer(const std::string& request, const std::string& until = "\r\n\r\n") {
    Connection connection(port_, request);
    return connection.Read(until);
  }

  testing::TempDir dir_;
  std::unique_ptr<RunRecords> records_;
  std::string error_;
  EventStream events_;
  std::unique_ptr<LivePage> page_;
  int port_ = 0;
};

TEST_F(LivePageTest, NothingButReadingIsAllowed) {
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    const std::string answer = Answer(std::string(method) + " / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 405", 0), 0u) << method << ": " << answer;
    EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos) << method;
  }
  const std::string health = Answer(Get("/healthz"), "\r\n\r\nok");
  EXPECT_EQ(health.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(health.substr(health.find("\r\n\r\n") + 4), "ok");
  EXPECT_EQ(Answer(Get("/nothing")).rfind("HTTP/1.1 404", 0), 0u);
}

TEST_F(LivePageTest, AnUnknownMethodAndTwoHostHeadersAreRefused) {
  for (const char* method : {"FOO", "PROPFIND", "BREW"}) {
    const std::string answer = Answer(std::string(method) + " / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 405", 0), 0u) << method << ": " << answer;
    EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos) << method;
  }
  EXPECT_EQ(Answer("GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\nConnection: close\r\n\r\n")
                .rfind("HTTP/1.1 400", 0),
            0u);
  EXPECT_EQ(Answer(Get("/", "localhost:evil.com")).rfind("HTTP/1.1 421", 0), 0u);
}

// Clients that dribble, or too many of them, hold neither the page nor the station's end.
TEST_F(LivePageTest, SlowClientsHoldNothing) {
  // A head that has not arrived whole after 5 s is dropped, however steadily it dribbles.
  Connection dribbling(port_, "GET /healthz HTTP/1.1\r\n");
  const auto began = std::chrono::steady_clock::now();
  std::string got;
  for (int i = 0; i < 40 && got.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    dribbling.Send("X");
    got = dribbling.Read("\r\n", std::chrono::milliseconds(50));
    if (dribbling.closed()) break;
  }
  const auto held = std::chrono::steady_clock::now() - began;
  EXPECT_TRUE(dribbling.closed());
  EXPECT_TRUE(got.empty()) << got;
  EXPECT_GE(held, std::chrono::milliseconds(4900));
  EXPECT_LT(held, std::chrono::milliseconds(7000));

  // 64 silent connections at once: the 65th is closed at once.
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<Connection>(port_, ""));
  for (int i = 0; i < 100 && page_->open_connections() < 64; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(page_->open_connections(), 64);
  Connection extra(port_, Get("/healthz"));
  extra.Read("ok", std::chrono::seconds(1));
  EXPECT_TRUE(extra.closed());

  // With 40 of them still there, the page answers.
  idle.resize(40);
  for (int i = 0; i < 200 && page_->open_connections() > 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Answer(Get("/healthz"), "\r\n\r\nok").rfind("HTTP/1.1 200", 0), 0u);

  // The page ends within half a second whatever its clients do: streams, dribblers, silent ones.
  std::vector<std::unique_ptr<Connection>> streams;
  for (int i = 0; i < 8; ++i) {
    streams.push_back(std::make_unique<Connection>(port_, Get("/events")));
    streams.back()->Read("retry: 2000");
  }
  const auto stop = std::chrono::steady_clock::now();
  page_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(500));
}

TEST_F(LivePageTest, AnotherHostNameIsRefused) {
  EXPECT_EQ(Answer(Get("/api/state", "evil.example:80")).rfind("HTTP/1.1 421", 0), 0u);
  EXPECT_EQ(Answer(Get("/", "127.0.0.1:" + std::to_string(port_))).rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Answer(Get("/", HostName())).rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Answer("GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 421", 0), 0u);  // no Host at all
}

TEST_F(LivePageTest, ThePageSpeaksTheBrowsersLanguage) {
  EXPECT_NE(Answer(Get("/", "localhost", "Accept-Language: ja,en;q=0.5\r\n"), "</html>").find("<html lang=\"ja\">"),
            std::string::npos);
  EXPECT_NE(Answer(Get("/", "localhost", "Accept-Language: en-GB\r\n"), "</html>").find("<html lang=\"en\">"),
            std::string::npos);
}

TEST_F(LivePageTest, UnitsAfterAnIdComeFromTheRecordsAndNothingElseReachesThem) {
  auto body = [](const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); };
  const auto after = nlohmann::json::parse(body(Answer(Get("/api/units?since=1"), "]")));
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].at("id"), 2);
  EXPECT_EQ(after[1].at("serial_number"), "102");
  EXPECT_TRUE(after[1].at("result").is_null());
  for (const char* bad : {"/api/units", "/api/units?since=-1", "/api/units?since=1%20OR%201", "/api/units?since=1%3BDROP%20TABLE%20units", "/api/units?since=x",
                          "/api/units?since=99999999999999999999"}) {
    const std::string answer = Answer(Get(bad));
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << bad << ": " << answer;
  }
  const auto state = nlohmann::json::parse(body(Answer(Get("/api/state"), "\"units\"")).substr(0));
  EXPECT_EQ(state.at("units").size(), 3u);
  EXPECT_EQ(state.at("units")[0].at("id"), 3);  // newest first
}

// A collector that remembers the last completion number gets every unit that ended since, in
// the order they ended, whatever their ids; a unit still running is not among them.
TEST_F(LivePageTest, UnitsAfterACompletionNumberComeInTheOrderTheyEnded) {
  auto body = [](const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); };
  auto end = [this](std::int64_t id) {
    auto row = records_->History({}, error_)[static_cast<std::size_t>(3 - id)];
    row.ended_utc = records::UtcNow();
    row.result = 205;
    row.ok = 1;
    ASSERT_TRUE(records_->EndUnit(row, error_)) << error_;
  };
  EXPECT_EQ(body(Answer(Get("/api/units?after=0"), "]")), "[]");
  end(3);
  end(1);
  const auto first = nlohmann::json::parse(body(Answer(Get("/api/units?after=0"), "]")));
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].at("id"), 3);
  EXPECT_EQ(first[0].at("seq"), 1);
  EXPECT_EQ(first[1].at("id"), 1);
  end(2);
  const auto next = nlohmann::json::parse(body(Answer(Get("/api/units?after=2"), "]")));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].at("id"), 2);
  EXPECT_EQ(next[0].at("seq"), 3);
  for (const char* bad : {"/api/units?after=x", "/api/units?after=-2", "/api/units?after=1&since=1"}) {
    EXPECT_EQ(Answer(Get(bad)).rfind("HTTP/1.1 400", 0), 0u) << bad;
  }
}

TEST_F(LivePageTest, TheStreamCarriesTheEventsAndTheThirtyThirdViewerIsTurnedAway) {
  std::vector<std::unique_ptr<Connection>> streams;
  for (int i = 0; i < kMostViewers; ++i) {
    streams.push_back(std::make_unique<Connection>(port_, Get("/events")));
    ASSERT_NE(streams.back()->Read("retry: 2000").find("text/event-stream"), std::string::npos) << i;
  }
  Connection extra(port_, Get("/events"));
  EXPECT_EQ(extra.Read("\r\n\r\n").rfind("HTTP/1.1 503", 0), 0u);
  events_.Publish(BoardEvent{"A", 9, std::string("1009")});
  EXPECT_NE(streams.front()->Read("1009").find(R"(data: {"event":"board","port":"A","unit":9,"serial_number":"1009"})"),
            std::string::npos);
  EXPECT_NE(streams.back()->Read("1009").find("1009"), std::string::npos);
  // A viewer that leaves makes room for the next.
  streams.pop_back();
  std::string answer;
  for (int i = 0; i < 100 && answer.rfind("HTTP/1.1 200", 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Connection again(port_, Get("/events"));
    answer = again.Read("\r\n\r\n");
  }
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u);
}

}  // namespace
}  // namespace quillon::page
