#include "cli/terminal.h"

#include <unistd.h>

#include <iostream>

#include "base/messages.h"
#include "image/flash_image.h"

namespace quillon::cli {

void TerminalPrompt::ShowMessage(int id, std::string_view text) {
  std::FILE* out = id >= 500 ? stderr : stdout;
  std::fprintf(out, "[%d] %.*s\n", id, static_cast<int>(text.size()), text.data());
  if (id >= 500 && hint_) {
    const std::string hint = hint_(id);
    if (!hint.empty()) std::fprintf(out, "      %s\n", hint.c_str());
  }
  if (id == kMsgRestartInBootMode) {
    if (wait_for_enter_) {
      std::fprintf(stdout, "      Set the boot mode switch, restart the device, then press Enter.");
      std::fflush(stdout);
      std::string line;
      std::getline(std::cin, line);
    }
  }
  std::fflush(out);
}

TerminalProgress::TerminalProgress(std::FILE* out) : out_(out), live_(::isatty(::fileno(out)) != 0) {}

void TerminalProgress::SetTextAndRange(std::string text, int steps) {
  text_ = std::move(text);
  steps_ = steps;
  done_ = 0;
}

void TerminalProgress::Show() {
  start_ = last_draw_ = std::chrono::steady_clock::now();
  if (live_) {
    Draw(false);
  } else {
    std::fprintf(out_, "%s: %d chunks\n", text_.c_str(), steps_);
    std::fflush(out_);
  }
}

void TerminalProgress::StepAndPump() {
  ++done_;
  const auto now = std::chrono::steady_clock::now();
  // Redraw at most ten times a second: the terminal must never slow the line down.
  if (live_ && (now - last_draw_ > std::chrono::milliseconds(100) || done_ == steps_)) {
    last_draw_ = now;
    Draw(false);
  }
}

void TerminalProgress::Close() {
  if (live_) {
    Draw(true);
  } else {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(out_, "%s: %d of %d chunks in %.1f s\n", text_.c_str(), done_, steps_, seconds);
  }
  std::fflush(out_);
}

void TerminalProgress::Draw(bool final_line) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? done_ * kChunkSize / seconds : 0;
  const int width = 30;
  const int filled = steps_ > 0 ? done_ * width / steps_ : width;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(width, '.');
  std::fprintf(out_, "\r%s [%s] %d/%d chunks, %.0f B/s", text_.c_str(), bar.c_str(), done_, steps_, rate);
  if (!final_line && rate > 0 && done_ < steps_) {
    std::fprintf(out_, ", %.0f s left ", (steps_ - done_) * kChunkSize / rate);
  } else {
    std::fprintf(out_, "            ");
  }
  if (final_line) std::fprintf(out_, "\n");
  std::fflush(out_);
}

}  // namespace quillon::cli
