#include "serial/serial_port.h"

#include <algorithm>

namespace quillon {

void LogOpenError(const EventLog& log, const std::string& device) { LogFailure(log, device + "Open Error"); }

int SerialPort::OpenPort(const std::string& device) {
  ClosePort();
  device_ = device;
  if (!driver_.Open(device)) {
    LogOpenError(log_, device);
    return 0;
  }
  if (!driver_.SetupQueues(1200, 1200)) {
    ClosePort();
    LogFailure(log_, "SetupComm() Error");
    return 0;
  }
  // Each of these writes its own record when refused.
  if (!SetBaudrate(19200) || !RecvTimeOut(1000) || !SendTimeOut(1000)) {
    ClosePort();
    return 0;
  }
  return 1;
}

int SerialPort::SetBaudrate(std::int32_t rate) {
  std::uint32_t mapped = 19200;
  switch (rate) {
    case 4800: case 9600: case 38400: case 57600: case 115200:
      mapped = static_cast<std::uint32_t>(rate);
      break;
    default:
      break;
  }
  LineSettings settings;
  driver_.GetState(settings);
  settings.fParity = true;
  settings.fTXContinueOnXoff = false;
  settings.fOutX = false;
  settings.fInX = false;
  settings.fErrorChar = false;
  settings.BaudRate = mapped;
  settings.ByteSize = 8;
  settings.Parity = 0;
  settings.StopBits = 0;
  if (driver_.SetState(settings)) return 1;
  LogFailure(log_, "SetCommState() Error Baudrate = " + std::to_string(rate));
  return 0;
}

int SerialPort::RecvTimeOut(std::uint32_t milliseconds) {
  CommTimeouts timeouts;
  driver_.GetTimeouts(timeouts);
  timeouts.ReadIntervalTimeout = milliseconds;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = milliseconds;
  if (driver_.SetTimeouts(timeouts)) return 1;
  LogFailure(log_, "RecvTimeOut() Error ");
  return 0;
}

int SerialPort::SendTimeOut(std::uint32_t milliseconds) {
  CommTimeouts timeouts;
  driver_.GetTimeouts(timeouts);
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = milliseconds;
  if (driver_.SetTimeouts(timeouts)) return 1;
  LogFailure(log_, "SendTimeOut() Error ");
  return 0;
}

int SerialPort::ReadCom(std::span<std::uint8_t> buffer) {
  line_gone_ = false;
  left_queued_ = false;
  std::uint32_t errors = 0, waiting = 0;
  if (!driver_.ClearErrors(errors, waiting)) {
    // The driver cannot even say what is waiting: the device has gone away.
    line_gone_ = true;
    LogFailure(log_, " ReadCom() : ReadFile() Error");
    return -1;
  }
  const bool parity = (errors & kCeRxParity) != 0;
  if (parity) {
    LogFailure(log_, " ReadCom() Parity Error Count = " + std::to_string(waiting));
  } else if (errors != 0) {
    left_queued_ = waiting > 0;
    LogFailure(log_, " ReadCom() :Error Code = " + std::to_string(errors));
    return -1;
  }
  if (waiting == 0) return 0;
  const std::size_t want = std::min<std::size_t>(waiting, buffer.size());
  std::size_t got = 0;
  if (!driver_.Read(buffer.first(want), got)) {
    line_gone_ = true;
    LogFailure(log_, " ReadCom() : ReadFile() Error");
    return -1;
  }
  left_queued_ = got < waiting;
  return parity ? 0 : static_cast<int>(got);
}

InputWait SerialPort::WaitForInput(int milliseconds) {
  if (!driver_.IsOpen()) return InputWait::kLineGone;
  return driver_.WaitForInput(milliseconds);
}

int SerialPort::WriteCom(std::span<const std::uint8_t> bytes) {
  if (!driver_.IsOpen() || bytes.empty()) return 0;
  std::size_t written = 0;
  driver_.Write(bytes, written);
  driver_.Flush();
  return static_cast<int>(written);
}

void SerialPort::ClosePort() {
  if (driver_.IsOpen()) driver_.Close();
}

}  // namespace quillon
