// The words a person reads about the port's findings: what was found, named, and a fix that
// does what it says (never joining root or tty).

#include "report/port_words.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillon::report {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using K = PortFinding::Kind;

struct WordsCase {
  const char* name;
  PortFinding finding;
  const char* check;
  std::vector<std::string> in_detail;
  std::vector<std::string> in_fix;
};

void PrintTo(const WordsCase& c, std::ostream* os) { *os << c.name; }

PortFinding Found(K kind, bool ok = false, bool blocking = true) {
  PortFinding f;
  f.kind = kind;
  f.ok = ok;
  f.blocking = blocking;
  f.device = "/dev/ttyUSB0";
  f.tty = "ttyUSB0";
  return f;
}

PortFinding With(PortFinding f, const std::function<void(PortFinding&)>& set) {
  set(f);
  return f;
}

class FindingWordsTest : public ::testing::TestWithParam<WordsCase> {};

TEST_P(FindingWordsTest, SayWhatWasFoundAndHowToMendIt) {
  const auto& c = GetParam();
  const FindingWords words = Describe(c.finding);
  EXPECT_EQ(words.check, c.check);
  EXPECT_EQ(words.ok, c.finding.ok);
  for (const auto& part : c.in_detail) EXPECT_THAT(words.detail, HasSubstr(part));
  for (const auto& part : c.in_fix) EXPECT_THAT(words.fix, HasSubstr(part));
  EXPECT_EQ(words.fix.empty(), c.finding.ok);
  EXPECT_THAT(words.fix, Not(HasSubstr("-aG root")));
  EXPECT_THAT(words.fix, Not(HasSubstr("-aG tty")));
}

INSTANTIATE_TEST_SUITE_P(
    Findings, FindingWordsTest,
    ::testing::Values(
        WordsCase{"held", With(Found(K::kHeld), [](auto& f) { f.processes = {{"4242", "minicom"}}; }), "port.holder",
                  {"minicom (PID 4242)"}, {"kill 4242"}},
        WordsCase{"latency_timer",
                  With(Found(K::kLatencyTimerLong, false, false), [](auto& f) { f.value = "16"; f.path = "/sys/x"; }),
                  "usb.latency_timer", {"16 ms"}, {"echo 1 | sudo tee /sys/x"}},
        WordsCase{"console", Found(K::kConsole), "port.console", {"system console"}, {"console=ttyUSB0"}},
        WordsCase{"login_prompt", With(Found(K::kLoginPrompt), [](auto& f) { f.processes = {{"812", "agetty"}}; }),
                  "port.console", {"agetty (PID 812)"}, {"serial-getty@ttyUSB0.service"}},
        WordsCase{"old_modem_manager",
                  With(Found(K::kModemManagerTooOld), [](auto& f) { f.processes = {{"77", "ModemManager"}}; f.version = "1.10.4-1"; }),
                  "port.modemmanager", {"ModemManager 1.10.4-1 (PID 77)", "1.12"}, {"1.12"}},
        WordsCase{"brltty_rules",
                  With(Found(K::kBrlttyRulesClaim, false, false), [](auto& f) { f.adapters = {"1a86:7523 (CH340)", "10c4:ea60 (CP210x)"}; }),
                  "brltty.udev", {"1a86:7523 (CH340), 10c4:ea60 (CP210x)"}, {"85-brltty.rules"}},
        WordsCase{"group_dialout", With(Found(K::kNoPermission), [](auto& f) { f.group = "dialout"; }), "port.access",
                  {"group dialout", "service user has no seat"}, {"usermod -aG dialout"}},
        WordsCase{"group_root", With(Found(K::kNoPermission), [](auto& f) { f.group = "root"; }), "port.access",
                  {"group root"}, {"KERNEL==\"ttyUSB0\"", "GROUP=\"dialout\""}},
        WordsCase{"group_tty", With(Found(K::kNoPermission), [](auto& f) { f.group = "tty"; }), "port.access",
                  {"group tty"}, {"udev rule"}},
        WordsCase{"seat", With(Found(K::kSeatOnly, false, false), [](auto& f) { f.group = "dialout"; }), "port.seat",
                  {"uaccess", "no seat"}, {"usermod -aG dialout"}},
        WordsCase{"fine", Found(K::kAccessible, true), "port.access", {"can be opened"}, {}},
        // Windows: what the system said of a COM port, from canned answers.
        WordsCase{"windows_unlisted", JudgeWindowsPort("COM9", {false, 2, 0, "", "", ""}).front(), "port.exists",
                  {"COM9 does not exist", "SERIALCOMM"}, {"quillon-cli ports"}},
        WordsCase{"windows_in_use", JudgeWindowsPort("COM3", {true, 5, 0, "", "", ""}).front(), "port.holder",
                  {"COM3 is in use by another program"}, {"Close the program"}},
        WordsCase{"windows_code_10", JudgeWindowsPort("COM4", {true, 31, 10, "USB Serial Port (COM4)", "", ""}).front(),
                  "port.driver", {"USB Serial Port (COM4)", "code 10", "cannot start"}, {"FTDI VCP", "another adapter"}},
        WordsCase{"windows_code_28", JudgeWindowsPort("COM5", {true, 2, 28, "", "", ""}).front(), "port.driver",
                  {"code 28", "not installed"}, {"Install", "Windows Update"}},
        WordsCase{"windows_other_error", JudgeWindowsPort("COM6", {true, 1167, 0, "", "", ""}).front(), "port.access",
                  {"Windows error 1167"}, {"Device Manager"}},
        WordsCase{"windows_fine", JudgeWindowsPort("COM12", {true, 0, 0, "", "", ""}).front(), "port.access",
                  {"COM12 can be opened"}, {}},
        WordsCase{"windows_pl2303_refused", JudgeWindowsPort("COM4", {true, 31, 10, "", "067B", "2303"}).front(),
                  "port.driver", {"code 10", "PL2303", "copies"}, {"genuine chip", "3.3.2.105", "Windows Update"}},
        WordsCase{"windows_ch340_unsigned", JudgeWindowsPort("COM4", {true, 31, 52, "", "1A86", "7523"}).front(),
                  "port.driver", {"code 52", "signature"}, {"CH341SER", "wch-ic.com"}},
        WordsCase{"windows_ftdi_latency", With(Found(K::kFtdiLatencyLong, false, false), [](auto& f) {
                    f.device = "COM5";
                    f.value = "16";
                    f.path = "HKLM\\SYSTEM\\X\\LatencyTimer";
                  }),
                  "usb.latency_timer", {"16 ms", "HKLM"}, {"Device Manager", "Port Settings > Advanced", "Latency Timer (msec): 1"}},
        WordsCase{"windows_suspend", With(Found(K::kSuspendAllowed, false, false), [](auto& f) {
                    f.device = "COM5";
                    f.path = "HKLM\\X\\EnhancedPowerManagementEnabled";
                  }),
                  "usb.selective_suspend", {"powered down", "EnhancedPowerManagementEnabled"},
                  {"USB selective suspend setting: Disabled"}},
        WordsCase{"windows_com100", With(Found(K::kComNumberAboveList, false, false), [](auto& f) {
                    f.device = "COM100";
                    f.value = "99";
                  }),
                  "port.com_number", {"COM100 is above COM99", "quillon-cli reaches it"}, {"COM Port Number"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::report
