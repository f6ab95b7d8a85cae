#include "station/scan.h"

#include <chrono>

namespace quillon::station {
namespace {

class SerialScanner final : public ScanInput {
 public:
  explicit SerialScanner(std::unique_ptr<CommDriver> driver) : driver_(std::move(driver)) {}
  ~SerialScanner() override { driver_->Close(); }
  CommDriver& driver() { return *driver_; }

  bool Read(std::string& bytes, int milliseconds) override {
    const InputWait wait = driver_->WaitForInput(milliseconds);
    if (wait == InputWait::kLineGone) return false;
    if (wait == InputWait::kTimeUp) return true;
    std::uint8_t buffer[256];
    std::size_t read = 0;
    if (!driver_->Read(buffer, read)) return false;
    bytes.append(reinterpret_cast<const char*>(buffer), read);
    return true;
  }

 private:
  std::unique_ptr<CommDriver> driver_;
};

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::unique_ptr<ScanInput> OpenSerialScanner(std::unique_ptr<CommDriver> driver, const std::string& device) {
  LineSettings line;
  if (!driver->Open(device)) return nullptr;
  // From here the scanner closes its driver on every way out.
  auto scanner = std::make_unique<SerialScanner>(std::move(driver));
  if (!scanner->driver().GetState(line)) return nullptr;
  line.BaudRate = 9600;
  line.ByteSize = 8;
  line.Parity = 0;
  line.StopBits = 0;
  if (!scanner->driver().SetState(line)) return nullptr;
  return scanner;
}

ScanReader::ScanReader(std::string port, std::string name, std::unique_ptr<ScanInput> input, EventStream& events)
    : port_(std::move(port)), name_(std::move(name)), input_(std::move(input)), events_(events) {
  worker_ = std::thread([this] { Work(); });
}

ScanReader::~ScanReader() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  worker_.join();
}

void ScanReader::Work() {
  std::string pending;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (ending_) return;
    }
    if (!input_->Read(pending, 200)) {
      events_.Publish(WarningEvent{port_, WarningEvent::Kind::kScannerGone, name_, {}});
      return;
    }
    for (auto end = pending.find_first_of("\r\n"); end != std::string::npos; end = pending.find_first_of("\r\n")) {
      const std::string code = Trimmed(pending.substr(0, end));
      pending.erase(0, end + 1);
      if (code.empty()) continue;
      {
        const std::lock_guard lock(mutex_);
        code_ = code;
      }
      scanned_.notify_all();
    }
  }
}

std::optional<std::string> ScanReader::Take(int milliseconds) {
  std::unique_lock lock(mutex_);
  scanned_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return code_.has_value(); });
  std::optional<std::string> code;
  code.swap(code_);
  return code;
}

}  // namespace quillon::station
