#include "station/events.h"

#include <utility>
#include <vector>

namespace quillon::station {

void EventStream::Subscribe(Subscriber subscriber) {
  auto entry = std::make_unique<Entry>();
  entry->subscriber = std::move(subscriber);
  subscribers_.push_back(std::move(entry));
}

namespace {

// What a thread publishes while it is handing an event to the subscribers: delivered in order
// once that one has reached them all, so a subscriber that publishes waits for nobody. The queue
// lives on the stack of the outermost Publish (no thread_local with a destructor: mingw's
// threads crash running those at their exit), and takes memory only once a subscriber
// publishes.
using Pending = std::vector<std::pair<EventStream*, Event>>;
thread_local Pending* pending = nullptr;

}  // namespace

void EventStream::Publish(const Event& event) {
  if (pending != nullptr) {
    pending->emplace_back(this, event);
    return;
  }
  Pending queue;
  struct Delivering {
    explicit Delivering(Pending& queue) { pending = &queue; }
    ~Delivering() { pending = nullptr; }
    Delivering(const Delivering&) = delete;
    Delivering& operator=(const Delivering&) = delete;
  } scope(queue);
  Deliver(event);
  // By index: delivering may add to the queue.
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const auto [stream, next] = queue[i];
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
