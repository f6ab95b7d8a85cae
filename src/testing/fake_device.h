#pragma once
// Scripted devices for the fake driver: the chip's boot mode, the boot program's flash
// transfer, and the two chained with the bit-rate handshake for a whole update.

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "testing/fake_comm_driver.h"

namespace quillon::testing {

using Bytes = FakeCommDriver::Bytes;

// The chip in boot mode: answers 0x55 with 0xAA, echoes the size bytes and the program,
// confirms with 0xAA. Each knob breaks one thing.
struct BootDevice {
  std::optional<std::uint8_t> start_answer = 0xAA;
  bool echo_size = true;
  std::optional<std::uint8_t> size_echo_override;
  std::size_t echo_piece = 1 << 20;   ///< echoes come back in pieces of this size
  int wrong_echo_at = -1;             ///< program byte whose echo is corrupted
  int echo_stops_at = -1;             ///< program bytes from here on are not echoed
  std::optional<std::uint8_t> final_answer = 0xAA;
  bool final_with_last_echo = false;
  Bytes after_final;                  ///< stray bytes right behind the final answer
  /// With a clock on the driver: each piece of echo arrives this much after the one before.
  long long echo_delay_ms = 0;

  void Attach(FakeCommDriver& driver, std::size_t program_length) {
    driver.on_write = [this, &driver, program_length](std::span<const std::uint8_t> bytes) {
      auto& arrivals = driver.arrivals;
      if (phase == 0) {
        if (bytes[0] == 0x55) {
          if (start_answer) arrivals.push_back({*start_answer});
          phase = 1;
        }
        return;
      }
      if (phase == 1) {
        if (echo_size) arrivals.push_back({size_echo_override.value_or(bytes[0])});
        if (++size_bytes == 2) phase = 2;
        return;
      }
      Bytes echo;
      for (std::uint8_t b : bytes) {
        const int index = program_bytes++;
        if (echo_stops_at >= 0 && index >= echo_stops_at) continue;
        echo.push_back(index == wrong_echo_at ? static_cast<std::uint8_t>(b ^ 0xFF) : b);
      }
      const bool last = static_cast<std::size_t>(program_bytes) == program_length;
      Bytes final;
      if (last && final_answer) final.push_back(*final_answer);
      if (last) final.insert(final.end(), after_final.begin(), after_final.end());
      if (final_with_last_echo) echo.insert(echo.end(), final.begin(), final.end());
      auto deliver = [&](Bytes piece) {
        if (echo_delay_ms > 0) {
          // Each piece falls due a delay after the one before it (or after this write).
          last_due = std::max(last_due, driver.Now()) + echo_delay_ms;
          driver.ArriveAt(last_due, std::move(piece));
        } else {
          arrivals.push_back(std::move(piece));
        }
      };
      for (std::size_t at = 0; at < echo.size(); at += echo_piece) {
        deliver(Bytes(echo.begin() + static_cast<std::ptrdiff_t>(at),
                      echo.begin() + static_cast<std::ptrdiff_t>(std::min(echo.size(), at + echo_piece))));
      }
      if (!final_with_last_echo && !final.empty()) deliver(final);
    };
  }
  int phase = 0, size_bytes = 0, program_bytes = 0;
  long long last_due = 0;
};

// The boot program's side of the flash transfer, with one knob per fault.
struct FlashDevice {
  std::vector<Bytes> block_ack{{0x06}};
  std::vector<Bytes> ready{{0x11}};
  Bytes chunk_answer{0x15};
  int silent_after_chunk = -1;  ///< chunks from this one on get no answer
  std::vector<Bytes> checksum_ack{{0x06}};
  std::vector<Bytes> closing{{1, 2, 3, 4}};

  enum class State { kIdle, kCommand, kHeader, kHostReady, kData, kChunkReady, kChecksum };
  State state = State::kIdle;
  int header_bytes = 0;
  std::uint32_t remaining = 0;
  int chunks = 0;
  Bytes header;
  std::vector<std::uint8_t> checksums;

  void Attach(FakeCommDriver& driver) {
    driver.on_write = [this, &driver](std::span<const std::uint8_t> bytes) {
      auto reply = [&](const std::vector<Bytes>& replies) {
        for (const auto& r : replies) driver.arrivals.push_back(r);
      };
      switch (state) {
        case State::kIdle:
          if (bytes[0] == 0x57) state = State::kCommand;
          if (bytes[0] == 0x43) reply(closing);
          break;
        case State::kCommand:
          reply(block_ack);
          state = State::kHeader;
          header_bytes = 0;
          header.clear();
          break;
        case State::kHeader:
          header.push_back(bytes[0]);
          if (++header_bytes == 8) {
            remaining = (std::uint32_t{header[4]} << 24) | (header[5] << 16) | (header[6] << 8) | header[7];
            reply(ready);
            state = State::kHostReady;
          }
          break;
        case State::kHostReady:
        case State::kChunkReady:
          state = remaining > 0 ? State::kData : State::kChecksum;
          break;
        case State::kData:
          remaining -= static_cast<std::uint32_t>(bytes.size());
          if (silent_after_chunk < 0 || chunks < silent_after_chunk) reply({chunk_answer});
          ++chunks;
          state = State::kChunkReady;
          break;
        case State::kChecksum:
          checksums.push_back(bytes[0]);
          reply(checksum_ack);
          state = State::kIdle;
          break;
      }
    };
  }
};

// A whole update: boot mode, then the bit-rate handshake, then the flash transfer.
struct UpdateDevice {
  BootDevice boot;
  std::vector<Bytes> bitrate_ack{{0x06}};
  std::vector<Bytes> newrate_ack{{0x06}};
  FlashDevice flash;

  void Attach(FakeCommDriver& driver, std::size_t boot_length) {
    boot.Attach(driver, boot_length);
    auto boot_handler = driver.on_write;
    flash.Attach(driver);
    auto flash_handler = driver.on_write;
    driver.on_write = [this, &driver, boot_handler, flash_handler, boot_length](std::span<const std::uint8_t> bytes) {
      if (stage == 0) {
        boot_handler(bytes);
        if (static_cast<std::size_t>(boot.program_bytes) == boot_length) stage = 1;
      } else if (stage == 1) {
        for (const auto& r : bitrate_ack) driver.arrivals.push_back(r);
        stage = 2;
      } else if (stage == 2) {
        for (const auto& r : newrate_ack) driver.arrivals.push_back(r);
        stage = 3;
      } else {
        flash_handler(bytes);
      }
    };
  }
  int stage = 0;
};

}  // namespace quillon::testing
