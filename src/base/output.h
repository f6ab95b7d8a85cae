#pragma once
// Text written through a bounded queue that a writer of the owner's drains: whoever writes never
// waits for a reader that is slow, stuck or gone, and a reader that goes away costs only the
// text. The owner runs RunWriter on a thread it makes and joins (main for the command line's
// standard output and error, the port for its trace).

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace quillon {

/// The program must ignore SIGPIPE (a write to a reader that went away then fails instead of
/// ending the program).
class Output {
 public:
  /// Writes to descriptor `fd` (not closed here). Once `capacity` bytes wait, further text
  /// is dropped and counted.
  explicit Output(int fd, std::size_t capacity = 4u << 20);
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
  /// Whether the writer left text unwritten because its reader never took it (the writer's
  /// descriptor must then stay open: a later file could get its number and the text).
  bool stuck() const;

  /// The writer: writes what is queued until Close, then returns (within about 0.1 s of Close
  /// even when the reader never reads: the rest is dropped).
  void RunWriter();
  /// Asks the writer to return; text still queued is dropped.
  void Close();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace quillon
