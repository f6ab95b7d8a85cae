#include "report/event_json.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon::report {

using namespace station;
namespace {

std::vector<nlohmann::json> Objects(const std::vector<Event>& events) {
  EventJson json;
  std::vector<nlohmann::json> objects;
  for (const auto& event : events) {
    if (auto object = json.Object(event)) objects.push_back(nlohmann::json::parse(JsonText(*object)));
  }
  return objects;
}

TEST(EventJsonTest, AFailedResultSaysWhereItStopped) {
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
  const auto objects = Objects({ResultEvent{failed}, ResultEvent{stopped}, SummaryEvent{{failed, stopped}, 130}});
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0], nlohmann::json::parse(
                            R"({"event":"result","port":"/dev/ttyUSB1","id":503,"interrupted":false,
    "ok":false,"seconds":12.346,"bytes":4242,"log":"/l/q-ttyUSB1.sts",
    "text":"バージョンアップファイルの転送に失敗しました。","text_en":"Sending the update file failed.",
    "reason":"Sending the update file failed. The update stopped in transfer, block 9 chunk 17.",
    "phase":"transfer","block":9,"chunk":17})"));
  EXPECT_TRUE(objects[1].at("id").is_null());
  EXPECT_EQ(objects[1].at("interrupted"), true);
  EXPECT_EQ(objects[1].at("phase"), "boot");
  EXPECT_FALSE(objects[1].contains("block"));
  EXPECT_EQ(objects[2], nlohmann::json::parse(R"({"event":"summary","ok":0,"failed":2,"exit":130})"));
}

// A rate and a time left wait for the second chunk (one chunk is mostly the line's start-up);
// the phase's end has its whole rate and nothing left.
TEST(ProgressViewTest, NoRateOrTimeLeftFromASingleChunk) {
  ProgressViews views(std::chrono::milliseconds(0));
  views.Begin(PhaseEvent{"A", Transfer::kUpdate, 10});
  const auto first = views.Step(ProgressEvent{"A", 1, 10, 128, 0.5});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bytes_per_second, 0);
  EXPECT_FALSE(first->seconds_left);
  const auto second = views.Step(ProgressEvent{"A", 2, 10, 256, 0.6});
  ASSERT_TRUE(second);
  EXPECT_NEAR(second->bytes_per_second, 256 / 0.6, 1e-9);
  ASSERT_TRUE(second->seconds_left);
  EXPECT_NEAR(*second->seconds_left, 0.6 * 8 / 2, 1e-9);
  const auto end = views.End(PhaseEndEvent{"A", 1, 10, 128, 0.5});
  EXPECT_NEAR(end.bytes_per_second, 256.0, 1e-9);
  EXPECT_FALSE(end.seconds_left);
}

// A station's unit: every event of the port carries the unit from its board until the port
// waits again; other ports' events do not. A port whose device is gone says so while it waits.
TEST(EventJsonTest, AStationUnitsEventsCarryItsId) {
  PortResult done;
  done.port = "A";
  done.id = 205;
  done.unit = 7;
  done.serial_number = "1000";
  EventJson json;
  std::vector<std::string> lines;
  for (const Event& event : std::vector<Event>{
           WaitingEvent{"A", true}, WaitingEvent{"A"}, BoardEvent{"A", 7, std::string("1000")},
           PhaseEvent{"A", Transfer::kUpdate, 2}, PhaseEvent{"B", Transfer::kBootProgram, 2},
           ProgressEvent{"A", 2, 2, 256, 0.2}, ResultEvent{done}, WaitingEvent{"A"},
           StationSummaryEvent{{{"A", 1, 0, 0}}, 1, 0, 0, 0}}) {
    if (auto object = json.Object(event)) lines.push_back(JsonText(*object));
  }
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], R"({"event":"waiting","port":"A","missing":true})");
  EXPECT_EQ(lines[1], R"({"event":"waiting","port":"A"})");
  EXPECT_EQ(lines[2], R"({"event":"board","port":"A","unit":7,"serial_number":"1000"})");
  // The key order users see: "unit" right after "port".
  EXPECT_EQ(lines[3], R"({"event":"phase","port":"A","unit":7,"phase":"transfer","total":2})");
  EXPECT_EQ(lines[4], R"({"event":"phase","port":"B","phase":"boot","total":2})");
  EXPECT_EQ(nlohmann::json::parse(lines[5]).at("unit"), 7);
  EXPECT_EQ(nlohmann::json::parse(lines[6]).at("unit"), 7);
  EXPECT_EQ(nlohmann::json::parse(lines[6]).at("serial_number"), "1000");
  EXPECT_FALSE(nlohmann::json::parse(lines[7]).contains("unit"));
  EXPECT_EQ(nlohmann::json::parse(lines[8]), nlohmann::json::parse(R"({"event":"summary","passed":1,"failed":0,
    "interrupted":0,"ports":[{"port":"A","passed":1,"failed":0,"interrupted":0}],"exit":0})"));
}

// Progress is shown at most every quarter second while chunks go out, always at the last
// chunk, and once more at a phase's end only when that chunk was not shown yet.
TEST(EventJsonTest, ProgressIsThinnedButItsEndIsAlwaysShown) {
  const auto objects = Objects({PhaseEvent{"A", Transfer::kUpdate, 100}, ProgressEvent{"A", 1, 100, 128, 0.01},
                                ProgressEvent{"A", 2, 100, 256, 0.02}, PhaseEndEvent{"A", 2, 100, 256, 0.02},
                                PhaseEndEvent{"A", 2, 100, 256, 0.02}, ProgressEvent{"A", 100, 100, 12800, 1},
                                PhaseEndEvent{"A", 100, 100, 12800, 1}});
  std::vector<int> done;
  for (const auto& object : objects) {
    if (object.at("event") == "progress") done.push_back(object.at("done"));
  }
  EXPECT_EQ(done, (std::vector<int>{2, 100}));
}

}  // namespace
}  // namespace quillon::report

