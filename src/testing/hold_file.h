#pragma once
// Holding a file the way another writer of the log does.

#include <filesystem>
#include <thread>

namespace quillon::testing {

/// Holds `path` exclusively for `ms` milliseconds from another thread; returns once it holds it.
std::thread HoldLog(const std::filesystem::path& path, int ms);

}  // namespace quillon::testing
