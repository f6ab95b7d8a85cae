#include "station/events.h"

#include <deque>

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
  auto entry = std::make_unique<Entry>();
  entry->subscriber = std::move(subscriber);
  subscribers_.push_back(std::move(entry));
}

namespace {

// What a thread publishes while it is handing an event to the subscribers: delivered in order
// once that one has reached them all, so a subscriber that publishes waits for nobody. One
// queue per thread, kept from event to event.
thread_local bool delivering = false;
thread_local std::deque<std::pair<EventStream*, Event>> pending;

}  // namespace

void EventStream::Publish(const Event& event) {
  if (delivering) {
    pending.emplace_back(this, event);
    return;
  }
  struct Delivering {
    Delivering() { delivering = true; }
    ~Delivering() {
      delivering = false;
      pending.clear();
    }
    Delivering(const Delivering&) = delete;
    Delivering& operator=(const Delivering&) = delete;
  } scope;
  Deliver(event);
  while (!pending.empty()) {
    auto [stream, next] = std::move(pending.front());
    pending.pop_front();
    stream->Deliver(next);
  }
}

void EventStream::Deliver(const Event& event) {
  // Hand over hand: the next subscriber is taken before the last is let go, so two threads'
  // events reach every subscriber in the same order.
  std::unique_lock<std::mutex> held;
  for (const auto& entry : subscribers_) {
    std::unique_lock next(entry->busy);
    held = std::move(next);
    entry->subscriber(event);
  }
}

}  // namespace quillon::station
