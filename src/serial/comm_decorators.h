#pragma once
// Drivers that wrap another driver, one concern each: one that a stop request ends at once,
// one that counts what went out, one that traces every transfer. The protocol above them
// does not know they are there.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "base/seams.h"
#include "serial/comm_driver.h"

namespace quillon {

/// Passes every call on to the driver it wraps; the drivers below change only what they must.
class ForwardingCommDriver : public CommDriver {
 public:
  explicit ForwardingCommDriver(std::unique_ptr<CommDriver> inner) : inner_(std::move(inner)) {}

  bool Open(const std::string& device) override { return inner_->Open(device); }
  bool SetupQueues(std::uint32_t input, std::uint32_t output) override { return inner_->SetupQueues(input, output); }
  bool GetState(LineSettings& settings) override { return inner_->GetState(settings); }
  bool SetState(const LineSettings& settings) override { return inner_->SetState(settings); }
  bool GetTimeouts(CommTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
  bool SetTimeouts(const CommTimeouts& timeouts) override { return inner_->SetTimeouts(timeouts); }
  bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) override { return inner_->ClearErrors(errors, waiting); }
  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override { return inner_->Read(buffer, read); }
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override { return inner_->Write(bytes, written); }
  InputWait WaitForInput(int milliseconds) override { return inner_->WaitForInput(milliseconds); }
  bool Flush() override { return inner_->Flush(); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }

 private:
  std::unique_ptr<CommDriver> inner_;
};

/// Counts the bytes the driver below wrote.
class CountingCommDriver final : public ForwardingCommDriver {
 public:
  using ForwardingCommDriver::ForwardingCommDriver;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override;

  /// Bytes written since the driver was made (read from any thread).
  long long bytes_written() const { return bytes_written_.load(); }

 private:
  std::atomic<long long> bytes_written_{0};
};

/// Once `stop` is requested it opens nothing, reads and writes nothing, and every wait for
/// input ends at once with the line gone, so whatever the run is doing ends within one short
/// wait.
class StoppableCommDriver final : public ForwardingCommDriver {
 public:
  StoppableCommDriver(std::unique_ptr<CommDriver> inner, const StopFlag& stop)
      : ForwardingCommDriver(std::move(inner)), stop_(stop) {}

  bool Open(const std::string& device) override { return !stop_.requested() && ForwardingCommDriver::Open(device); }
  bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) override;
  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override;
  InputWait WaitForInput(int milliseconds) override;

 private:
  const StopFlag& stop_;
};

/// Where the trace's lines go; it must never wait for the file (the line is being timed).
using TraceLineSink = std::function<void(std::string line)>;

/// Gives each transfer that moved bytes to the trace, one line each (with its line feed):
/// milliseconds since the trace began (monotonic clock), "TX" (to the device) or "RX" (from
/// it), then the bytes in hex.
class TracingCommDriver final : public ForwardingCommDriver {
 public:
  TracingCommDriver(std::unique_ptr<CommDriver> inner, TraceLineSink trace)
      : ForwardingCommDriver(std::move(inner)), trace_(std::move(trace)), start_(std::chrono::steady_clock::now()) {}

  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override;

 private:
  void Trace(const char* direction, std::span<const std::uint8_t> bytes);

  TraceLineSink trace_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace quillon
