#pragma once
// Everything written during a run (a trace file; the command line's standard output and
// error) goes through a bounded queue with a writer thread of its own: a port never waits for
// a reader that is slow, stuck or gone, and a reader that goes away costs only the output.

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace quillon::station {

/// The program must ignore SIGPIPE (a write to a reader that went away then fails instead of
/// ending the program).
class Output {
 public:
  /// Writes to descriptor `fd` (not closed here). Once `capacity` bytes wait, further text
  /// is dropped and counted.
  explicit Output(int fd, std::size_t capacity = 4u << 20);
  /// The writer ends once the queue is empty; whoever needs the text written drains first.
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  /// Queues the text; never waits.
  void Write(std::string text);
  /// Returns once everything queued has been written, the output is gone, or `limit` has
  /// passed; true in the first case.
  bool Drain(std::chrono::milliseconds limit);
  /// Bytes dropped because the queue was full or the reader had gone.
  std::size_t dropped() const;
  /// The reader went away or the file cannot take more (a write failed).
  bool gone() const;

  struct State;  ///< shared with the writer thread

 private:
  std::shared_ptr<State> state_;
};

/// A port's trace file (UTF-8 path), made anew and written through a queue of its own.
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
};

}  // namespace quillon::station
