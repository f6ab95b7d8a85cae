#pragma once
// A scripted serial driver: what arrives, which settings it refuses, how writes go.

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serial/comm_driver.h"
#include "testing/fakes.h"

namespace quillon::testing {

class FakeCommDriver final : public CommDriver {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // --- the script ---
  bool open_ok = true;
  /// Decides each Open in place of `open_ok` when set (an adapter pulled and plugged back).
  std::function<bool(const std::string& device)> on_open;
  bool setup_ok = true;
  /// Decides whether SetState accepts the settings (default: all).
  std::function<bool(const LineSettings&)> accept_state;
  /// SetTimeouts calls accepted before the driver starts refusing them (-1: never refuses).
  int timeouts_accepted = -1;
  bool clear_errors_ok = true;
  /// Error flags reported by the next ClearErrors.
  std::uint32_t pending_errors = 0;
  /// Error flags reported by every ClearErrors (a line that keeps flagging).
  std::uint32_t sticky_errors = 0;
  bool read_ok = true;
  /// Each read first takes in the next arrival, so bytes that arrive "3 then 1" reach two
  /// reads; an empty arrival is a read that finds nothing new.
  std::deque<Bytes> arrivals;
  /// The virtual clock the driver's waits run on (none: a wait returns at once). Bytes given
  /// to ArriveAt fall due on it; WaitForInput advances it to the first that falls due.
  FakePause* clock = nullptr;
  /// The line is gone for good (a pulled adapter): queries, reads and waits fail.
  bool line_gone = false;
  /// How many bytes of a write get out (default: all).
  std::function<std::size_t(std::span<const std::uint8_t>)> write_count;
  /// Called as every ReadCom begins (before the driver is asked what is waiting).
  std::function<void()> on_query;
  /// The device's side: called with every write's bytes, after they are recorded.
  std::function<void(std::span<const std::uint8_t>)> on_write;

  // --- what happened ---
  std::vector<std::string> calls;  ///< "open:<device>", "close", "state:<rate>", "read:<n>", ...
  std::vector<Bytes> writes;
  std::vector<int> waits;  ///< the time limit of every WaitForInput
  /// The virtual millisecond of every write (0 without a clock).
  std::vector<long long> write_times;
  Bytes incoming;  ///< bytes that have arrived and wait to be read
  LineSettings state;
  CommTimeouts timeouts;
  int driver_calls = 0;
  int queries = 0;  ///< ClearErrors calls: one per ReadCom

  Bytes AllWritten() const;
  /// The bytes arrive at virtual millisecond `due` (several at one millisecond keep their order).
  void ArriveAt(long long due, Bytes bytes) { timed_.emplace(due, std::move(bytes)); }
  /// The bytes arrive `after` milliseconds from now on the clock.
  void ArriveIn(long long after, Bytes bytes) { ArriveAt(Now() + after, std::move(bytes)); }
  long long Now() const { return clock ? clock->now_ms : 0; }

  bool Open(const std::string& device) override;
  bool SetupQueues(std::uint32_t input, std::uint32_t output) override;
  bool GetState(LineSettings& settings) override;
  bool SetState(const LineSettings& settings) override;
  bool GetTimeouts(CommTimeouts& t) override;
  bool SetTimeouts(const CommTimeouts& t) override;
  bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) override;
  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override;
  InputWait WaitForInput(int milliseconds) override;
  bool Flush() override;
  void Close() override;
  bool IsOpen() const override { return open_; }

 private:
  void TakeDue();

  bool open_ = false;
  std::multimap<long long, Bytes> timed_;
};

}  // namespace quillon::testing
