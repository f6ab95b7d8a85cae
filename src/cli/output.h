#pragma once
// The command line's standard output and standard error, each written through a queue of its
// own (base/output.h), so that nothing printed can hold up a port or a stop. main runs their
// writers (StandardWriters) and joins them at its end.

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/output.h"

namespace quillon::cli {

using quillon::Output;

/// The program's standard output and standard error.
Output& StandardOutput();
Output& StandardError();
/// The queue for `file` when it is standard output or standard error, else null.
Output* QueueFor(std::FILE* file);

/// printf to `file` through its queue (standard output or error); any other file is written
/// at once.
[[gnu::format(gnu_printf, 2, 3)]] void Print(std::FILE* file, const char* format, ...);

/// TrF to `file`: the English `format` in the person's language, "%s" replaced by `args`.
void Say(std::FILE* file, std::string_view format,
         std::initializer_list<std::string_view> args = {});

/// At the end of the program: standard output and error get at most `limit` to be written.
void DrainStandardOutputs(std::chrono::milliseconds limit = std::chrono::milliseconds(500));

/// Drains standard output and error, then ends their writers, when it goes out of scope (the
/// end of main, on every path).
struct DrainAtEnd {
  DrainAtEnd() = default;
  DrainAtEnd(const DrainAtEnd&) = delete;
  DrainAtEnd& operator=(const DrainAtEnd&) = delete;
  ~DrainAtEnd() {
    DrainStandardOutputs();
    StandardOutput().Close();
    StandardError().Close();
  }
};

/// The number of terminal columns `utf8` takes: East Asian wide and full-width characters
/// count two, combining marks none.
int DisplayWidth(std::string_view utf8);
/// The longest start of `utf8` that fits in `columns` terminal columns.
std::string FitToWidth(std::string_view utf8, int columns);
/// `utf8` followed by blanks up to `columns` terminal columns (as it is when it is wider).
std::string PadTo(std::string_view utf8, int columns);

}  // namespace quillon::cli