namespace quillon::report {
namespace {

// The text holds `said` in this order and none of `not_said`.
void ExpectWords(const std::string& text, const std::vector<const char*>& said, const std::vector<const char*>& not_said) {
  std::size_t at = 0;
  for (const char* part : said) {
    at = text.find(part, at);
    EXPECT_NE(at, std::string::npos) << part << " not in: " << text;
  }
  for (const char* part : not_said) EXPECT_EQ(text.find(part), std::string::npos) << part << " in: " << text;
}

struct LinkCase {
  const char* name;
  station::RecordServerEvent link;
  bool waiting_for_server;
  std::vector<const char*> said;      ///< in the text, in this order
  std::vector<const char*> not_said;  ///< nowhere in it
};

void PrintTo(const LinkCase& c, std::ostream* out) { *out << c.name; }

class RecordServerWordsTest : public ::testing::TestWithParam<LinkCase> {};

// What a person reads of the link: the server's place and state, the rows still to send, the
// numbers left, and the wait for the server only when it is away and the lease is used up.
TEST_P(RecordServerWordsTest, SaysWhatTheStationCanDo) {
  const auto& c = GetParam();
  const auto objects = Objects({c.link});
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0]["event"], "record_server");
  EXPECT_EQ(objects[0]["waiting_for_server"], c.waiting_for_server);
  ExpectWords(objects[0]["text"], c.said, c.not_said);
}

station::RecordServerEvent Link(bool connected, int rows, std::optional<std::uint64_t> left, bool ended = false) {
  station::RecordServerEvent link;
  link.server = "db:5432/q";
  link.connected = connected;
  if (!connected) link.offline_since_utc = "2026-12-08T06:00:00.000Z", link.error = "connection refused";
  link.rows_waiting = rows;
  if (rows > 0) link.oldest_utc = "2026-12-08T06:00:01.000Z";
  link.numbers_left = left;
  link.ended = ended;
  return link;
}

INSTANTIATE_TEST_SUITE_P(
    Links, RecordServerWordsTest,
    ::testing::Values(
        LinkCase{"connected", Link(true, 0, 12), false, {"db:5432/q: connected", "12 serial numbers left"}, {"wait"}},
        LinkCase{"away_with_numbers", Link(false, 3, 5), false,
                 {"away since 2026-12-08T06:00:00.000Z", "connection refused", "3 rows wait", "5 serial numbers"},
                 {"waiting for the record server"}},
        LinkCase{"away_used_up", Link(false, 4, 0), true, {"4 rows wait", "0 serial numbers", "waiting for the record server"}, {}},
        LinkCase{"rows_only", Link(true, 2, std::nullopt), false, {"2 rows wait"}, {"serial numbers"}},
        LinkCase{"ended_with_rows_left", Link(false, 7, 0, true), false, {"7 rows wait", "next start sends them"},
                 {"waiting for the record server"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::report

namespace quillon::report {
namespace {

struct OutputCase {
  const char* name;
  station::OutputEvent output;
  const char* state;
  std::vector<const char*> said;      ///< in the text, in this order
  std::vector<const char*> not_said;  ///< nowhere in it
};

void PrintTo(const OutputCase& c, std::ostream* out) { *out << c.name; }

class OutputWordsTest : public ::testing::TestWithParam<OutputCase> {};

// What a person reads of an output: where it is, what waits and since when, why the last try
// failed, the units that need a person, and at the end where the rest goes.
TEST_P(OutputWordsTest, SaysWhatWaitsAndWhy) {
  const auto& c = GetParam();
  const auto objects = Objects({c.output});
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0]["event"], "output");
  EXPECT_EQ(objects[0]["state"], c.state);
  EXPECT_EQ(objects[0]["waiting"], c.output.waiting);
  EXPECT_EQ(objects[0]["needs_person"], c.output.stopped);
  ExpectWords(objects[0]["text"], c.said, c.not_said);
}

station::OutputEvent Output(bool failing, int waiting, int stopped, bool ended = false, const char* output = "upload") {
  station::OutputEvent event;
  event.output = output;
  event.where = output == std::string("upload") ? "https://mes/u" : "/srv/drop";
  event.failing = failing;
  event.error = failing ? "HTTP 503" : stopped > 0 ? "HTTP 422: no serial" : "";
  event.waiting = waiting;
  if (waiting > 0) event.oldest_utc = "2026-12-08T06:00:01.000Z";
  event.stopped = stopped;
  event.ended = ended;
  return event;
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OutputWordsTest,
    ::testing::Values(
        OutputCase{"all_delivered", Output(false, 0, 0), "delivering", {"upload to https://mes/u", "every unit delivered"},
                   {"wait"}},
        OutputCase{"delivering", Output(false, 3, 0, false, "drop-folder"), "delivering",
                   {"drop folder /srv/drop", "3 units wait", "2026-12-08T06:00:01.000Z"}, {"failed", "person"}},
        OutputCase{"failing", Output(true, 4, 0), "retrying", {"4 units wait", "failed: HTTP 503", "tried again"},
                   {"person"}},
        OutputCase{"refused", Output(false, 0, 2), "needs_person",
                   {"every unit delivered", "2 units were refused", "history --undelivered", "HTTP 422: no serial"}, {}},
        OutputCase{"ended_with_units_left", Output(true, 5, 1, true), "needs_person",
                   {"5 units wait", "1 units were refused", "next start, or history --redeliver"}, {"422"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::report
