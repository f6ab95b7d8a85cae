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

}  // namespace quillon::cli
