#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
  /// Writes bytes exactly as given and returns the file's path.
  std::filesystem::path Write(std::string_view name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

std::string ReadFileBytes(const std::filesystem::path& path);

/// The message of each record in a log file, in order ("" for an empty message).
std::vector<std::string> LogMessages(const std::filesystem::path& log_path);

/// Runs a shell command; returns its exit status (-1 when it could not run).
int RunShell(const std::string& command);

}  // namespace quillon::testing
