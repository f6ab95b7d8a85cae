#include "devsim/device.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

namespace devsim {
namespace {

constexpr std::chrono::milliseconds kIdle{10000};

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// The flash's erase blocks: base and size.
constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 12> kBlocks{{
    {0x00000, 0x1000}, {0x01000, 0x1000}, {0x02000, 0x1000}, {0x03000, 0x1000},
    {0x04000, 0x1000}, {0x05000, 0x1000}, {0x06000, 0x1000}, {0x07000, 0x1000},
    {0x08000, 0x8000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000},
}};

}  // namespace

Device::Device(PtyLine& line, Faults faults, std::vector<std::uint8_t> flash)
    : line_(line), faults_(std::move(faults)), flash_(std::move(flash)), ready_(std::chrono::steady_clock::now()) {}

void Device::Problem(std::string text) { problems_.push_back(std::move(text)); }

bool Device::Read(std::uint8_t& byte) {
  const auto got = line_.ReadByte(kIdle);
  if (!got) return false;
  byte = *got;
  return true;
}

void Device::Answer(std::uint8_t byte) {
  if (faults_.junk_before_answers && (byte == 0x06 || byte == 0x11)) {
    const std::array<std::uint8_t, 2> both{0x00, byte};
    line_.Write(both);
    return;
  }
  line_.Write(byte);
}

// A silent device keeps taking what the host sends but never answers again; a vanished one
// drops the line there, as a USB adapter pulled out does.
bool Device::Silent(const char* phase) {
  if (faults_.vanish_at == phase) {
    seen_.push_back(std::string("line dropped at ") + phase + " (fault injected)");
    line_.HangUp();
    return true;
  }
  if (faults_.silent_at != phase) return false;
  seen_.push_back(std::string("went silent at ") + phase + " (fault injected)");
  std::uint8_t ignored;
  while (Read(ignored)) {
  }
  return true;
}

void Device::RunBoard() {
  board_ = true;
  completed_ = BootMode() && BootProgram() && Blocks();
  if (!completed_) {
    if (line_.HostSeen()) seen_.push_back("the host stopped before the closing command");
    // A failed board stays on the fixture until the host has given up on it and let go.
    std::uint8_t ignored;
    while (line_.HostSeen() && Read(ignored)) {
    }
  }
}

void Device::Run() {
  completed_ = BootMode() && BootProgram() && Blocks();
  if (!completed_ && line_.HostSeen()) seen_.push_back("the host stopped before the closing command");
  // Keep the line up until the host lets go: dropping it now would flush the last answer
  // from the host's input queue.
  std::uint8_t extra = 0;
  while (Read(extra)) {
    if (completed_) Problem("unexpected byte " + Hex(extra) + " after the closing reply");
  }
}

bool Device::BootMode() {
  // Bit-rate adjustment: 0x00 bytes, then 0x55.
  std::uint8_t byte = 0;
  int zeros = 0;
  for (;;) {
    if (!Read(byte)) return false;
    if (faults_.slow_start_ms > 0) line_.Write(byte);
    if (byte == 0x55) break;
    if (byte == 0x00) {
      ++zeros;
    } else {
      Problem("unexpected byte " + Hex(byte) + " during the bit-rate adjustment");
    }
  }
  seen_.push_back("boot mode: " + std::to_string(zeros) + " bytes 0x00, then 0x55");
  if (const auto rate = line_.HostRate(); rate != 19200) {
    Problem("the host's line runs at " + std::to_string(rate) + " bit/s in boot mode, not 19200");
  }
  if (Silent("start")) return false;
  if (faults_.slow_start_ms > 0) {
    // Whatever the host sends meanwhile stays queued and is read as what follows the answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slow_start_ms));
    seen_.push_back("answered the start bytes " + std::to_string(faults_.slow_start_ms) + " ms late (fault injected)");
  }
  line_.Write(faults_.start_answer.value_or(0xAA));

  std::uint8_t high = 0, low = 0;
  if (!Read(high)) return false;
  if (Silent("size")) return false;
  line_.Write(high);
  if (!Read(low)) return false;
  line_.Write(low);
  const long size = (high << 8) | low;
  seen_.push_back("boot program size " + std::to_string(size));

  std::vector<std::uint8_t> echo;
  for (long i = 0; i < size; ++i) {
    if (!Read(byte)) {
      Problem("the boot program stopped after " + std::to_string(i) + " of " + std::to_string(size) + " bytes");
      return false;
    }
    if (i == 0) {
      const double waited = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - ready_).count();
      char text[96];
      std::snprintf(text, sizeof text, "first byte of the boot program %.0f ms after the board was ready", waited);
      seen_.push_back(text);
      if (Silent("echo")) return false;
    }
    if (faults_.no_echo_from >= 0 && i >= faults_.no_echo_from) continue;
    echo.push_back(faults_.wrong_echo_from >= 0 && i >= faults_.wrong_echo_from ? static_cast<std::uint8_t>(~byte) : byte);
    // Echoes go out in small groups while the program arrives.
    if (echo.size() >= 16 || i + 1 == size) {
      line_.Write(echo, false);
      echo.clear();
    }
  }
  if (!echo.empty()) line_.Write(echo, false);
  if (faults_.no_echo_from >= 0) {
    std::uint8_t ignored;
    while (Read(ignored)) {
    }
    return false;
  }
  if (Silent("final")) return false;
  std::vector<std::uint8_t> answer{faults_.final_answer.value_or(0xAA)};
  if (faults_.after_final_answer) answer.push_back(*faults_.after_final_answer);
  line_.Write(answer);
  seen_.push_back("boot program received and started");
  return true;
}

