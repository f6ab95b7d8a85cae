#include "serial/port_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "testing/temp_dir.h"

namespace quillon {
namespace {

#ifndef _WIN32
namespace fs = std::filesystem;
using ::testing::HasSubstr;

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
  const Finding& Find(const std::vector<Finding>& findings, const std::string& check) {
    for (const auto& f : findings) {
      if (f.check == check) return f;
    }
    static const Finding none{"(missing)", false, true, "", ""};
    ADD_FAILURE() << "no finding " << check;
    return none;
  }
  std::vector<Finding> Check(const std::string& device) { return CheckPort(device, {dir_.path(), true}); }

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
  const Finding& holder = Find(findings, "port.holder");
  EXPECT_FALSE(holder.ok);
  EXPECT_THAT(holder.detail, HasSubstr("minicom (PID 4242)"));
  EXPECT_THAT(holder.fix, HasSubstr("kill 4242"));
}

TEST_F(PortChecksTest, MissingPathsAndFilesThatAreNoSerialDevice) {
  auto findings = Check((dir_ / "ttyUSB9").string());
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].check, "port.exists");
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
  const Finding& timer = Find(findings, "usb.latency_timer");
  EXPECT_FALSE(timer.ok);
  EXPECT_FALSE(timer.blocking);
  EXPECT_THAT(timer.detail, HasSubstr("16 ms"));
  EXPECT_TRUE(NothingBlocks(findings));
}
#endif

}  // namespace
}  // namespace quillon
