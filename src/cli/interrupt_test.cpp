// What a signal does: the first asks for the stop, another within 2 s is the same stop, a
// later one (or any, for a command with nothing to stop in order) ends the program. On
// Windows a console handler that always said "handled" left a second Ctrl-C unheard.

#include <gtest/gtest.h>

#include "cli/interrupt_mode.h"
#include "cli/interrupt.h"

namespace quillon::cli {
namespace {

struct SignalCase {
  InterruptMode mode;
  bool already_asked;
  long long ms_since_first;
  SignalAction action;
};

class SignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalTest, TheOneRuleOfBothPlatforms) {
  const auto& c = GetParam();
  EXPECT_EQ(DecideOnSignal(c.mode, c.already_asked, c.ms_since_first), c.action);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalTest,
    ::testing::Values(SignalCase{InterruptMode::kUndecided, false, 0, SignalAction::kStop},
                      SignalCase{InterruptMode::kStop, false, 0, SignalAction::kStop},
                      SignalCase{InterruptMode::kStop, true, 0, SignalAction::kSameStop},
                      SignalCase{InterruptMode::kStop, true, kSameStopMs - 1, SignalAction::kSameStop},
                      SignalCase{InterruptMode::kStop, true, kSameStopMs, SignalAction::kEnd},
                      SignalCase{InterruptMode::kStop, true, 60000, SignalAction::kEnd},
                      SignalCase{InterruptMode::kEnd, false, 0, SignalAction::kEnd},
                      SignalCase{InterruptMode::kEnd, true, 0, SignalAction::kEnd}));

}  // namespace
}  // namespace quillon::cli