bool Device::BootProgram() {
  std::array<std::uint8_t, 12> command{};
  for (auto& byte : command) {
    if (!Read(byte)) return false;
  }
  const std::uint32_t rate = (std::uint32_t{command[1]} << 24) | (command[2] << 16) | (command[3] << 8) | command[4];
  seen_.push_back("bit-rate command: " + std::to_string(rate) + " bit/s");
  constexpr std::array<std::uint8_t, 7> kTail{0x00, 0x00, 0x56, 0x66, 0x01, 0x00, 0x01};
  bool good = command[0] == 0x53 && std::equal(kTail.begin(), kTail.end(), command.begin() + 5);
  if (!good) Problem("malformed bit-rate command");
  constexpr std::array<std::uint32_t, 6> kRates{4800, 9600, 19200, 38400, 57600, 115200};
  if (std::find(kRates.begin(), kRates.end(), rate) == kRates.end()) {
    Problem("bit-rate command carries " + std::to_string(rate) + ", which the device cannot run at");
    good = false;
  }
  if (Silent("bitrate")) return false;
  if (!good) {
    line_.Write(0x15);
    return false;
  }
  Answer(faults_.bitrate_answer.value_or(0x06));
  if (faults_.bitrate_answer) return false;
  line_.SetDeviceRate(rate);

  std::uint8_t byte = 0;
  if (!Read(byte)) return false;
  if (const auto host = line_.HostRate(); host != rate) {
    // A real device would see noise at a different rate and never answer.
    Problem("the host's line runs at " + std::to_string(host) + " bit/s, the device at " + std::to_string(rate));
    return false;
  }
  if (byte != 0x06) Problem("expected 0x06 at the new rate, got " + Hex(byte));
  if (Silent("newrate")) return false;
  Answer(0x06);
  seen_.push_back("link moved to " + std::to_string(rate) + " bit/s");
  return true;
}

void Device::NoteGap(std::vector<double>& gaps, std::chrono::steady_clock::time_point from) {
  gaps.push_back(std::chrono::duration<double, std::milli>(line_.LastByteSent() - from).count());
}

std::string Device::GapSummary() const {
  auto range = [](const std::vector<double>& gaps) {
    if (gaps.empty()) return std::string("none");
    const auto [low, high] = std::minmax_element(gaps.begin(), gaps.end());
    char text[64];
    std::snprintf(text, sizeof text, "min %.1f ms, max %.1f ms", *low, *high);
    return std::string(text);
  };
  return "host pauses after chunks: " + range(chunk_gaps_ms_) + "; after blocks: " + range(block_gaps_ms_);
}

