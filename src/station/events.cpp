#include "station/events.h"

namespace quillon::station {

const char* PhaseName(RunPhase phase) {
  switch (phase) {
    case RunPhase::kOpen: return "open";
    case RunPhase::kBoot: return "boot";
    case RunPhase::kHandshake: return "handshake";
    case RunPhase::kTransfer: return "transfer";
    case RunPhase::kClosing: return "closing";
    default: return nullptr;
  }
}

void EventStream::Subscribe(Subscriber subscriber) {
  const std::lock_guard lock(mutex_);
  subscribers_.push_back(std::move(subscriber));
}

void EventStream::Publish(const Event& event) {
  const std::lock_guard lock(mutex_);
  for (const auto& subscriber : subscribers_) subscriber(event);
}

}  // namespace quillon::station
