#pragma once
// A port's trace file, written through a queue so that a port never waits for the disk.

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/output.h"

namespace quillon::station {

/// A port's trace file (UTF-8 path), made anew, with a writer thread of its own.
class TraceFile {
 public:
  explicit TraceFile(const std::string& path);
  ~TraceFile() { Finish(true); }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool ok() const { return output_ != nullptr; }
  /// What the tracing driver writes its lines to; never waits.
  std::function<void(std::string)> Sink();
  /// Writes what is queued (a stopped run gives it at most 0.5 s), then closes the file.
  void Finish(bool stopped);

 private:
  int fd_ = -1;
  std::unique_ptr<Output> output_;
  std::jthread writer_;
};

}  // namespace quillon::station
