// The deliveries to the factory's systems, end to end: quillon-cli station and flash against
// quillon-devsim fixtures, delivering to a receiver the test runs (over HTTP, and over HTTPS with
// a certificate of the test's own authority) and to a drop folder.

#include <httplib.h>

#include <random>

#include "receiver.h"
#include "station_harness.h"

namespace quillon {
namespace {

using testing::Receiver;

class DeliveryE2eTest : public StationHarness {
 protected:
  std::string Drop() const { return (dir_.path() / "drop").string(); }

  // Every file of the drop folder, by name; each must be whole JSON.
  std::map<std::string, nlohmann::json> DropFiles() const {
    std::map<std::string, nlohmann::json> files;
    for (const auto& entry : std::filesystem::directory_iterator(Drop())) {
      const std::string name = entry.path().filename().string();
      if (name.front() == '.') continue;  // a writer's temporary file, never a *.json
      const auto json = nlohmann::json::parse(ReadFileBytes(entry.path()), nullptr, false);
      EXPECT_FALSE(json.is_discarded()) << name << " is not whole JSON";
      files[name] = json;
    }
    return files;
  }

  // The units of `history --json` (or of its arguments), in its order.
  std::vector<nlohmann::json> History(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"history", "--record", db(), "--json"};
    args.insert(args.end(), more.begin(), more.end());
    EXPECT_EQ(Cli(args), 0) << ReadFileBytes(dir_.path() / "tool.err");
    std::vector<nlohmann::json> rows;
    std::istringstream lines(Output());
    for (std::string line; std::getline(lines, line);) rows.push_back(nlohmann::json::parse(line));
    return rows;
  }

  std::string Uuid() const {
    std::string uuid = ReadFileBytes(db() + ".station-uuid");
    return uuid.substr(0, uuid.find_first_of("\r\n"));
  }
};

// A receiver that fails every way a factory's does, then goes away for a while and comes back:
// it ends with one object per unit under as many keys; the drop folder has one whole file per
// unit; the feed lists each unit once in the order they ended; the token is never printed.
TEST_F(DeliveryE2eTest, EveryUnitArrivesExactlyOnceWhateverTheReceiverDoes) {
  Receiver receiver([](int request) {
    switch (request) {
      case 1: return Receiver::Answer::kServerError;
      case 2: return Receiver::Answer::kDrop;
      case 3: return Receiver::Answer::kHang;
      case 4: return Receiver::Answer::kTooMany;
      default: return Receiver::Answer::kTaken;
    }
  });
  std::filesystem::create_directory(Drop());
  const pid_t fa = StartFixture("fa", {"--boards", "3"});
  const pid_t fb = StartFixture("fb", {"--boards", "3"});
  const pid_t station =
      StartStation({"--port", Port("fa"), "--port", Port("fb"), "--units", "6", "--upload", receiver.Url(),
                    "--upload-timeout", "1", "--upload-header", "Authorization: Bearer s3cret-token", "--drop-folder",
                    Drop()});
  // Away for three seconds once two units are kept.
  for (int i = 0; i < 900 && receiver.Stored().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  receiver.Down();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  receiver.Up();
  EXPECT_EQ(Wait(station), 0) << ReadFileBytes(dir_.path() / "cli.err");
  EXPECT_EQ(Finish(fa), 0);
  EXPECT_EQ(Finish(fb), 0);

  const auto stored = receiver.Stored();
  ASSERT_EQ(stored.size(), 6u);
  for (int id = 1; id <= 6; ++id) {
    const std::string key = Uuid() + "-" + std::to_string(id);
    ASSERT_EQ(stored.count(key), 1u) << key;
    const auto unit = nlohmann::json::parse(stored.at(key));
    EXPECT_EQ(unit["id"], id);
    EXPECT_EQ(unit["idempotency_key"], key);
    EXPECT_EQ(unit["result"], 205);
    EXPECT_EQ(unit["station_uuid"], Uuid());
    EXPECT_EQ(unit["image_sha256"].get<std::string>().size(), 64u);
  }
  for (const auto& request : receiver.Requests()) EXPECT_EQ(request.at("authorization"), "Bearer s3cret-token");
  EXPECT_GT(receiver.Requests().size(), 6u);  // the failures were tried again

  const auto files = DropFiles();
  ASSERT_EQ(files.size(), 6u);
  for (const auto& [name, unit] : files) {
    EXPECT_EQ(name, unit["station"].get<std::string>() + "-" + std::to_string(unit["id"].get<int>()) + ".json");
  }

  // The station said the receiver's trouble, and at its end that nothing waits.
  const auto events = Events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& e) {
    return Is(e, "output") && e["output"] == "upload" && e["state"] == "retrying";
  }));
  for (const char* output : {"upload", "drop-folder"}) {
    const auto last = std::find_if(events.rbegin(), events.rend(),
                                   [&](const auto& e) { return Is(e, "output") && e["output"] == output; });
    ASSERT_NE(last, events.rend()) << output;
    EXPECT_TRUE((*last)["ended"].get<bool>());
    EXPECT_EQ((*last)["waiting"], 0);
  }
  for (const char* out : {"cli.out", "cli.err"}) {
    EXPECT_EQ(ReadFileBytes(dir_.path() / out).find("s3cret"), std::string::npos) << out;
  }

  // The feed: every unit once, by completion number; after the third, the other three.
  const auto feed = History({"--after", "0"});
  ASSERT_EQ(feed.size(), 6u);
  std::set<int> ids;
  for (std::size_t i = 0; i < feed.size(); ++i) {
    EXPECT_EQ(feed[i]["seq"], i + 1);
    ids.insert(feed[i]["id"].get<int>());
  }
  EXPECT_EQ(ids.size(), 6u);
  const auto rest = History({"--after", "3"});
  ASSERT_EQ(rest.size(), 3u);
  EXPECT_EQ(rest[0]["id"], feed[3]["id"]);
  ASSERT_EQ(Cli({"history", "--record", db(), "--undelivered"}), 0);
  EXPECT_NE(Output().find("every unit has been delivered"), std::string::npos) << Output();
}

