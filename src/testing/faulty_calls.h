#pragma once
// The system's calls, except for the failures a test asks for: the Nth call of a function fails
// with a chosen errno, once or from then on. Put in place on the test's thread with
// posix::ScopedCalls.

#include <map>

#include "base/posix_call.h"

namespace quillon::testing {

class FaultyCalls final : public posix::Calls {
 public:
  /// The `nth` call of `call` from now on (1: the next one) fails with `error`; with
  /// `from_then_on` every later one too.
  void Fail(posix::Call call, int nth, int error, bool from_then_on = false) {
    rules_[call] = {counts_[call] + nth, error, from_then_on};
  }
  /// How many times `call` was made (or refused) so far.
  int count(posix::Call call) const {
    const auto found = counts_.find(call);
    return found == counts_.end() ? 0 : found->second;
  }

 protected:
  int Injected(posix::Call call) override {
    const int n = ++counts_[call];
    const auto rule = rules_.find(call);
    if (rule == rules_.end()) return 0;
    const Rule& r = rule->second;
    return n == r.at || (r.from_then_on && n > r.at) ? r.error : 0;
  }

 private:
  struct Rule {
    int at = 0;
    int error = 0;
    bool from_then_on = false;
  };
  std::map<posix::Call, Rule> rules_;
  std::map<posix::Call, int> counts_;
};

}  // namespace quillon::testing
