#pragma once
// Starting the project's programs from a test, with their output in files.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quillon::testing {

/// Starts a program (standard input from /dev/null); returns its process id, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& out,
            const std::filesystem::path& err);
/// Waits for it; its exit status, or -1 when it did not exit normally.
int Wait(pid_t pid);

}  // namespace quillon::testing
