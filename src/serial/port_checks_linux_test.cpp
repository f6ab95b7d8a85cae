#include "serial/port_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "testing/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

// A real pseudo-terminal for the device, and a made-up /proc, /sys and /run/udev around it.
class PortChecksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    port_ = ::ptsname(master_);
    fs::create_directories(dir_ / "proc");
  }
  void TearDown() override { ::close(master_); }
  void Process(const std::string& pid, const std::string& command, const std::string& open_file = {}) {
    fs::create_directories(dir_ / "proc" / pid / "fd");
    dir_.Write("proc/" + pid + "/comm", command + "\n");
    if (!open_file.empty()) fs::create_symlink(open_file, dir_ / "proc" / pid / "fd" / "3");
  }
  const PortFinding& Find(const std::vector<PortFinding>& findings, const std::string& check) {
    for (const auto& f : findings) {
      if (CheckOf(f.kind) == check) return f;
    }
    static const PortFinding none{};
    ADD_FAILURE() << "no finding " << check;
    return none;
  }
  std::vector<PortFinding> Check(const std::string& device) { return CheckPort(device, {dir_.path(), true}); }

  testing::TempDir dir_;
  int master_ = -1;
  std::string port_;
};

TEST_F(PortChecksTest, AFinePortPassesEveryBlockingCheck) {
  const auto findings = Check(port_);
  EXPECT_TRUE(NothingBlocks(findings));
  for (const char* check : {"port.exists", "port.serial", "port.access", "port.holder", "port.modemmanager", "port.brltty"}) {
    EXPECT_TRUE(Find(findings, check).ok) << check;
  }
  // A pseudo-terminal refuses low-latency mode: advice, never a failure of the run.
  EXPECT_FALSE(Find(findings, "port.low_latency").blocking);
}

TEST_F(PortChecksTest, AHolderIsNamedWithItsPid) {
  Process("4242", "minicom", port_);
  const auto findings = Check(port_);
  EXPECT_FALSE(NothingBlocks(findings));
  const PortFinding& holder = Find(findings, "port.holder");
  EXPECT_FALSE(holder.ok);
  EXPECT_EQ(holder.kind, PortFinding::Kind::kHeld);
  ASSERT_EQ(holder.processes.size(), 1u);
  EXPECT_EQ(holder.processes[0].pid, "4242");
  EXPECT_EQ(holder.processes[0].command, "minicom");
}

TEST_F(PortChecksTest, MissingPathsAndFilesThatAreNoSerialDevice) {
  auto findings = Check((dir_ / "ttyUSB9").string());
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, PortFinding::Kind::kMissing);
  EXPECT_FALSE(findings[0].ok);
  findings = Check(dir_.Write("plain", "x").string());
  EXPECT_FALSE(Find(findings, "port.serial").ok);
  EXPECT_FALSE(NothingBlocks(findings));
  EXPECT_FALSE(Find(Check("/dev/null"), "port.serial").ok);  // a character device, but no terminal
}

TEST_F(PortChecksTest, ModemManagerBlocksUnlessUdevToldItToLeaveThePortAlone) {
  Process("77", "ModemManager");
  EXPECT_FALSE(Find(Check(port_), "port.modemmanager").ok);
  struct stat st {};
  ASSERT_EQ(::stat(port_.c_str(), &st), 0);
  fs::create_directories(dir_ / "run/udev/data");
  dir_.Write("run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)),
             "S:serial/by-id/usb-x\nE:ID_MM_DEVICE_IGNORE=1\n");
  EXPECT_TRUE(Find(Check(port_), "port.modemmanager").ok);
}

