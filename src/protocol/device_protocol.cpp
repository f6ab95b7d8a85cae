#include "protocol/device_protocol.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

#include "base/messages.h"

namespace quillon {
namespace {

constexpr std::uint8_t kStartAnswer = 0xAA;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kReady = 0x11;
constexpr std::uint8_t kBlockCommand[] = {0x57, 0x00};
constexpr std::uint8_t kClosingCommand = 0x43;
constexpr int kClosingReplyBytes = 4;
constexpr int kStartBytePauseMs = 50;
constexpr int kEchoReadPauseMs = 128;
constexpr int kEchoLag = 64;
constexpr int kBitRatePauseMs = 50;
constexpr int kMinSendWaitMs = 5;

}  // namespace

std::array<std::uint8_t, 12> BitRateCommand(std::int32_t baudrate) {
  const auto rate = static_cast<std::uint32_t>(baudrate);
  return {0x53,
          static_cast<std::uint8_t>(rate >> 24),
          static_cast<std::uint8_t>(rate >> 16),
          static_cast<std::uint8_t>(rate >> 8),
          static_cast<std::uint8_t>(rate),
          0x00, 0x00, 0x56, 0x66, 0x01, 0x00, 0x01};
}

bool DeviceProtocol::Send(std::span<const std::uint8_t> bytes) {
  // A short write is a failed write: the device would wait for bytes that never come.
  return port_.WriteCom(bytes) == static_cast<int>(bytes.size());
}

int DeviceProtocol::ShortPoll(std::span<std::uint8_t> buffer) {
  const ReadSlots slots(pause_, kPollPauseMs);
  for (int i = 0; i < kPollReads; ++i) {
    const int n = port_.ReadCom(buffer);
    if (n > 0) return n;
    // A line that is gone will bring nothing in the 699 reads left.
    if (port_.LineGone()) return 0;
    AwaitNext(n, slots, i);
  }
  return 0;
}

int DeviceProtocol::ReadSlots::Left(int attempt) const {
  const auto end = start_ + std::chrono::milliseconds(static_cast<long long>(slot_ms_) * (attempt + 1));
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - pause_.Now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

void DeviceProtocol::AwaitNext(int read_result, const ReadSlots& slots, int attempt) {
  const int left = slots.Left(attempt);
  if (left == 0) return;
  // After a read that found nothing the wait ends as soon as a byte arrives, so an answer is
  // taken the moment it is there. Bytes left queued would end that wait at once and burn
  // the read budget in no time: then it is a plain pause.
  if (read_result == 0 && !port_.InputLeftQueued()) {
    port_.WaitForInput(left);
  } else {
    pause_.Sleep(left);
  }
}

void DeviceProtocol::OpenProgress(std::string_view text, int steps, Transfer transfer) {
  progress_.SetTextAndRange(std::string(text), steps, transfer);
  progress_.Show();
  progress_open_ = true;
}

void DeviceProtocol::CloseProgress() {
  if (progress_open_) progress_.Close();
  progress_open_ = false;
}

bool DeviceProtocol::Fail(std::string_view message, const char* file, int line) {
  CloseProgress();
  LogFailure(log_, message, file, line);
  return false;
}

std::optional<std::uint8_t> DeviceProtocol::ExchangeByte(std::uint8_t byte) {
  if (!SendByte(byte)) return std::nullopt;
  std::array<std::uint8_t, 256> buffer{};
  if (ShortPoll(buffer) == 0) return std::nullopt;
  return buffer[0];
}

std::optional<DeviceProtocol::StartBytesHeard> DeviceProtocol::SendStartBytes(std::span<std::uint8_t> answer) {
  // Ten 0x00 let the chip measure the bit rate; it answers the 0x55 with 0xAA.
  constexpr std::array<std::uint8_t, 11> kStart{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x55};
  StartBytesHeard heard;
  for (std::uint8_t byte : kStart) {
    if (!SendByte(byte)) return std::nullopt;
    pause_.Sleep(kStartBytePauseMs);
    const int n = port_.ReadCom(answer);
    if (n > 0) {
      heard.any = true;
      heard.answered = answer[static_cast<std::size_t>(n - 1)] == kStartAnswer;
    }
  }
  return heard;
}

bool DeviceProtocol::SendBoot(std::span<const std::uint8_t> image) {
  std::array<std::uint8_t, 32> start{};
  start[0] = 0xFF;
  if (!SendStartBytes(start)) return Fail();
  if (start[0] != kStartAnswer) {
    if (!port_.LineGone()) ShortPoll(start);
    if (start[0] != kStartAnswer) return Fail();
  }
  return SendBootProgram(image);
}

BootModeProbe DeviceProtocol::ProbeBootMode(int wait_ms) {
  std::array<std::uint8_t, 32> start{};
  const auto sent = SendStartBytes(start);
  if (!sent) return BootModeProbe::kLineFailed;
  bool heard = sent->any;
  bool answered = sent->answered;
  // An empty fixture is probed all day: its quiet line gets one wait of `wait_ms`, which any
  // byte ends early, rather than a read every 5 ms. A line that said anything may hold a chip
  // still adjusting its rate: it gets the whole time an update gives the chip's answer, so
  // that no start byte of the next probe reaches a chip that is about to answer.
  const auto after_start = pause_.Now();
  const auto deadline = [&] {
    return after_start + std::chrono::milliseconds(heard ? kPollReads * kPollPauseMs : wait_ms);
  };
  int n = 0;
  while (!answered) {
    if (port_.LineGone()) return BootModeProbe::kLineFailed;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline() - pause_.Now()).count();
    if (left <= 0) break;
    if (n <= 0 && !port_.InputLeftQueued()) {
      port_.WaitForInput(static_cast<int>(left));
    } else {
      pause_.Sleep(static_cast<int>(std::min<long long>(left, kPollPauseMs)));
    }
    n = port_.ReadCom(start);
    if (n > 0) {
      heard = true;
      answered = start[static_cast<std::size_t>(n - 1)] == kStartAnswer;
    }
  }
  if (answered) return BootModeProbe::kAnswered;
  return heard ? BootModeProbe::kOther : BootModeProbe::kSilent;
}

bool DeviceProtocol::SendBootProgram(std::span<const std::uint8_t> image) {
  const int length = static_cast<int>(image.size());
  std::array<std::uint8_t, 32> start{};

  // The size, high byte first; the chip echoes each. Silence or a failed write is a failure
  // whatever the size byte is.
  for (std::uint8_t byte : {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)}) {
    const auto echo = ExchangeByte(byte);
    if (!echo || *echo != byte) return Fail();
  }

