#include "testing/fake_comm_driver.h"

#include <algorithm>

namespace quillon::testing {

FakeCommDriver::Bytes FakeCommDriver::AllWritten() const {
  Bytes all;
  for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}

bool FakeCommDriver::Open(const std::string& device) {
  ++driver_calls;
  calls.push_back("open:" + device);
  open_ = on_open ? on_open(device) : open_ok;
  return open_;
}

bool FakeCommDriver::SetupQueues(std::uint32_t input, std::uint32_t output) {
  ++driver_calls;
  calls.push_back("queues:" + std::to_string(input) + "/" + std::to_string(output));
  return setup_ok;
}

bool FakeCommDriver::GetState(LineSettings& settings) {
  ++driver_calls;
  settings = state;
  return true;
}

bool FakeCommDriver::SetState(const LineSettings& settings) {
  ++driver_calls;
  calls.push_back("state:" + std::to_string(settings.BaudRate));
  if (accept_state && !accept_state(settings)) return false;
  state = settings;
  return true;
}

bool FakeCommDriver::GetTimeouts(CommTimeouts& t) {
  ++driver_calls;
  t = timeouts;
  return true;
}

bool FakeCommDriver::SetTimeouts(const CommTimeouts& t) {
  ++driver_calls;
  calls.push_back("timeouts");
  if (timeouts_accepted == 0) return false;
  if (timeouts_accepted > 0) --timeouts_accepted;
  timeouts = t;
  return true;
}

void FakeCommDriver::TakeDue() {
  while (!timed_.empty() && timed_.begin()->first <= Now()) {
    const auto& bytes = timed_.begin()->second;
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    timed_.erase(timed_.begin());
  }
}

bool FakeCommDriver::ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) {
  ++driver_calls;
  ++queries;
  if (on_query) on_query();
  errors = 0;
  waiting = 0;
  if (line_gone) return false;
  TakeDue();
  if (!arrivals.empty()) {
    incoming.insert(incoming.end(), arrivals.front().begin(), arrivals.front().end());
    arrivals.pop_front();
  }
  errors = pending_errors | sticky_errors;
  pending_errors = 0;
  waiting = static_cast<std::uint32_t>(incoming.size());
  return clear_errors_ok;
}

bool FakeCommDriver::Read(std::span<std::uint8_t> buffer, std::size_t& read) {
  ++driver_calls;
  calls.push_back("read:" + std::to_string(buffer.size()));
  if (!read_ok || line_gone) return false;
  read = std::min(buffer.size(), incoming.size());
  std::copy_n(incoming.begin(), read, buffer.begin());
  incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(read));
  return true;
}

bool FakeCommDriver::Write(std::span<const std::uint8_t> bytes, std::size_t& written) {
  ++driver_calls;
  written = write_count ? write_count(bytes) : bytes.size();
  writes.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(written));
  calls.push_back("write:" + std::to_string(written));
  write_times.push_back(Now());
  if (on_write) on_write(bytes.first(written));
  return written == bytes.size();
}

InputWait FakeCommDriver::WaitForInput(int milliseconds) {
  ++driver_calls;
  calls.push_back("wait:" + std::to_string(milliseconds));
  waits.push_back(milliseconds);
  if (line_gone) return InputWait::kLineGone;
  TakeDue();
  if (!incoming.empty() || (pending_errors | sticky_errors) != 0) return InputWait::kInput;
  if (!clock) return InputWait::kTimeUp;
  const long long limit = Now() + std::max(milliseconds, 0);
  if (!timed_.empty() && timed_.begin()->first <= limit) {
    clock->Advance(std::max(timed_.begin()->first - Now(), 0LL));
    TakeDue();
    return InputWait::kInput;
  }
  clock->Advance(limit - Now());
  return InputWait::kTimeUp;
}

bool FakeCommDriver::Flush() {
  ++driver_calls;
  calls.push_back("flush");
  return true;
}

void FakeCommDriver::Close() {
  ++driver_calls;
  calls.push_back("close");
  open_ = false;
}

}  // namespace quillon::testing
