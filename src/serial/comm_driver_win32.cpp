// The serial driver on Windows: the comm API on "\\.\COMn".

#include <windows.h>

#include <chrono>

#include "serial/comm_driver.h"

namespace quillon {
namespace {

class Win32CommDriver final : public CommDriver {
 public:
  ~Win32CommDriver() override { Close(); }

  bool Open(const std::string& device) override {
    Close();
    handle_ = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
  }

  bool SetupQueues(std::uint32_t input, std::uint32_t output) override {
    return SetupComm(handle_, input, output) != 0;
  }

  bool GetState(LineSettings& settings) override {
    dcb_ = DCB{};
    dcb_.DCBlength = sizeof dcb_;
    const bool ok = GetCommState(handle_, &dcb_) != 0;
    settings.BaudRate = dcb_.BaudRate;
    settings.ByteSize = dcb_.ByteSize;
    settings.Parity = dcb_.Parity;
    settings.StopBits = dcb_.StopBits;
    settings.fParity = dcb_.fParity;
    settings.fTXContinueOnXoff = dcb_.fTXContinueOnXoff;
    settings.fOutX = dcb_.fOutX;
    settings.fInX = dcb_.fInX;
    settings.fErrorChar = dcb_.fErrorChar;
    return ok;
  }

  bool SetState(const LineSettings& settings) override {
    // Every field the port does not set stays as GetState read it.
    DCB dcb = dcb_;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = settings.ByteSize;
    dcb.Parity = settings.Parity;
    dcb.StopBits = settings.StopBits;
    dcb.fParity = settings.fParity;
    dcb.fTXContinueOnXoff = settings.fTXContinueOnXoff;
    dcb.fOutX = settings.fOutX;
    dcb.fInX = settings.fInX;
    dcb.fErrorChar = settings.fErrorChar;
    return SetCommState(handle_, &dcb) != 0;
  }

  bool GetTimeouts(CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    const bool ok = GetCommTimeouts(handle_, &t) != 0;
    timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return ok;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                   timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                   timeouts.WriteTotalTimeoutConstant};
    return SetCommTimeouts(handle_, &t) != 0;
  }

  bool ClearErrors(std::uint32_t& errors, std::uint32_t& waiting) override {
    DWORD flags = 0;
    COMSTAT status{};
    const bool ok = ClearCommError(handle_, &flags, &status) != 0;
    errors = flags | held_errors_;
    held_errors_ = 0;
    waiting = status.cbInQue;
    return ok;
  }

  // The handle is not overlapped, so nothing can block on its input; the input count is
  // looked at every millisecond (the update raises the timer resolution to 1 ms).
  InputWait WaitForInput(int milliseconds) override {
    // GetTickCount moves in 15.6 ms steps whatever the timer resolution; the steady clock does not.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
    for (;;) {
      DWORD flags = 0;
      COMSTAT status{};
      if (ClearCommError(handle_, &flags, &status) == 0) return InputWait::kLineGone;
      // Querying clears the flags: keep them for the read that follows.
      held_errors_ |= flags;
      if (status.cbInQue > 0 || held_errors_ != 0) return InputWait::kInput;
      if (std::chrono::steady_clock::now() >= deadline) return InputWait::kTimeUp;
      ::Sleep(1);
    }
  }

  bool Read(std::span<std::uint8_t> buffer, std::size_t& read) override {
    DWORD n = 0;
    const bool ok = ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) != 0;
    read = n;
    return ok;
  }

  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written) override {
    DWORD n = 0;
    const bool ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) != 0;
    written = n;
    return ok;
  }

  bool Flush() override { return FlushFileBuffers(handle_) != 0; }

  void Close() override {
    held_errors_ = 0;
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DCB dcb_{};
  std::uint32_t held_errors_ = 0;
};

}  // namespace

std::unique_ptr<CommDriver> MakePlatformCommDriver() { return std::make_unique<Win32CommDriver>(); }

// The Windows driver changes nothing that outlives its handle.
void RestorePortsForSignal() noexcept {}

}  // namespace quillon
