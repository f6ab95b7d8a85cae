#pragma once
// The viewers of the event stream: each has a queue of its own, bounded, so that a viewer that
// cannot keep up (a slow tablet, a stalled connection) only loses its own events and never
// holds up the port that publishes them. A viewer that lost events is told so once and catches
// up by reading the whole state again.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::page {

class Viewers {
 public:
  struct Viewer;
  /// What a viewer is to send next.
  struct Batch {
    std::vector<std::string> lines;
    bool dropped = false;  ///< events were lost since the last batch
    bool closed = false;   ///< the stream ends
  };

  /// `gather`: once a line waits, a viewer waits this long for more before it sends them
  /// together (fewer wake-ups and writes for every viewer).
  explicit Viewers(std::size_t most = 32, std::size_t queue_bytes = 256 * 1024,
                   std::chrono::milliseconds gather = std::chrono::milliseconds(0))
      : most_(most), queue_bytes_(queue_bytes), gather_(gather) {}

  /// A new viewer, or null when `most` already watch.
  std::shared_ptr<Viewer> Join();
  void Leave(const std::shared_ptr<Viewer>& viewer);
  /// Queues a line for every viewer; never waits for one.
  void Publish(const std::string& line);
  /// What the viewer is to send: returns at once when something is queued, else after `wait`
  /// (an empty batch: time for a keep-alive) or when the viewers are closed.
  Batch Next(Viewer& viewer, std::chrono::milliseconds wait);
  /// Ends every stream (the station stops).
  void Close();
  std::size_t count() const;

 private:
  const std::size_t most_;
  const std::size_t queue_bytes_;
  const std::chrono::milliseconds gather_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Viewer>> viewers_;
  bool closed_ = false;
};

struct Viewers::Viewer {
  std::condition_variable ready;  ///< woken when its first line is queued, and when the viewers close
  std::deque<std::string> queue;
  std::size_t bytes = 0;
  bool dropped = false;
};

}  // namespace quillon::page