// A unit the receiver refuses for good waits for a person without holding up the next ones;
// once queued again it goes with the next run.
TEST_F(DeliveryE2eTest, ARefusedUnitWaitsForAPersonUntilItIsQueuedAgain) {
  std::atomic<bool> refuse{true};
  Receiver receiver([&refuse](int) { return refuse ? Receiver::Answer::kRefused : Receiver::Answer::kTaken; });
  const pid_t fixture = StartFixture("f1", {"--boards", "2"});
  const std::vector<std::string> run{"--port", Port("f1"), "--units", "1", "--upload", receiver.Url(),
                                     "--deliver-grace", "2"};
  EXPECT_EQ(Wait(StartStation(run)), 0);
  EXPECT_TRUE(receiver.Stored().empty());
  const std::string said = ReadFileBytes(dir_.path() / "cli.out");
  EXPECT_NE(said.find("\"state\":\"needs_person\""), std::string::npos) << said;
  const auto undelivered = History({"--undelivered"});
  ASSERT_EQ(undelivered.size(), 1u);
  EXPECT_EQ(undelivered[0]["id"], 1);
  EXPECT_TRUE(undelivered[0]["needs_person"].get<bool>());
  EXPECT_EQ(undelivered[0]["last_error"], "HTTP 422: no serial #1");
  // The receiver is mended; the unit is queued again and goes with the next run's own unit.
  refuse = false;
  ASSERT_EQ(Cli({"history", "--record", db(), "--redeliver", "1"}), 0);
  EXPECT_NE(Output().find("1 units queued again"), std::string::npos) << Output();
  EXPECT_EQ(Wait(StartStation(run)), 0);
  EXPECT_EQ(Finish(fixture), 0);
  const auto stored = receiver.Stored();
  EXPECT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored.count(Uuid() + "-1"), 1u);
  EXPECT_EQ(stored.count(Uuid() + "-2"), 1u);
}

