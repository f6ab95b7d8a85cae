#include "station/output.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "base/file.h"

namespace quillon::station {

struct Output::State {
  int fd;
  std::size_t capacity;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;
  std::size_t queued_bytes = 0;
  bool writing = false;  ///< the writer holds a text taken from the queue
  bool closing = false;
  bool gone = false;
  std::size_t dropped = 0;
};

namespace {

void RunWriter(const std::shared_ptr<Output::State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->changed.wait(lock, [&] { return !state->queue.empty() || state->closing; });
    if (state->queue.empty()) return;
    std::string text = std::move(state->queue.front());
    state->queue.pop_front();
    state->queued_bytes -= text.size();
    state->writing = true;
    lock.unlock();
    const bool written = WriteAll(state->fd, text);
    lock.lock();
    state->writing = false;
    if (!written) {
      // The reader went away (a closed pipe: SIGPIPE is ignored) or the disk is full: what
      // follows is dropped, and the run goes on.
      state->gone = true;
      for (const auto& left : state->queue) state->dropped += left.size();
      state->dropped += text.size();
      state->queue.clear();
      state->queued_bytes = 0;
    }
    state->changed.notify_all();
  }
}

}  // namespace

Output::Output(int fd, std::size_t capacity) : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->capacity = capacity;
  // Detached: a writer stuck in a write to a reader that never reads must not hold up the end
  // of the program. It owns the state with us.
  std::thread([state = state_] { RunWriter(state); }).detach();
}

Output::~Output() {
  const std::lock_guard lock(state_->mutex);
  state_->closing = true;
  state_->changed.notify_all();
}

void Output::Write(std::string text) {
  if (text.empty()) return;
  const std::lock_guard lock(state_->mutex);
  if (state_->gone || state_->queued_bytes + text.size() > state_->capacity) {
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

TraceFile::TraceFile(const std::string& path) {
  fd_ = OpenNewFile(path);
  // Up to 64 MiB queued: a whole update's trace is a few MiB.
  if (fd_ >= 0) output_ = std::make_unique<Output>(fd_, 64u << 20);
}

std::function<void(std::string)> TraceFile::Sink() {
  return [output = output_.get()](std::string line) { output->Write(std::move(line)); };
}

void TraceFile::Finish(bool stopped) {
  if (!output_) return;
  const bool written = output_->Drain(stopped ? std::chrono::milliseconds(500) : std::chrono::seconds(30));
  output_.reset();
  // A writer still stuck in the file keeps its descriptor: closed now, its number could be
  // given to the next port opened, and the trace would go down that line.
  if (written) CloseFile(fd_);
  fd_ = -1;
}

}  // namespace quillon::station
