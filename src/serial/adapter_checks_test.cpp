// The Windows adapter checks on canned registry contents: each case a machine as the field
// meets it, and the findings the doctor must give for its port.

#include <gtest/gtest.h>

#include <functional>

#include "serial/port_checks.h"
#include "testing/canned_registry.h"

namespace quillon {
namespace {

using K = PortFinding::Kind;
using testing::CannedRegistry;

const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum";
const std::string kFtdi = kEnum + "\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\\Device Parameters";
const std::string kFtdiUsb = kEnum + "\\USB\\VID_0403&PID_6001\\A50285BI\\Device Parameters";
const std::string kCh340 = kEnum + "\\USB\\VID_1A86&PID_7523\\5&2B4A1C&0&3\\Device Parameters";
const std::string kSchemes = "SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes";
const std::string kBalanced = "381b4222-f694-41f0-9685-ff5bb260df2e";
const std::string kPlanSuspend =
    kSchemes + "\\" + kBalanced + "\\2a737441-1930-4402-8d77-b2bebba308a3\\48e6b7a6-50f5-4782-a5d4-53bb8f07e226";

struct Expected {
  std::string check;
  bool ok;
  std::string value = "";  // checked when given
};

struct AdapterCase {
  std::string name;
  std::string port;
  std::function<void(CannedRegistry&)> machine;
  std::vector<Expected> findings;
};

class AdapterChecksTest : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(AdapterChecksTest, FindsWhatTheRegistrySays) {
  CannedRegistry registry;
  // Every machine has other devices and a power plan; the cases add to them.
  registry.Set(kEnum + "\\USB\\VID_046D&PID_C52B\\6&1\\Device Parameters", "SelectiveSuspendEnabled", 1u)
      .Set(kEnum + "\\ACPI\\PNP0501\\1\\Device Parameters", "PortName", std::string("COM1"))
      .Set(kSchemes, "ActivePowerScheme", kBalanced);
  GetParam().machine(registry);
  const auto findings = CheckWindowsAdapter(GetParam().port, registry);
  ASSERT_EQ(findings.size(), GetParam().findings.size());
  for (std::size_t i = 0; i < findings.size(); ++i) {
    const auto& want = GetParam().findings[i];
    EXPECT_EQ(CheckOf(findings[i].kind), want.check) << i;
    EXPECT_EQ(findings[i].ok, want.ok) << want.check;
    EXPECT_FALSE(findings[i].blocking) << want.check;
    if (!want.value.empty()) {
      EXPECT_EQ(findings[i].value, want.value) << want.check;
    }
  }
}

const auto kNothing = [](CannedRegistry&) {};

INSTANTIATE_TEST_SUITE_P(
    Machines, AdapterChecksTest,
    ::testing::Values(
        AdapterCase{"ftdi_default_latency", "COM5",
                    [](CannedRegistry& r) {
                      r.Set(kFtdi, "PortName", std::string("COM5")).Set(kFtdi, "LatencyTimer", 16u);
                    },
                    {{"port.com_number", true}, {"usb.latency_timer", false, "16"}, {"usb.selective_suspend", true}}},
        AdapterCase{"ftdi_latency_one", "\\\\.\\com5",
                    [](CannedRegistry& r) {
                      r.Set(kFtdi, "PortName", std::string("COM5")).Set(kFtdi, "LatencyTimer", 1u);
                    },
                    {{"port.com_number", true}, {"usb.latency_timer", true, "1"}, {"usb.selective_suspend", true}}},
        // The FTDI port's power settings live on its USB device, which its serial number names.
        AdapterCase{"ftdi_suspend_allowed_by_default_plan", "COM5",
                    [](CannedRegistry& r) {
                      r.Set(kFtdi, "PortName", std::string("COM5"))
                          .Set(kFtdi, "LatencyTimer", 1u)
                          .Set(kFtdiUsb, "EnhancedPowerManagementEnabled", 1u);
                    },
                    {{"port.com_number", true}, {"usb.latency_timer", true}, {"usb.selective_suspend", false}}},
        AdapterCase{"ftdi_suspend_off_in_the_plan", "COM5",
                    [](CannedRegistry& r) {
                      r.Set(kFtdi, "PortName", std::string("COM5"))
                          .Set(kFtdiUsb, "EnhancedPowerManagementEnabled", 1u)
                          .Set(kPlanSuspend, "ACSettingIndex", 0u);
                    },
                    {{"port.com_number", true}, {"usb.selective_suspend", true}}},
        AdapterCase{"ch340_suspend_allowed", "COM7",
                    [](CannedRegistry& r) {
                      r.Set(kCh340, "PortName", std::string("COM7"))
                          .Set(kCh340, "SelectiveSuspendEnabled", 1u)
                          .Set(kPlanSuspend, "ACSettingIndex", 1u);
                    },
                    {{"port.com_number", true}, {"usb.selective_suspend", false}}},
        // A latency timer outside FTDI's bus is not FTDI's driver's: not judged.
        AdapterCase{"ch340_has_no_ftdi_latency", "COM7",
                    [](CannedRegistry& r) {
                      r.Set(kCh340, "PortName", std::string("COM7")).Set(kCh340, "LatencyTimer", 16u);
                    },
                    {{"port.com_number", true}, {"usb.selective_suspend", true}}},
        AdapterCase{"com100_beyond_the_desktop_list", "COM100",
                    [](CannedRegistry& r) { r.Set(kCh340, "PortName", std::string("COM100")); },
                    {{"port.com_number", false, "99"}, {"usb.selective_suspend", true}}},
        AdapterCase{"com99_listed", "COM99", kNothing, {{"port.com_number", true}}},
        AdapterCase{"built_in_port", "COM1", kNothing, {{"port.com_number", true}}},
        AdapterCase{"not_a_com_name", "\\\\.\\CNCA0", kNothing, {}}),
    [](const auto& info) { return info.param.name; });

struct DriverCase {
  std::string name;
  unsigned long problem;
  std::string vid;
  K kind;
};

class DriverAdviceTest : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverAdviceTest, NamesTheChipsDriverWhenItsIdsAreKnown) {
  WindowsPortFacts facts;
  facts.open_error = 31;
  facts.problem = GetParam().problem;
  facts.vid = GetParam().vid;
  facts.pid = "2303";
  const auto findings = JudgeWindowsPort("COM3", facts);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, GetParam().kind);
  EXPECT_STREQ(CheckOf(findings[0].kind), "port.driver");
  EXPECT_EQ(findings[0].code, GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(Adapters, DriverAdviceTest,
                         ::testing::Values(DriverCase{"pl2303_code10", 10, "067B", K::kDriverRefusesChip},
                                           DriverCase{"pl2303_code43", 43, "067B", K::kDriverRefusesChip},
                                           DriverCase{"ch340_code52", 52, "1A86", K::kDriverRefusesChip},
                                           DriverCase{"ch340_code28", 28, "1A86", K::kDriverProblem},
                                           DriverCase{"ftdi_code10", 10, "0403", K::kDriverProblem},
                                           DriverCase{"unknown_code10", 10, "", K::kDriverProblem}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillon
