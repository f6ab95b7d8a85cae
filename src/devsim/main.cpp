// quillon-devsim: a simulated device on a pseudo-terminal, for running and testing updates
// without hardware.

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <chrono>
#include <algorithm>

#include <unistd.h>

#include "base/system.h"
#include "base/version.h"
#include "devsim/device.h"

namespace {

// Exit statuses.
constexpr int kCompleted = 0;
constexpr int kOwnError = 1;
constexpr int kUsage = 2;
constexpr int kNotCompleted = 3;

// The link this instance made and the line it leads to, for removing it on the way out (also
// from a signal handler: fixed buffers, and only readlink and unlink).
char g_link[4096];
char g_port[4096];

// Removes the link only while it still leads to this instance's line: another instance may
// have taken the name since.
void RemoveOwnLink() {
  if (g_link[0] == '\0') return;
  char target[sizeof g_port];
  const ssize_t n = ::readlink(g_link, target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  if (std::strcmp(target, g_port) == 0) ::unlink(g_link);
}

extern "C" void OnSignal(int signal_number) {
  RemoveOwnLink();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

bool WriteFile(const std::string& path, const char* bytes, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes, static_cast<std::streamsize>(size));
  out.close();
  if (out) return true;
  std::cerr << "quillon-devsim: cannot write " << path << '\n';
  return false;
}

std::optional<std::uint8_t> ByteOption(int value) {
  if (value < 0) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::string DeviceReport(const devsim::Device& device) {
  std::string text;
  for (const auto& line_seen : device.seen()) text += "seen: " + line_seen + "\n";
  for (const auto& problem : device.problems()) text += "problem: " + problem + "\n";
  return text;
}

// A fixture: board after board, each with its own flash written out as soon as it is done,
// and the report rewritten after each (the fixture may be stopped at any time).
int ServeBoards(devsim::PtyLine& line, const devsim::Faults& faults, const std::vector<std::uint8_t>& blank, int boards,
                int swap_ms, int fault_board, const std::string& flash_out, const std::string& report) {
  line.set_host_may_return(true);
  bool all_good = true, written = true;
  std::string text;
  for (int board = 1; board <= boards; ++board) {
    devsim::Faults board_faults = faults;
    if (fault_board != 0 && board != fault_board) {
      devsim::Faults healthy;
      healthy.latency_ms = faults.latency_ms;
      board_faults = healthy;
    }
    devsim::Device device(line, board_faults, blank);
    if (board == boards) line.set_host_may_return(false);
    if (board == boards) {
      device.Run();
    } else {
      device.RunBoard();
    }
    const bool good = device.completed() && device.problems().empty();
    all_good = all_good && good;
    text += "board " + std::to_string(board) + ":\n" + DeviceReport(device);
    text += std::string("result: board ") + std::to_string(board) + (device.completed() ? " update completed\n" : " update not completed\n");
    if (!flash_out.empty()) {
      const std::string path = flash_out + "." + std::to_string(board);
      written = WriteFile(path, reinterpret_cast<const char*>(device.flash().data()), device.flash().size()) && written;
    }
    if (!report.empty()) written = WriteFile(report, text.data(), text.size()) && written;
    std::cout << "board " << board << (device.completed() ? ": update completed" : ": update not completed") << std::endl;
    if (board == boards) break;
    // The board is taken off: nothing answers while the next one is put on.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(swap_ms);
    while (std::chrono::steady_clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (!line.ReadByte(std::max(left, std::chrono::milliseconds(1)))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(20, std::max<long long>(left.count(), 0))));
      }
    }
  }
  RemoveOwnLink();
  std::cout << text;
  if (!written) return kOwnError;
  return all_good ? kCompleted : kNotCompleted;
}

}  // namespace