TEST_F(PortChecksTest, ALongLatencyTimerIsAdviceOnly) {
  const std::string name = fs::path(port_).filename().string();
  fs::create_directories(dir_ / "sys/bus/usb-serial/devices" / name);
  dir_.Write("sys/bus/usb-serial/devices/" + name + "/latency_timer", "16\n");
  const auto findings = Check(port_);
  const PortFinding& timer = Find(findings, "usb.latency_timer");
  EXPECT_FALSE(timer.ok);
  EXPECT_FALSE(timer.blocking);
  EXPECT_EQ(timer.value, "16");
  EXPECT_TRUE(NothingBlocks(findings));
}
// What the field meets most, each read off the made-up tree.
TEST_F(PortChecksTest, TheSystemConsoleOrALoginPromptIsNoFlashingPort) {
  EXPECT_TRUE(Find(Check(port_), "port.console").ok);
  const std::string tty = port_.substr(5);  // "pts/N", as the kernel names it
  fs::create_directories(dir_ / "sys/class/tty/console");
  dir_.Write("sys/class/tty/console/active", "tty0 " + tty + "\n");
  auto findings = Check(port_);
  EXPECT_FALSE(NothingBlocks(findings));
  EXPECT_EQ(Find(findings, "port.console").kind, PortFinding::Kind::kConsole);
  EXPECT_EQ(Find(findings, "port.console").tty, tty);
  dir_.Write("sys/class/tty/console/active", "tty0\n");
  Process("812", "agetty", port_);
  findings = Check(port_);
  const PortFinding& console = Find(findings, "port.console");
  EXPECT_FALSE(console.ok);
  EXPECT_TRUE(console.blocking);
  EXPECT_EQ(console.kind, PortFinding::Kind::kLoginPrompt);
  ASSERT_EQ(console.processes.size(), 1u);
  EXPECT_EQ(console.processes[0].pid, "812");
}

TEST_F(PortChecksTest, AnOldModemManagerProbesDespiteTheTag) {
  Process("77", "ModemManager");
  struct stat st {};
  ASSERT_EQ(::stat(port_.c_str(), &st), 0);
  fs::create_directories(dir_ / "run/udev/data");
  dir_.Write("run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)),
             "E:ID_MM_DEVICE_IGNORE=1\n");
  fs::create_directories(dir_ / "var/lib/dpkg");
  for (const auto& [version, ok] : std::vector<std::pair<std::string, bool>>{{"1.10.4-1", false}, {"1.20.4-1", true}}) {
    dir_.Write("var/lib/dpkg/status", "Package: brltty\nStatus: install ok installed\nVersion: 6.5\n\n"
                                      "Package: modemmanager\nStatus: install ok installed\nVersion: " + version + "\n");
    const auto findings = Check(port_);
    const PortFinding& modem_manager = Find(findings, "port.modemmanager");
    EXPECT_EQ(modem_manager.ok, ok) << version;
    EXPECT_EQ(modem_manager.version, version);
  }
}

TEST_F(PortChecksTest, BrlttyRulesThatClaimAdaptersAreNamedUnlessMasked) {
  EXPECT_TRUE(Find(Check(port_), "brltty.udev").ok);
  fs::create_directories(dir_ / "usr/lib/udev/rules.d");
  dir_.Write("usr/lib/udev/rules.d/85-brltty.rules",
             "ENV{PRODUCT}==\"1a86/7523/*\", GOTO=\"brltty_usb_run\"\nENV{PRODUCT}==\"10C4/EA60/*\", GOTO=\"x\"\n");
  auto findings = Check(port_);
  const PortFinding& rules = Find(findings, "brltty.udev");
  EXPECT_FALSE(rules.ok);
  EXPECT_FALSE(rules.blocking);
  EXPECT_THAT(rules.adapters, ::testing::ElementsAre("1a86:7523 (CH340)", "10c4:ea60 (CP210x)"));
  fs::create_directories(dir_ / "etc/udev/rules.d");
  fs::create_symlink("/dev/null", dir_ / "etc/udev/rules.d/85-brltty.rules");
  findings = Check(port_);
  EXPECT_TRUE(Find(findings, "brltty.udev").ok);
}

TEST(PosixAclTest, AUserEntryWithReadAndWriteGivesAccess) {
  // user::rw-, user:1000:rw-, group::rw-, mask::rw-, other::---
  const std::vector<std::uint8_t> acl{2, 0, 0, 0,  1, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,  2, 0, 6, 0, 0xE8, 3, 0, 0,
                                      4, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,  0x10, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0x20, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_TRUE(PosixAclGivesUser(acl, 1000));
  EXPECT_FALSE(PosixAclGivesUser(acl, 1001));
  auto read_only = acl;
  read_only[14] = 4;
  EXPECT_FALSE(PosixAclGivesUser(read_only, 1000));
  EXPECT_FALSE(PosixAclGivesUser(std::span(acl).first(3), 1000));
}

}  // namespace
}  // namespace quillon
