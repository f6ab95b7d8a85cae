#include "cli/output.h"

#include <algorithm>
#include <cstdarg>
#include <string>

#include "report/words.h"

namespace quillon::cli {

Output& StandardOutput() {
  static Output output(1);
  return output;
}

Output& StandardError() {
  static Output output(2);
  return output;
}

Output* QueueFor(std::FILE* file) {
  if (file == stdout) return &StandardOutput();
  if (file == stderr) return &StandardError();
  return nullptr;
}

void Print(std::FILE* file, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    if (Output* queue = QueueFor(file)) {
      queue->Write(std::move(text));
    } else {
      std::fputs(text.c_str(), file);
    }
  }
  va_end(again);
}

void Say(std::FILE* file, std::string_view format, std::initializer_list<std::string_view> args) {
  const std::string text = TrF(format, args);
  Print(file, "%s", text.c_str());
}

void DrainStandardOutputs(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  StandardOutput().Drain(limit);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  StandardError().Drain(std::max(left, std::chrono::milliseconds(0)));
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

std::string PadTo(std::string_view utf8, int columns) {
  std::string padded(utf8);
  padded.append(static_cast<std::size_t>(std::max(columns - DisplayWidth(utf8), 0)), ' ');
  return padded;
}

}  // namespace quillon::cli
