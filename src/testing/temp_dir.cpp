#include "testing/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace quillon::testing {

TempDir::TempDir() {
  std::random_device seed;
  auto base = std::filesystem::temp_directory_path();
  do {
    path_ = base / ("quillon-test-" + std::to_string(seed()));
  } while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(std::string_view name, std::string_view bytes) const {
  auto file = path_ / name;
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> LogMessages(const std::filesystem::path& log_path) {
  std::vector<std::string> messages;
  std::istringstream lines(ReadFileBytes(log_path));
  for (std::string line; std::getline(lines, line);) {
    // "<stamp>  File:<path>(<line>) :<message>": the message follows the first ") :".
    auto at = line.find(") :");
    messages.push_back(at == std::string::npos ? line : line.substr(at + 3));
  }
  return messages;
}

}  // namespace quillon::testing
