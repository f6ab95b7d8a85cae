#include "page/viewers.h"

#include <algorithm>

namespace quillon::page {

std::shared_ptr<Viewers::Viewer> Viewers::Join() {
  const std::lock_guard lock(mutex_);
  if (closed_ || viewers_.size() >= most_) return nullptr;
  viewers_.push_back(std::make_shared<Viewer>());
  return viewers_.back();
}

void Viewers::Leave(const std::shared_ptr<Viewer>& viewer) {
  const std::lock_guard lock(mutex_);
  viewers_.erase(std::remove(viewers_.begin(), viewers_.end(), viewer), viewers_.end());
}

void Viewers::Publish(const std::string& line) {
  const std::lock_guard lock(mutex_);
  for (const auto& viewer : viewers_) {
    // Only a viewer with nothing queued is asleep for want of a line.
    const bool idle = viewer->queue.empty() && !viewer->dropped;
    if (viewer->bytes + line.size() > queue_bytes_) {
      viewer->dropped = true;
    } else {
      viewer->queue.push_back(line);
      viewer->bytes += line.size();
    }
    if (idle) viewer->ready.notify_one();
  }
}

Viewers::Batch Viewers::Next(Viewer& viewer, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  viewer.ready.wait_for(lock, wait, [&] { return closed_ || viewer.dropped || !viewer.queue.empty(); });
  if (!closed_ && (viewer.dropped || !viewer.queue.empty()) && gather_.count() > 0) {
    viewer.ready.wait_for(lock, gather_, [&] { return closed_; });
  }
  Batch batch;
  batch.closed = closed_;
  batch.dropped = viewer.dropped;
  batch.lines.assign(std::make_move_iterator(viewer.queue.begin()), std::make_move_iterator(viewer.queue.end()));
  viewer.queue.clear();
  viewer.bytes = 0;
  viewer.dropped = false;
  return batch;
}

void Viewers::Close() {
  const std::lock_guard lock(mutex_);
  closed_ = true;
  for (const auto& viewer : viewers_) viewer->ready.notify_all();
}

std::size_t Viewers::count() const {
  const std::lock_guard lock(mutex_);
  return viewers_.size();
}

}  // namespace quillon::page
