#include "base/output.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>

#include "base/file.h"

namespace quillon {

struct Output::State {
  int fd;
  std::size_t capacity;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;
  std::size_t queued_bytes = 0;
  bool writing = false;  ///< the writer holds a text taken from the queue
  bool closing = false;
  bool gone = false;
  bool stuck = false;
  std::size_t dropped = 0;
  WritingThread* writer = nullptr;  ///< while RunWriter runs

  void DropQueue() {
    for (const auto& left : queue) dropped += left.size();
    queue.clear();
    queued_bytes = 0;
  }
};

Output::Output(int fd, std::size_t capacity) : state_(std::make_unique<State>()) {
  state_->fd = fd;
  state_->capacity = capacity;
}

Output::~Output() = default;

void Output::RunWriter() {
  State& state = *state_;
  WritingThread self;
  std::unique_lock lock(state.mutex);
  state.writer = &self;
  for (;;) {
    state.changed.wait(lock, [&] { return !state.queue.empty() || state.closing; });
    if (state.closing) {
      state.DropQueue();
      state.writer = nullptr;
      state.changed.notify_all();
      return;
    }
    std::string text = std::move(state.queue.front());
    state.queue.pop_front();
    state.queued_bytes -= text.size();
    state.writing = true;
    lock.unlock();
    // A piece at a time, each only once the reader can take it, so that Close is heard even
    // while a reader never reads.
    std::string_view left = text;
    WriteReady ready = WriteReady::kReady;
    while (!left.empty()) {
      ready = WaitWritable(state.fd, std::chrono::milliseconds(100));
      if (ready == WriteReady::kFailed) break;
      {
        const std::lock_guard check(state.mutex);
        if (state.closing) break;
      }
      if (ready == WriteReady::kNotYet) continue;
      const auto piece = left.substr(0, kAtomicWrite);
      if (!WriteAll(state.fd, piece)) {
        ready = WriteReady::kFailed;
        break;
      }
      left.remove_prefix(piece.size());
    }
    lock.lock();
    state.writing = false;
    if (!left.empty()) {
      // The reader went away (a closed pipe: SIGPIPE is ignored), the disk is full, or the
      // reader never read before the end: what follows is dropped, and the run goes on.
      if (ready == WriteReady::kFailed) state.gone = true;
      else state.stuck = true;
      state.dropped += left.size();
      state.DropQueue();
    }
    state.changed.notify_all();
    if (state.gone) state.changed.wait(lock, [&] { return state.closing; });
  }
}

void Output::Close() {
  std::unique_lock lock(state_->mutex);
  state_->closing = true;
  state_->changed.notify_all();
  // A writer blocked in a write that cannot be waited for (Windows) is called off until it
  // has let go, within about a second.
  for (int i = 0; i < 100 && state_->writer != nullptr && state_->writing; ++i) {
    state_->writer->Cancel();
    state_->changed.wait_for(lock, std::chrono::milliseconds(10));
  }
}

void Output::Write(std::string text) {
  if (text.empty()) return;
  const std::lock_guard lock(state_->mutex);
  if (state_->gone || state_->closing || state_->queued_bytes + text.size() > state_->capacity) {
    state_->dropped += text.size();
    return;
  }
  state_->queued_bytes += text.size();
  state_->queue.push_back(std::move(text));
  state_->changed.notify_all();
}

bool Output::Drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit, [&] { return (state_->queue.empty() && !state_->writing) || state_->gone; }) &&
         !state_->gone;
}

std::size_t Output::dropped() const {
  const std::lock_guard lock(state_->mutex);
  return state_->dropped;
}

bool Output::gone() const {
  const std::lock_guard lock(state_->mutex);
  return state_->gone;
}

bool Output::stuck() const {
  const std::lock_guard lock(state_->mutex);
  return state_->stuck || state_->writing;
}

}  // namespace quillon