bool Device::Blocks() {
  // Zero: no block has been acknowledged yet.
  std::chrono::steady_clock::time_point block_acked{};
  for (;;) {
    std::uint8_t byte = 0;
    if (!Read(byte)) return false;
    if (block_acked != std::chrono::steady_clock::time_point{}) NoteGap(block_gaps_ms_, block_acked);
    block_acked = {};
    if (byte == 0x43) {
      seen_.push_back("closing command");
      seen_.push_back(GapSummary());
      if (Silent("closing")) return false;
      std::vector<std::uint8_t> reply(static_cast<std::size_t>(std::max(faults_.closing_bytes, 0)), 0x00);
      const auto split = static_cast<std::size_t>(std::clamp(faults_.closing_split, 0, static_cast<int>(reply.size())));
      line_.Write(std::span(reply).first(split));
      if (split > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      line_.Write(std::span(reply).subspan(split));
      return true;
    }
    if (byte != 0x57) {
      Problem("expected a block command (0x57) or the closing command (0x43), got " + Hex(byte));
      continue;
    }
    if (!Read(byte)) return false;
    if (byte != 0x00) Problem("block command 0x57 followed by " + Hex(byte) + ", not 0x00");
    if (Silent("block-ack")) return false;
    if (faults_.slow_block_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slow_block_ms));
    Answer(0x06);

    std::array<std::uint8_t, 8> header{};
    for (auto& b : header) {
      if (!Read(b)) return false;
    }
    const std::uint32_t base = (std::uint32_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    const std::uint32_t length = (std::uint32_t{header[4]} << 24) | (header[5] << 16) | (header[6] << 8) | header[7];
    const auto block = std::find_if(kBlocks.begin(), kBlocks.end(), [&](const auto& b) { return b.first == base; });
    if (block == kBlocks.end() || length == 0 || length % 128 != 0 || length > block->second) {
      Problem("bad block header: base " + Hex(base) + ", length " + Hex(length));
      line_.Write(0x15);
      return false;
    }
    // The block is erased before its data is written.
    std::fill_n(flash_.begin() + base, block->second, 0xFF);
    if (Silent("ready")) return false;
    Answer(0x11);
    if (!Read(byte)) return false;
    if (byte != 0x11) Problem("expected the host's 0x11 after the header, got " + Hex(byte));

    unsigned sum = 0;
    std::chrono::steady_clock::time_point host_ready{};
    for (std::uint32_t at = 0; at < length; at += 128) {
      const std::uint32_t chunk = std::min<std::uint32_t>(128, length - at);
      for (std::uint32_t i = 0; i < chunk; ++i) {
        if (!Read(byte)) {
          Problem("chunk " + std::to_string(chunks_) + " stopped after " + std::to_string(i) + " bytes");
          return false;
        }
        if (i == 0 && at > 0) NoteGap(chunk_gaps_ms_, host_ready);
        flash_[base + at + i] = byte;
        sum += byte;
      }
      if (faults_.hangup_at_chunk == chunks_) {
        seen_.push_back("line dropped at chunk " + std::to_string(chunks_) + " (fault injected)");
        line_.HangUp();
        return false;
      }
      if (faults_.latency_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.latency_ms));
      const bool silent = faults_.silent_after_chunk >= 0 && chunks_ >= faults_.silent_after_chunk;
      ++chunks_;
      if (silent) {
        seen_.push_back("no answer to chunk " + std::to_string(chunks_ - 1) + " (fault injected)");
        std::uint8_t ignored;
        while (Read(ignored)) {
        }
        return false;
      }
      line_.Write(faults_.chunk_answer);
      // Timed from our own answer: the host cannot have gone on before it. Its 0x11 is no
      // mark, since a device that reads late gets the 0x11 and the next chunk in one read.
      host_ready = std::chrono::steady_clock::now();
      if (!Read(byte)) return false;
      if (byte != 0x11) Problem("expected the host's 0x11 after a chunk, got " + Hex(byte));
    }
    std::uint8_t checksum = 0;
    if (!Read(checksum)) return false;
    NoteGap(chunk_gaps_ms_, host_ready);
    const bool sum_ok = ((sum + checksum) & 0xFF) == 0xFF;
    seen_.push_back("block " + Hex(base) + " length " + Hex(length) + (sum_ok ? ", checksum good" : ", checksum BAD"));
    if (!sum_ok) {
      Problem("checksum of block " + Hex(base) + " does not match");
      line_.Write(0x15);
      continue;
    }
    if (Silent("checksum-ack")) return false;
    if (faults_.slow_checksum_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slow_checksum_ms));
    Answer(0x06);
    block_acked = std::chrono::steady_clock::now();
  }
}

}  // namespace devsim
