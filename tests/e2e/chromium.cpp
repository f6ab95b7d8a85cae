#include "chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace quillon::testing {
namespace {

std::string Base64Decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string bytes;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) continue;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return bytes;
}

}  // namespace

Chromium::Chromium(const std::filesystem::path& profile) {
  int to[2], from[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    // The browser's ends at 3 (commands) and 4 (answers); its own output to /dev/null.
    const int in = ::fcntl(to[0], F_DUPFD, 10), out = ::fcntl(from[1], F_DUPFD, 10);
    ::dup2(in, 3);
    ::dup2(out, 4);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    for (int fd = 5; fd < 1024; ++fd) ::close(fd);
    const std::string data = "--user-data-dir=" + profile.string();
    ::execlp("chromium", "chromium", "--headless=new", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions", "--mute-audio",
             "--window-size=1920,1080", data.c_str(), "about:blank", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(to[0]);
  ::close(from[1]);
  to_ = to[1];
  from_ = from[0];
  ::signal(SIGPIPE, SIG_IGN);
}

Chromium::~Chromium() {
  if (to_ >= 0) {
    Call("Browser.close", nlohmann::json::object());
    ::close(to_);
  }
  if (from_ >= 0) ::close(from_);
  if (pid_ > 0) {
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

nlohmann::json Chromium::Call(const std::string& method, const nlohmann::json& params, const std::string& session) {
  const int id = next_id_++;
  nlohmann::json message{{"id", id}, {"method", method}, {"params", params}};
  if (!session.empty()) message["sessionId"] = session;
  const std::string text = message.dump() + '\0';
  if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return nullptr;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    for (auto zero = pending_.find('\0'); zero != std::string::npos; zero = pending_.find('\0')) {
      const auto answer = nlohmann::json::parse(pending_.substr(0, zero), nullptr, false);
      pending_.erase(0, zero + 1);
      if (answer.is_object() && answer.value("id", 0) == id) return answer;
    }
    pollfd fd{from_, POLLIN, 0};
    if (::poll(&fd, 1, 200) <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(from_, buffer, sizeof buffer);
    if (n <= 0) return nullptr;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  return nullptr;
}

std::string Chromium::Open(const std::string& url, const std::string& accept_language) {
  const auto target = Call("Target.createTarget", {{"url", "about:blank"}});
  if (target.is_null() || !target.contains("result")) return {};
  const auto attached = Call("Target.attachToTarget",
                             {{"targetId", target["result"]["targetId"]}, {"flatten", true}});
  if (attached.is_null() || !attached.contains("result")) return {};
  const std::string session = attached["result"]["sessionId"];
  Call("Network.enable", nlohmann::json::object(), session);
  Call("Network.setExtraHTTPHeaders", {{"headers", {{"Accept-Language", accept_language}}}}, session);
  Call("Emulation.setDeviceMetricsOverride",
       {{"width", 1920}, {"height", 1080}, {"deviceScaleFactor", 1}, {"mobile", false}}, session);
  Call("Page.navigate", {{"url", url}}, session);
  return session;
}

nlohmann::json Chromium::Evaluate(const std::string& session, const std::string& expression) {
  const auto answer = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session);
  if (answer.is_null() || !answer.contains("result") || answer["result"].contains("exceptionDetails")) return nullptr;
  return answer["result"]["result"].value("value", nlohmann::json());
}

bool Chromium::WaitFor(const std::string& session, const std::string& expression, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (Evaluate(session, expression) == true) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string Chromium::Screenshot(const std::string& session) {
  const auto answer = Call("Page.captureScreenshot", {{"format", "png"}}, session);
  if (answer.is_null() || !answer.contains("result")) return {};
  return Base64Decode(answer["result"].value("data", ""));
}

}  // namespace quillon::testing
