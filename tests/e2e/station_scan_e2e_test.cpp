// Labels scanned into the records: a pseudo-terminal stands in for the scanner, a serial one
// (--scan-port) or a keyboard-wedge one typing on the station's terminal (--scan).

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "station_harness.h"

namespace quillon {
namespace {

// The scanner's end of a pseudo-terminal: what it "scans" arrives at `device()`.
class PtyScanner {
 public:
  PtyScanner() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) device_ = ::ptsname(master_);
  }
  ~PtyScanner() {
    if (master_ >= 0) ::close(master_);
  }
  PtyScanner(const PtyScanner&) = delete;
  PtyScanner& operator=(const PtyScanner&) = delete;
  const std::string& device() const { return device_; }
  void Scan(const std::string& code) const {
    const std::string line = code + "\r";
    EXPECT_EQ(::write(master_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

 private:
  int master_ = -1;
  std::string device_;
};

class StationScanTest : public StationHarness {
 protected:
  bool AwaitScanWait(const std::string& out, int count) const {
    return AwaitEvent(out, [](const nlohmann::json& e) { return Is(e, "waiting") && e.value("scan", false); }, count);
  }
  bool AwaitWarning(const std::string& out, const std::string& words) const {
    return AwaitEvent(out, [&](const nlohmann::json& e) {
      return Is(e, "message") && e.value("level", "") == "warning" && e.value("text", "").find(words) != std::string::npos;
    });
  }
};

TEST_F(StationScanTest, EachLabelGoesIntoItsRowAndARescanOrAWrongLabelIsRefused) {
  PtyScanner scanner;
  ASSERT_FALSE(scanner.device().empty());
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  const pid_t station = StartStation({"--port", Port("fa"), "--units", "2", "--scan-port", scanner.device(),
                                      "--scan-pattern", "QL-[0-9]{4}", "--serial-number", "0x3FF00:be32"});
  ASSERT_TRUE(AwaitScanWait("cli", 1)) << ReadFileBytes(dir_.path() / "cli.err");
  scanner.Scan("QL-0001");
  // The second board waits for its label: the first one's again, and one of another form, are refused.
  ASSERT_TRUE(AwaitScanWait("cli", 2));
  scanner.Scan("QL-0001");
  EXPECT_TRUE(AwaitWarning("cli", "label QL-0001 refused: unit 1 already passed with it"));
  scanner.Scan("XX-12");
  EXPECT_TRUE(AwaitWarning("cli", "label XX-12 refused: it does not match --scan-pattern QL-[0-9]{4}"));
  scanner.Scan("QL-0002");
  EXPECT_EQ(Wait(station), 0) << ReadFileBytes(dir_.path() / "cli.err");
  Finish(a);
  EXPECT_EQ(Sql("SELECT serial_number, scanned, ok FROM units ORDER BY id"), "1|QL-0001|1\n2|QL-0002|1\n");
  // Nothing of the refused labels was sent: the second board is the update with its number.
  std::string flash = ReadFileBytes(dir_.path() / "fa.bin.2");
  EXPECT_EQ(StampAt(flash), 2u);
  std::fill(flash.begin() + 0x3FF00, flash.begin() + 0x3FF04, '\xFF');
  EXPECT_TRUE(flash == image_);
  ASSERT_EQ(Cli({"history", "--csv", "--record", db()}), 0);
  EXPECT_NE(Output().find(",scanned\r\n"), std::string::npos) << Output();
}

TEST_F(StationScanTest, AKeyboardWedgeScannerTypesTheLabelOnTheStationsTerminal) {
  PtyScanner keyboard;
  ASSERT_FALSE(keyboard.device().empty());
  const pid_t a = StartFixture("fa", {"--boards", "2"});
  // A board flashed before with this label: --allow-rescan takes it again.
  ASSERT_TRUE(MakeRecords("ALTER TABLE units ADD COLUMN scanned TEXT; INSERT INTO units (station, port, started_utc, "
                          "update_file, image_sha256, boot_sha256, result, ok, quillon_version, scanned) VALUES "
                          "('s', 'p', '2026-12-01T00:00:00.000Z', 'u', 'h', 'b', 205, 1, '1.0', 'QL-0001')"));
  std::string command = "exec '" QUILLON_CLI "' station --boot '" + kBoot + "' --baud 115200 --ini '" +
                        (dir_.path() / "q.ini").string() + "' --log '" + (dir_.path() / "q.sts").string() +
                        "' --record '" + db() + "' --json --port '" + Port("fa") +
                        "' --units 1 --scan --allow-rescan '" + update_ + "' < '" + keyboard.device() + "'";
  const pid_t station = Spawn({"/bin/sh", "-c", command}, dir_.path() / "cli.out", dir_.path() / "cli.err");
  started_.push_back(station);
  ASSERT_TRUE(AwaitScanWait("cli", 1)) << ReadFileBytes(dir_.path() / "cli.err");
  keyboard.Scan("QL-0001");
  EXPECT_EQ(Wait(station), 0) << ReadFileBytes(dir_.path() / "cli.err");
  Stop(a);
  EXPECT_EQ(Sql("SELECT scanned, ok FROM units ORDER BY id"), "QL-0001|1\nQL-0001|1\n");
}

}  // namespace
}  // namespace quillon
