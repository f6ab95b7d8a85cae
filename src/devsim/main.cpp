// quillon-devsim: a simulated device on a pseudo-terminal, for running and testing updates
// without hardware.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "devsim/device.h"

namespace {

std::optional<std::uint8_t> ByteOption(int value) {
  if (value < 0) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"quillon-devsim: a simulated H8S device in boot mode on a pseudo-terminal"};
  std::string link, flash_in, flash_out, report;
  devsim::Faults faults;
  int start_answer = -1, final_answer = -1, bitrate_answer = -1, chunk_answer = 0x06;
  app.add_option("--link", link, "make a symbolic link to the port here");
  app.add_option("--flash-in", flash_in, "initial flash (0x40000 bytes; default all 0xFF)");
  app.add_option("--flash-out", flash_out, "write the flash here at the end");
  app.add_option("--report", report, "write what the device saw and found wrong here");
  app.add_option("--latency-ms", faults.latency_ms, "flash programming time per chunk");
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
  CLI11_PARSE(app, argc, argv);
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
      return 2;
    }
  }

  devsim::PtyLine line;
  if (!line.ok()) {
    std::cerr << "quillon-devsim: cannot create a pseudo-terminal\n";
    return 1;
  }
  if (!link.empty()) {
    std::error_code error;
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(line.port_path(), link, error);
    if (error) {
      std::cerr << "quillon-devsim: cannot make the link " << link << ": " << error.message() << '\n';
      return 1;
    }
  }
  std::cout << "port: " << line.port_path() << std::endl;

  devsim::Device device(line, faults, std::move(flash));
  device.Run();

  if (!flash_out.empty()) {
    std::ofstream out(flash_out, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(device.flash().data()), static_cast<std::streamsize>(device.flash().size()));
  }
  std::string text;
  for (const auto& line_seen : device.seen()) text += "seen: " + line_seen + "\n";
  for (const auto& problem : device.problems()) text += "problem: " + problem + "\n";
  text += device.completed() ? "result: update completed\n" : "result: update not completed\n";
  if (!report.empty()) std::ofstream(report) << text;
  std::cout << text;
  if (!link.empty()) {
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
  }
  return device.completed() && device.problems().empty() ? 0 : 3;
}
