#pragma once
// --on-result CMD: a command of the user's after each unit (a stack light, a label printer),
// with the unit's facts in its environment. Each port's commands run in order on a thread of
// that port's own, so that no port ever waits for one, and a command that does not end within
// its time limit is stopped. A command that fails is a warning (a WarningEvent), never a
// failed unit.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/child_process.h"
#include "station/events.h"

namespace quillon::station {

struct ResultCommandPlan {
  std::string command;
  std::chrono::milliseconds limit{10000};
  /// QUILLON_MESSAGE: the unit's result in words (the words are the caller's).
  std::function<std::string(const PortResult&)> message;
};

/// The variables a unit's command gets: QUILLON_RESULT (the closing message's id, 205 for a
/// pass, 130 for an interrupted unit), QUILLON_OK (1 or 0), QUILLON_PORT, QUILLON_UNIT,
/// QUILLON_SERIAL (empty without a number) and QUILLON_MESSAGE; and for each pool value the
/// unit got, QUILLON_POOL_<NAME> (the pool's name in capitals, other than letters and digits
/// as "_").
Environment ResultEnvironment(const PortResult& result, const std::string& message);

class ResultCommand {
 public:
  /// Subscribes to `events` (before the first event); `events` outlives this.
  ResultCommand(ResultCommandPlan plan, EventStream& events);
  /// Lets the commands queued so far run (each within its limit), then returns; a unit that
  /// ends after it gets no command.
  void Finish();
  ~ResultCommand();
  ResultCommand(const ResultCommand&) = delete;
  ResultCommand& operator=(const ResultCommand&) = delete;

  struct PortQueue;

 private:
  void Take(const PortResult& result);
  void Work(PortQueue& port);

  ResultCommandPlan plan_;
  EventStream& events_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<PortQueue>> ports_;
  bool finished_ = false;
};

}  // namespace quillon::station
