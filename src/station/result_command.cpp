#include "station/result_command.h"

#include <condition_variable>
#include <deque>
#include <thread>

#include "base/child_process.h"

namespace quillon::station {

struct ResultCommand::PortQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<PortResult> waiting;
  bool ending = false;
  std::thread worker;
};

Environment ResultEnvironment(const PortResult& result, const std::string& message) {
  Environment added{{"QUILLON_RESULT", std::to_string(result.interrupted ? 130 : result.id)},
                    {"QUILLON_OK", result.ok() ? "1" : "0"},
                    {"QUILLON_PORT", result.port},
                    {"QUILLON_UNIT", result.unit > 0 ? std::to_string(result.unit) : ""},
                    {"QUILLON_SERIAL", result.serial_number.value_or("")},
                    {"QUILLON_MESSAGE", message}};
  for (const auto& [pool, value] : result.values) {
    std::string name = "QUILLON_POOL_";
    for (const char c : pool) {
      const bool kept = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      name += kept ? c : (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : '_';
    }
    added.emplace_back(name, value);
  }
  return added;
}

ResultCommand::ResultCommand(ResultCommandPlan plan, EventStream& events) : plan_(std::move(plan)), events_(events) {
  events_.Subscribe([this](const Event& event) {
    if (const auto* result = std::get_if<ResultEvent>(&event); result != nullptr && result->result.unit > 0) {
      Take(result->result);
    }
  });
}

void ResultCommand::Take(const PortResult& result) {
  const std::lock_guard lock(mutex_);
  if (finished_) return;
  auto& queue = ports_[result.port];
  if (!queue) {
    queue = std::make_unique<PortQueue>();
    queue->worker = std::thread([this, port = queue.get()] { Work(*port); });
  }
  {
    const std::lock_guard queued(queue->mutex);
    queue->waiting.push_back(result);
  }
  queue->wake.notify_one();
}

// A port's worker: its units' commands in order, until Finish ends it with none left.
void ResultCommand::Work(PortQueue& port) {
  std::unique_lock held(port.mutex);
  for (;;) {
    port.wake.wait(held, [&port] { return port.ending || !port.waiting.empty(); });
    if (port.waiting.empty()) return;
    const PortResult next = port.waiting.front();
    port.waiting.pop_front();
    held.unlock();
    const auto outcome =
        RunCommand(plan_.command, ResultEnvironment(next, plan_.message ? plan_.message(next) : ""), plan_.limit);
    if (outcome.kind != ChildOutcome::Kind::kExited || outcome.status != 0) {
      WarningEvent warning{next.port, WarningEvent::Kind::kResultCommandFailed, plan_.command, {}};
      warning.unit = next.unit;
      warning.command = outcome;
      warning.limit = plan_.limit;
      events_.Publish(warning);
    }
    held.lock();
  }
}

ResultCommand::~ResultCommand() { Finish(); }

void ResultCommand::Finish() {
  const std::lock_guard lock(mutex_);
  if (finished_) return;
  finished_ = true;
  for (auto& [name, queue] : ports_) {
    {
      const std::lock_guard ending(queue->mutex);
      queue->ending = true;
    }
    queue->wake.notify_one();
  }
  for (auto& [name, queue] : ports_) queue->worker.join();
}

}  // namespace quillon::station
