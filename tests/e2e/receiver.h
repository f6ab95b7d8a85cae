#pragma once
// A factory's receiver for the deliveries' tests: a small HTTP/1.1 server on 127.0.0.1 that
// answers each POST as the test's plan says (taken, 500, the connection dropped after the body
// was read, no answer at all, 429 with Retry-After, 422), keeps what a real receiver keeps (one
// object per idempotency key), and can go away and come back on the same port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::testing {

class Receiver {
 public:
  enum class Answer { kTaken, kServerError, kDrop, kHang, kTooMany, kRefused };
  /// The answer to the Nth request (from 1), over every connection.
  using Plan = std::function<Answer(int request)>;

  explicit Receiver(Plan plan) : plan_(std::move(plan)) { Up(); }
  ~Receiver() { Down(); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  int port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/units"; }

  /// Listens (again, on the same port once it had one).
  void Up() {
    // Close-on-exec: a program the test starts must not keep the port listening.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0) {
      throw std::runtime_error(std::string("the receiver cannot listen: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    stop_ = false;
    accepting_ = std::thread([this] { Accept(); });
  }

  /// Goes away: the port refuses connections, and open ones are closed.
  void Down() {
    stop_ = true;
    if (accepting_.joinable()) accepting_.join();
    for (auto& connection : connections_) connection.join();
    connections_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }

  /// What was kept: one body per idempotency key.
  std::map<std::string, std::string> Stored() {
    const std::lock_guard lock(mutex_);
    return stored_;
  }
  /// Every request's headers, lower-cased names, in the order they came.
  std::vector<std::map<std::string, std::string>> Requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Accept() {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  // Reads until `done` says the bytes so far are enough; false when the peer closed first or
  // the receiver goes away.
  bool ReadUntil(int fd, std::string& in, const std::function<bool()>& done) {
    char buffer[4096];
    while (!done()) {
      pollfd ready{fd, POLLIN, 0};
      if (stop_) return false;
      if (::poll(&ready, 1, 50) <= 0) continue;
      const auto got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      in.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  }

  void Serve(int fd) {
    std::string in;
    for (;;) {
      if (!ReadUntil(fd, in, [&] { return in.find("\r\n\r\n") != std::string::npos; })) break;
      const auto end = in.find("\r\n\r\n");
      std::map<std::string, std::string> headers;
      std::size_t at = in.find("\r\n") + 2;
      while (at < end) {
        const auto line_end = in.find("\r\n", at);
        const std::string line = in.substr(at, line_end - at);
        const auto colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = line_end + 2;
      }
      const std::size_t length = headers.count("content-length") ? std::stoul(headers["content-length"]) : 0;
      if (!ReadUntil(fd, in, [&] { return in.size() >= end + 4 + length; })) break;
      const std::string body = in.substr(end + 4, length);
      in.erase(0, end + 4 + length);
      Answer answer;
      {
        const std::lock_guard lock(mutex_);
        requests_.push_back(headers);
        answer = plan_(static_cast<int>(requests_.size()));
        // A receiver that read the body keeps it, whatever becomes of its answer.
        if (answer == Answer::kTaken || answer == Answer::kDrop || answer == Answer::kHang) {
          stored_.emplace(headers["idempotency-key"], body);
        }
      }
      if (answer == Answer::kDrop) break;
      if (answer == Answer::kHang) {
        for (int i = 0; i < 40 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        break;
      }
      const std::string reply =
          answer == Answer::kTaken         ? "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"
          : answer == Answer::kServerError ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops"
          : answer == Answer::kTooMany     ? "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n"
                                           : "HTTP/1.1 422 Unprocessable Content\r\nContent-Length: 12\r\n\r\nno serial #1";
      ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
  }

  Plan plan_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread accepting_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::map<std::string, std::string> stored_;
  std::vector<std::map<std::string, std::string>> requests_;
};

}  // namespace quillon::testing