int main(int argc, char** argv) {
  // The pseudo-terminal must never take the number of a closed standard stream.
  quillon::EnsureStandardStreams();
  CLI::App app{"quillon-devsim: a simulated H8S device in boot mode on a pseudo-terminal", "quillon-devsim"};
  app.set_version_flag("--version", std::string("quillon-devsim ") + quillon::kVersion);
  app.footer(
      "Exit status:\n"
      "  0  the update completed\n"
      "  1  an error of its own (no pseudo-terminal, a link or file it cannot make or write)\n"
      "  2  wrong usage\n"
      "  3  the host stopped before the update completed (or the device found something wrong)\n");
  std::string link, flash_in, flash_out, report;
  devsim::Faults faults;
  int start_answer = -1, final_answer = -1, bitrate_answer = -1, chunk_answer = 0x06;
  app.add_option("--link", link,
                 "make a symbolic link to the port here (replaces only a symbolic link; removed at the end while it "
                 "still leads to this device)");
  app.add_option("--flash-in", flash_in, "initial flash (0x40000 bytes; default all 0xFF)");
  app.add_option("--flash-out", flash_out, "write the flash here at the end");
  app.add_option("--report", report, "write what the device saw and found wrong here");
  app.add_option("--latency-ms", faults.latency_ms, "flash programming time per chunk");
  app.add_option("--slow-block", faults.slow_block_ms, "acknowledge each block command this many ms late (a slow erase)");
  app.add_option("--slow-start", faults.slow_start_ms,
                 "echo the boot-mode start bytes, as a chip adjusting its bit rate does, and answer the 0x55 "
                 "this many ms late")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--slow-checksum", faults.slow_checksum_ms, "acknowledge each block's checksum this many ms late");
  const std::vector<std::string> phases{"start", "size", "final", "bitrate", "newrate", "block-ack", "ready",
                                        "checksum-ack", "closing"};
  std::vector<std::string> vanish_phases = phases;
  vanish_phases.push_back("echo");
  app.add_option("--silent-at", faults.silent_at, "stop answering at a phase")->check(CLI::IsMember(phases));
  app.add_option("--vanish-at", faults.vanish_at,
                 "drop the line for good at a phase, as a pulled USB adapter does (the phases of --silent-at, "
                 "and echo: during the boot download)")
      ->check(CLI::IsMember(vanish_phases));
  int after_final = -1;
  app.add_option("--after-final-answer", after_final, "send this stray byte right after the final 0xAA");
  app.add_option("--start-answer", start_answer, "answer 0x55 with this byte instead of 0xAA");
  app.add_option("--wrong-echo-from", faults.wrong_echo_from, "corrupt the echo from program byte N on");
  app.add_option("--no-echo-from", faults.no_echo_from, "echo nothing from program byte N on");
  app.add_option("--final-answer", final_answer, "confirm the boot program with this byte");
  app.add_option("--bitrate-answer", bitrate_answer, "answer the bit-rate command with this byte");
  app.add_option("--chunk-answer", chunk_answer, "answer every chunk with this byte");
  app.add_option("--silent-after-chunk", faults.silent_after_chunk, "no answer from chunk N on");
  app.add_option("--closing-bytes", faults.closing_bytes, "bytes in the closing reply");
  app.add_option("--closing-split", faults.closing_split, "send the closing reply in two parts, the first this long");
  app.add_flag("--junk-before-answers", faults.junk_before_answers, "put 0x00 in front of every 0x06 and 0x11");
  app.add_option("--hangup-at-chunk", faults.hangup_at_chunk, "drop the line when chunk N arrives");
  int boards = 1, swap_ms = 2000, fault_board = 0;
  app.add_option("--boards", boards,
                 "serve this many boards one after another, as a production fixture: after each board's update "
                 "ends or fails the board is taken off, then a blank board waits in boot mode; --flash-out FILE "
                 "writes FILE.1, FILE.2, ...")
      ->check(CLI::PositiveNumber);
  app.add_option("--swap-ms", swap_ms, "with --boards: how long the line stays silent while a board is swapped")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--fault-board", fault_board, "with --boards: the faults hit only this board (1 is the first)")
      ->check(CLI::PositiveNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? kCompleted : kUsage;
  }
  faults.start_answer = ByteOption(start_answer);
  faults.final_answer = ByteOption(final_answer);
  faults.after_final_answer = ByteOption(after_final);
  faults.bitrate_answer = ByteOption(bitrate_answer);
  faults.chunk_answer = static_cast<std::uint8_t>(chunk_answer);

  std::vector<std::uint8_t> flash(0x40000, 0xFF);
  if (!flash_in.empty()) {
    std::ifstream in(flash_in, std::ios::binary);
    in.read(reinterpret_cast<char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    if (in.gcount() != static_cast<std::streamsize>(flash.size())) {
      std::cerr << "quillon-devsim: " << flash_in << " must hold 0x40000 bytes\n";
      return kUsage;
    }
  }

  devsim::PtyLine line;
  if (!line.ok()) {
    std::cerr << "quillon-devsim: cannot create a pseudo-terminal\n";
    return kOwnError;
  }
  if (!link.empty()) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(link, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
      std::cerr << "quillon-devsim: " << link << " exists and is not a symbolic link: not replaced\n";
      return kOwnError;
    }
    if (link.size() >= sizeof g_link || line.port_path().size() >= sizeof g_port) {
      std::cerr << "quillon-devsim: the link's name is too long\n";
      return kOwnError;
    }
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(line.port_path(), link, error);
    if (error) {
      std::cerr << "quillon-devsim: cannot make the link " << link << ": " << error.message() << '\n';
      return kOwnError;
    }
    std::strcpy(g_port, line.port_path().c_str());
    std::strcpy(g_link, link.c_str());
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, OnSignal);
  }
  std::cout << "port: " << line.port_path() << std::endl;

  if (boards > 1) return ServeBoards(line, faults, flash, boards, swap_ms, fault_board, flash_out, report);

  devsim::Device device(line, faults, std::move(flash));
  device.Run();

  RemoveOwnLink();
  bool written = true;
  if (!flash_out.empty()) {
    written = WriteFile(flash_out, reinterpret_cast<const char*>(device.flash().data()), device.flash().size());
  }
  std::string text = DeviceReport(device);
  text += device.completed() ? "result: update completed\n" : "result: update not completed\n";
  if (!report.empty()) written = WriteFile(report, text.data(), text.size()) && written;
  std::cout << text;
  if (!written) return kOwnError;
  return device.completed() && device.problems().empty() ? kCompleted : kNotCompleted;
}
