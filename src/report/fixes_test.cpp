// What a desktop box says below a failure: the reason, the fix and the log, each in the
// reader's language, and nothing below a message that is no failure.

#include "report/fixes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/messages.h"

namespace quillon::report {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

FailureFacts Facts() {
  FailureFacts facts;
  facts.fix = {"/opt/q/nivaload.sub", "/home/a/update.mot", "COM3 (/dev/ttyUSB0)", "/home/a/quillon.sts", 57600};
  return facts;
}

PortFinding Missing() {
  PortFinding finding;
  finding.kind = PortFinding::Kind::kMissing;
  finding.ok = false;
  finding.device = "/dev/ttyUSB0";
  return finding;
}

struct DetailCase {
  const char* name;
  int id;
  Language language;
  StopPoint stop;
  std::vector<std::string> records;
  bool port_missing;
  std::vector<std::string> shown;      // each in the detail
  std::vector<std::string> not_shown;  // none in it
};

class FailureDetailTest : public ::testing::TestWithParam<DetailCase> {};

TEST_P(FailureDetailTest, SaysWhyWhatToDoAndWhereTheLogIs) {
  const DetailCase& c = GetParam();
  FailureFacts facts = Facts();
  facts.stop = c.stop;
  facts.records = c.records;
  if (c.port_missing) facts.findings = {Missing()};
  const std::string detail = FailureDetail(c.id, facts, c.language);
  for (const auto& text : c.shown) EXPECT_THAT(detail, HasSubstr(text));
  for (const auto& text : c.not_shown) EXPECT_THAT(detail, Not(HasSubstr(text)));
}

const std::string kRecord = "12/09/26 10:00:00  File:device_protocol.cpp(191) :No Echo";

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureDetailTest,
    ::testing::Values(
        DetailCase{"TransferStopped", kMsgDataSendFailed, Language::kEnglish, {RunPhase::kTransfer, 3, 5},
                   {kRecord, "x  File:update_sequence.cpp(120) :SEND DATA RECORD ERROR"}, false,
                   {"stopped in transfer, block 3 chunk 5", "No Echo; SEND DATA RECORD ERROR", "57600 bit/s",
                    "The log: /home/a/quillon.sts"},
                   {"File:", "device_protocol.cpp"}},
        DetailCase{"BootStopped", kMsgBootSendFailed, Language::kEnglish, {RunPhase::kBoot}, {kRecord}, false,
                   {"stopped in boot", "No Echo", "boot mode", "COM3 (/dev/ttyUSB0)"}, {}},
        DetailCase{"PortMissingSaysWhyNotTheGuess", kMsgPortOpenFailed, Language::kEnglish, {RunPhase::kOpen}, {}, true,
                   {"/dev/ttyUSB0 does not exist", "Plug the adapter in", "The log: /home/a/quillon.sts"},
                   {"Check the port name"}},
        DetailCase{"PortOpenFailedLater", kMsgPortOpenFailed, Language::kEnglish, {RunPhase::kOpen}, {}, false,
                   {"Check the port name COM3 (/dev/ttyUSB0)"}, {}},
        DetailCase{"NoBootFile", kMsgNoBootFile, Language::kEnglish, {}, {}, false, {"/opt/q/nivaload.sub"},
                   {"stopped"}},
        DetailCase{"Japanese", kMsgDataSendFailed, Language::kJapanese, {RunPhase::kTransfer, 0, 1}, {kRecord}, false,
                   {"No Echo", "57600", "/home/a/quillon.sts"}, {"The log", "Check the connection"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureDetailTest, NothingBelowAMessageThatIsNoFailure) {
  EXPECT_EQ(FailureDetail(kMsgRestartInBootMode, Facts(), Language::kEnglish), "");
  EXPECT_EQ(FailureDetail(kMsgUpdateFinished, Facts(), Language::kEnglish), "");
}

}  // namespace
}  // namespace quillon::report
