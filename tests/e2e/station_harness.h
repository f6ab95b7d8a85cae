#pragma once
// What the station's end-to-end tests share: an update file whose blocks the stamp's address is
// in, quillon-devsim fixtures serving board after board, quillon-cli station started with them,
// and what they leave behind (rows, events, each board's flash).

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace quillon {

using testing::ReadFileBytes;
using testing::RunShell;
using testing::Spawn;
using testing::TempDir;
using testing::Wait;

inline const std::string kBoot = QUILLON_EXAMPLES "/nivaload.sub";

class StationHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    // 2 KB at 0 and 1 KB at 0x3F000: the stamp at 0x3FF00 lands in a block the update also uses.
    ASSERT_EQ(RunShell("cd '" + dir_.path().string() + "' && head -c 3072 /dev/urandom > data.bin && "
                       "srec_cat data.bin -binary -crop 0 0x800 data.bin -binary -crop 0x800 0xC00 -offset 0x3E800 "
                       "-o update.mot -motorola -address-length=4 -disable=data-count -crlf >/dev/null 2>&1"),
              0);
    update_ = (dir_.path() / "update.mot").string();
    ASSERT_EQ(RunShell("srec_cat '" + update_ + "' -fill 0xFF 0 0x40000 -crop 0 0x40000 -o '" +
                       (dir_.path() / "image.bin").string() + "' -binary"),
              0);
    image_ = ReadFileBytes(dir_.path() / "image.bin");
    ASSERT_EQ(image_.size(), 0x40000u);
  }

  pid_t StartFixture(const std::string& name, std::vector<std::string> extra) {
    const std::string link = (dir_.path() / name).string();
    std::vector<std::string> args{QUILLON_DEVSIM, "--link", link, "--swap-ms", "1200", "--flash-out",
                                  (dir_.path() / (name + ".bin")).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = Spawn(args, dir_.path() / (name + ".out"), dir_.path() / (name + ".err"));
    started_.push_back(pid);
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
  }

  pid_t StartStation(std::vector<std::string> extra, const std::string& out = "cli", const std::string& record = "") {
    std::vector<std::string> args{QUILLON_CLI, "station", "--boot", kBoot, "--baud", "115200", "--ini",
                                  (dir_.path() / "q.ini").string(), "--log", (dir_.path() / "q.sts").string(),
                                  "--record", record.empty() ? db() : record, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(update_);
    const pid_t pid = Spawn(args, dir_.path() / (out + ".out"), dir_.path() / (out + ".err"));
    started_.push_back(pid);
    return pid;
  }

  // A test that stopped half way leaves no fixture or station behind.
  void TearDown() override {
    for (const pid_t pid : started_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }

  static void Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    Wait(pid);
  }

  // A fixture ends once the station let go of its last board; one that does not within a
  // minute is stopped, and the test fails.
  static int Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 600; ++i) {
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ADD_FAILURE() << "a fixture never ended";
    return Wait(pid);
  }

  // A run-records database as an earlier version made it (the sqlite3 program), then `more`.
  bool MakeRecords(const std::string& more) const {
    return RunShell("sqlite3 '" + db() +
                    "' \"CREATE TABLE units (id INTEGER PRIMARY KEY, station TEXT NOT NULL, port TEXT NOT NULL, "
                    "adapter TEXT, operator TEXT, started_utc TEXT NOT NULL, ended_utc TEXT, seconds REAL, update_file "
                    "TEXT NOT NULL, image_sha256 TEXT NOT NULL, boot_sha256 TEXT NOT NULL, serial_number TEXT, "
                    "bytes_sent INTEGER NOT NULL DEFAULT 0, result INTEGER, ok INTEGER NOT NULL DEFAULT 0, stop_phase "
                    "TEXT, stop_block INTEGER, stop_chunk INTEGER, records TEXT NOT NULL DEFAULT '', quillon_version "
                    "TEXT NOT NULL); " +
                    more + "\"") == 0;
  }

  int Cli(std::vector<std::string> args, const std::string& out = "tool") {
    args.insert(args.begin(), QUILLON_CLI);
    return Wait(Spawn(args, dir_.path() / (out + ".out"), dir_.path() / (out + ".err")));
  }
  std::string Output(const std::string& out = "tool") const { return ReadFileBytes(dir_.path() / (out + ".out")); }

  // Waits for an event of the station's JSON Lines that `match` accepts (its lines so far;
  // a line being written is skipped); false after a minute.
  template <typename Match>
  bool AwaitEvent(const std::string& out, Match match, int count = 1) const {
    for (int i = 0; i < 600; ++i) {
      std::istringstream lines(ReadFileBytes(dir_.path() / (out + ".out")));
      int found = 0;
      for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_discarded() && match(event)) ++found;
      }
      if (found >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  static bool Is(const nlohmann::json& e, const char* name) { return e.value("event", "") == name; }

  std::string Port(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string db() const { return (dir_.path() / "runs.db").string(); }

  // A query's answer from the sqlite3 program, one row per line, columns split by '|'.
  std::string Sql(const std::string& query) const {
    const auto out = dir_.path() / "sql.out";
    EXPECT_EQ(RunShell("sqlite3 '" + db() + "' \"" + query + "\" > '" + out.string() + "'"), 0) << query;
    return ReadFileBytes(out);
  }

  std::vector<nlohmann::json> Events(const std::string& out = "cli") const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(ReadFileBytes(dir_.path() / (out + ".out")));
    for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
    return events;
  }

  std::uint32_t StampAt(const std::string& flash) const {
    return (std::uint32_t{static_cast<std::uint8_t>(flash[0x3FF00])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(flash[0x3FF01])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(flash[0x3FF02])} << 8) | static_cast<std::uint8_t>(flash[0x3FF03]);
  }

  TempDir dir_;
  std::vector<pid_t> started_;  ///< every fixture and station the test started
  std::string update_;
  std::string image_;
};

}  // namespace quillon
