#pragma once
// Headless Chromium driven through its remote debugging protocol over a pipe (the browser
// reads commands on descriptor 3 and answers on 4, one JSON message per NUL).

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace quillon::testing {

class Chromium {
 public:
  /// Starts the browser with a profile of its own under `profile`; ok() says whether it runs.
  explicit Chromium(const std::filesystem::path& profile);
  ~Chromium();
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  bool ok() const { return pid_ > 0 && to_ >= 0; }
  /// A new tab of 1920x1080 that sends `accept_language` and shows `url`; its session id.
  std::string Open(const std::string& url, const std::string& accept_language);
  /// The value of a script in the tab (null when it threw or the browser did not answer).
  nlohmann::json Evaluate(const std::string& session, const std::string& expression);
  /// Evaluates `expression` every 100 ms until it is true; false after `limit`.
  bool WaitFor(const std::string& session, const std::string& expression, std::chrono::milliseconds limit);
  /// A PNG of the tab.
  std::string Screenshot(const std::string& session);

 private:
  nlohmann::json Call(const std::string& method, const nlohmann::json& params, const std::string& session = "");

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  int next_id_ = 1;
  std::string pending_;
};

}  // namespace quillon::testing