// HTTPS to a receiver whose certificate comes from the factory's own authority: taken with
// --upload-ca, never without it; plain HTTP to a public address is refused before anything.
TEST_F(DeliveryE2eTest, HttpsIsVerifiedAgainstTheFactorysAuthority) {
  const auto key = dir_.path() / "key.pem", cert = dir_.path() / "cert.pem";
  ASSERT_EQ(RunShell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                     "subjectAltName=IP:127.0.0.1 -keyout '" + key.string() + "' -out '" + cert.string() +
                     "' >/dev/null 2>&1"),
            0);
  httplib::SSLServer server(cert.c_str(), key.c_str());
  std::mutex mutex;
  std::set<std::string> keys;
  server.Post("/units", [&](const httplib::Request& request, httplib::Response& response) {
    const std::lock_guard lock(mutex);
    keys.insert(request.get_header_value("Idempotency-Key"));
    response.status = 200;
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/units";

  const pid_t fixture = StartFixture("f1", {"--boards", "2"});
  auto flash = [&](const std::string& to, std::vector<std::string> more) {
    std::vector<std::string> args{"flash", "--yes", "--boot", kBoot, "--baud", "115200", "--ini",
                                  (dir_.path() / "q.ini").string(), "--log", (dir_.path() / "q.sts").string(),
                                  "--port", Port("f1"), "--record", db(), "--upload", to, "--deliver-grace", "2"};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(update_);
    return Cli(args, "flash");
  };
  EXPECT_EQ(flash(url, {"--upload-ca", cert.string()}), 0) << ReadFileBytes(dir_.path() / "flash.err");
  {
    const std::lock_guard lock(mutex);
    EXPECT_EQ(keys, (std::set<std::string>{Uuid() + "-1"}));
  }
  // The next board, by a station that does not name the authority.
  EXPECT_EQ(Wait(StartStation({"--port", Port("f1"), "--units", "1", "--upload", url, "--deliver-grace", "2"},
                              "plain")),
            0);
  EXPECT_EQ(Finish(fixture), 0);
  const std::string said = ReadFileBytes(dir_.path() / "plain.out");
  EXPECT_NE(said.find("certificate is not trusted"), std::string::npos) << said;
  EXPECT_NE(said.find("\"ended\":true"), std::string::npos) << said;
  {
    const std::lock_guard lock(mutex);
    EXPECT_EQ(keys.size(), 1u);
  }
  server.stop();
  serving.join();

  EXPECT_EQ(flash("http://8.8.8.8/units", {}), 2);
  EXPECT_NE(ReadFileBytes(dir_.path() / "flash.err").find("plain http:// goes only to a private address"),
            std::string::npos);
}

// A station killed at random moments and started again: the drop folder ends with one whole
// file per unit, the killed units' among them (INCOMPLETE), none twice.
TEST_F(DeliveryE2eTest, TheDropFolderSurvivesAStationKilledAtRandom) {
  std::filesystem::create_directory(Drop());
  const pid_t fixture = StartFixture("f1", {"--boards", "4"});
  std::mt19937 random(std::random_device{}());
  const std::vector<std::string> run{"--port", Port("f1"), "--drop-folder", Drop()};
  for (int kill = 0; kill < 2; ++kill) {
    // Killed at a random moment from the transfer's start to about its end (a unit's end and its
    // file included); a board left in the middle of its boot program would not answer again.
    const pid_t station = StartStation(run, "run" + std::to_string(kill));
    ASSERT_TRUE(AwaitEvent("run" + std::to_string(kill),
                           [](const auto& e) { return Is(e, "phase") && e.value("phase", "") == "transfer"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 2000)(random)));
    ::kill(station, SIGKILL);
    Wait(station);
  }
  // The last run takes the boards left; it ends once the fixture has none.
  const pid_t last = StartStation(run, "last");
  Finish(fixture);  // not 0: the killed stations left boards half written
  Stop(last);
  const auto units = History();
  const auto files = DropFiles();
  EXPECT_EQ(files.size(), units.size()) << ReadFileBytes(dir_.path() / "last.err");
  for (const auto& unit : units) {
    const std::string name = unit["station"].get<std::string>() + "-" + std::to_string(unit["id"].get<int>()) + ".json";
    ASSERT_EQ(files.count(name), 1u) << name;
    EXPECT_EQ(files.at(name)["result"], unit["result"]);
    EXPECT_EQ(files.at(name)["seq"], unit["seq"]);
  }
}

}  // namespace
}  // namespace quillon
