#include "cli/terminal.h"

#include <cctype>

#include "base/messages.h"
#include "report/words.h"
#include "cli/output.h"

namespace quillon::cli {

BootModeAnswer ReadBootModeAnswer(const std::optional<std::string>& line) {
  if (!line) return BootModeAnswer::kCancel;
  std::string word;
  for (char c : *line) {
    if (c != ' ' && c != '\t' && c != '\r') word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (word.empty() || word == "y" || word == "yes") return BootModeAnswer::kGo;
  if (word == "n" || word == "no" || word == "q" || word == "quit") return BootModeAnswer::kCancel;
  return BootModeAnswer::kAskAgain;
}

void TerminalPrompt::ShowMessage(int id, std::string_view text) {
  std::FILE* out = id >= 500 ? stderr : stdout;
  const std::string shown = MessageTextShown(id, text);
  Print(out, "[%d] %s\n", id, shown.c_str());
  if (id >= 500 && hint_) {
    const std::string hint = hint_(id);
    if (!hint.empty()) Print(out, "      %s\n", hint.c_str());
  }
  std::fflush(out);
}

TerminalProgress::TerminalProgress(std::FILE* out) : out_(out), live_(IsTerminal(out)) {}

void TerminalProgress::Begin(std::string text, const report::ProgressView& view) {
  // A caption before a colon: the message's closing full stop ("." or "。") would stand
  // before it.
  for (std::string_view stop : {".", "。"}) {
    if (text.size() >= stop.size() && text.compare(text.size() - stop.size(), stop.size(), stop) == 0) {
      text.resize(text.size() - stop.size());
    }
  }
  text_ = std::move(text);
  if (live_) {
    Draw(view, false);
  } else {
    Print(out_, "%s\n", TrF("%s: %s chunks", {text_, std::to_string(view.total)}).c_str());
    std::fflush(out_);
  }
}

void TerminalProgress::Show(const report::ProgressView& view) {
  if (live_) Draw(view, false);
}

void TerminalProgress::End(const report::ProgressView& view) {
  if (live_) {
    Draw(view, true);
  } else {
    Print(out_, "%s\n",
          TrF("%s: %s of %s chunks in %s s",
              {text_, std::to_string(view.done), std::to_string(view.total), Fixed(view.seconds, 1)})
              .c_str());
  }
  std::fflush(out_);
}

void TerminalProgress::Draw(const report::ProgressView& view, bool final_line) {
  const int width = 30;
  const int filled = view.total > 0 ? view.done * width / view.total : width;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(width, '.');
  std::string line = text_ + " [" + bar + "] " +
                     (view.bytes_per_second > 0
                          ? TrF("%s/%s chunks, %s B/s", {std::to_string(view.done), std::to_string(view.total),
                                                         Fixed(view.bytes_per_second, 0)})
                          : TrF("%s/%s chunks", {std::to_string(view.done), std::to_string(view.total)}));
  if (!final_line && view.seconds_left) line += TrF(", %s s left", {Fixed(*view.seconds_left, 0)});
  // Cut to the terminal, one column short of its width: a line that wraps cannot be redrawn
  // in place. The Japanese text counts two columns a character.
  if (const int columns = TerminalWidth(out_); columns > 1) line = FitToWidth(line, columns - 1);
  Print(out_, "\r%s\x1b[K", line.c_str());
  if (final_line) Print(out_, "\n");
  std::fflush(out_);
}


}  // namespace quillon::cli