  OpenProgress(MessageText(kMsgBootProgress), (length + kChunkSize - 1) / kChunkSize, Transfer::kBootProgram);
  std::array<std::uint8_t, 256> echo{};
  int lag = kEchoLag;
  int sent = 0;
  int received = 0;
  std::optional<std::uint8_t> final_answer;
  while (sent < length) {
    int chunk = kChunkSize;
    if (length - sent <= kChunkSize) {
      chunk = length - sent;
      lag = 0;
    }
    if (!Send(image.subspan(static_cast<std::size_t>(sent), static_cast<std::size_t>(chunk)))) return Fail();
    progress_.StepAndPump();
    // The next chunk may go out while up to 64 bytes are still unechoed; after the last
    // one every byte must have come back.
    int empty_reads = 0;
    do {
      pause_.Sleep(kEchoReadPauseMs);
      const int n = port_.ReadCom(echo);
      if (n < 0) return Fail();
      if (n == 0) {
        if (++empty_reads > kPollReads) return Fail("No Echo");
        continue;
      }
      for (int i = 0; i < n; ++i) {
        const int position = received + i;
        const std::uint8_t byte = echo[static_cast<std::size_t>(i)];
        // The byte right after the last echo is the final answer; anything behind it is not
        // looked at.
        if (position == length) final_answer = byte;
        if (position < length && byte != image[static_cast<std::size_t>(position)]) return Fail();
      }
      received += n;
      empty_reads = 0;
    } while (sent + chunk > received + lag);
    sent += chunk;
  }
  CloseProgress();

  if (final_answer) return *final_answer == kStartAnswer;
  if (ShortPoll(start) == 0) return Fail();
  return start[0] == kStartAnswer;
}

