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
                     TrF("%s/%s chunks, %s B/s", {std::to_string(view.done), std::to_string(view.total),
                                                  Fixed(view.bytes_per_second, 0)});
  if (!final_line && view.seconds_left) line += TrF(", %s s left", {Fixed(*view.seconds_left, 0)});
  // Cut to the terminal, one column short of its width: a line that wraps cannot be redrawn
  // in place. The Japanese text counts two columns a character.
  if (const int columns = TerminalWidth(out_); columns > 1) line = FitToWidth(line, columns - 1);
  Print(out_, "\r%s\x1b[K", line.c_str());
  if (final_line) Print(out_, "\n");
  std::fflush(out_);
}

namespace {

// Decodes one UTF-8 character at `i` (advancing it); a bad byte is one column of its own.
char32_t NextCharacter(std::string_view s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  const int length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
  if (length == 1 || i + static_cast<std::size_t>(length) > s.size()) {
    ++i;
    return b;
  }
  char32_t c = b & (0x7F >> length);
  for (int k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3F);
  i += static_cast<std::size_t>(length);
  return c;
}

int Columns(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || c == 0x3099 || c == 0x309A) return 0;
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
                    (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
                    (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                    (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                    (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

}  // namespace

int DisplayWidth(std::string_view utf8) {
  int width = 0;
  for (std::size_t i = 0; i < utf8.size();) width += Columns(NextCharacter(utf8, i));
  return width;
}

std::string FitToWidth(std::string_view utf8, int columns) {
  int width = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t next = i;
    const int w = Columns(NextCharacter(utf8, next));
    if (width + w > columns) break;
    width += w;
    i = next;
  }
  return std::string(utf8.substr(0, i));
}

}  // namespace quillon::cli
