#pragma once
// A command of the user's run to its end or to a time limit: through the system's shell
// (/bin/sh -c; cmd.exe /c), with more variables in its environment, nothing on its standard
// input and its output discarded. Its whole process group (job) goes when the time is up.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

struct ChildOutcome {
  enum class Kind { kExited, kTimedOut, kNotStarted };
  Kind kind = Kind::kExited;
  int status = 0;     ///< its exit status (kExited); on POSIX 128 + N for a signal N
  std::string error;  ///< why it did not start (kNotStarted)
};

using Environment = std::vector<std::pair<std::string, std::string>>;

ChildOutcome RunCommand(const std::string& command, const Environment& added, std::chrono::milliseconds limit);

}  // namespace quillon