bool DeviceProtocol::SwitchBitRate(std::int32_t baudrate) {
  const auto command = BitRateCommand(baudrate);
  pause_.Sleep(kBitRatePauseMs);
  if (!Send(command)) return Fail();
  std::array<std::uint8_t, 32> reply{};
  if (ShortPoll(reply) == 0 || reply[0] != kAck) return Fail("Ack Error");
  // SetBaudrate writes its own record when the port refuses the rate.
  if (!port_.SetBaudrate(baudrate)) return false;
  if (!SendByte(kAck)) return Fail();
  reply[0] = 0x00;
  if (ShortPoll(reply) == 0) return Fail();
  return reply[0] == kAck;
}

bool DeviceProtocol::WaitForByte(std::uint8_t expected, int attempts, int pause_ms) {
  std::array<std::uint8_t, 32> reply{};
  const ReadSlots slots(pause_, pause_ms);
  for (int i = 0; i < attempts; ++i) {
    const int n = port_.ReadCom(reply);
    if (n >= 1 && reply[0] == expected) return true;
    if (port_.LineGone()) return false;
    AwaitNext(n, slots, i);
  }
  return false;
}

bool DeviceProtocol::SendFlashImage(const FlashImage& image, std::int32_t send_wait) {
  const std::int64_t total = TotalUsedLength(image);
  OpenProgress(MessageText(kMsgFlashProgress), static_cast<int>((total + kChunkSize - 1) / kChunkSize),
               Transfer::kUpdate);
  std::array<std::uint8_t, 32> reply{};
  position_ = {};
  for (std::size_t index = 0; index < image.size(); ++index) {
    const BlockImage& block = image[index];
    if (block.UsedLength < 1) continue;
    position_ = {static_cast<int>(index), 0, false};
    if (!SendByte(kBlockCommand[0])) return Fail();
    if (!SendByte(kBlockCommand[1])) return Fail();
    if (!WaitForByte(kAck, kPollReads, kPollPauseMs)) return Fail();
    const auto base = static_cast<std::uint32_t>(block.Base);
    const auto used = static_cast<std::uint32_t>(block.UsedLength);
    const std::array<std::uint8_t, 8> header{
        static_cast<std::uint8_t>(base >> 24), static_cast<std::uint8_t>(base >> 16),
        static_cast<std::uint8_t>(base >> 8),  static_cast<std::uint8_t>(base),
        static_cast<std::uint8_t>(used >> 24), static_cast<std::uint8_t>(used >> 16),
        static_cast<std::uint8_t>(used >> 8),  static_cast<std::uint8_t>(used)};
    for (std::uint8_t byte : header) {
      if (!SendByte(byte)) return Fail();
    }
    if (!WaitForByte(kReady, kPollReads, kPollPauseMs)) return Fail();
    if (!SendByte(kReady)) return Fail();

    auto data = UsedBytes(block);
    while (!data.empty()) {
      const auto chunk = data.first(std::min<std::size_t>(kChunkSize, data.size()));
      data = data.subspan(chunk.size());
      if (!Send(chunk)) return Fail();
      // Any answer will do; what it says is the device's business.
      int answer = 0;
      const ReadSlots slots(pause_, kPollPauseMs);
      for (int i = 0; i < kPollReads && answer == 0; ++i) {
        answer = port_.ReadCom(reply);
        if (answer == 0) AwaitNext(answer, slots, i);
      }
      if (answer <= 0) return Fail();
      if (!SendByte(kReady)) return Fail();
      ++position_.chunk;
      progress_.StepAndPump();
      if (send_wait >= kMinSendWaitMs) pause_.Sleep(send_wait);
    }
    if (!SendByte(BlockChecksum(block))) return Fail();
    if (!WaitForByte(kAck, kPollReads, kPollPauseMs)) return Fail();
    if (send_wait >= kMinSendWaitMs) pause_.Sleep(send_wait);
  }

  position_.closing = true;
  const bool closing_sent = SendByte(kClosingCommand);
  CloseProgress();
  if (!closing_sent) return Fail();
  // Only the number of closing bytes counts: exactly four.
  int count = 0;
  const ReadSlots slots(pause_, kPollPauseMs);
  for (int i = 0; i < kPollReads; ++i) {
    const int n = port_.ReadCom(reply);
    if (n < 0) return Fail();
    count += n;
    if (count == kClosingReplyBytes) return true;
    if (count > kClosingReplyBytes) return Fail();
    AwaitNext(n, slots, i);
  }
  return false;
}

}  // namespace quillon
