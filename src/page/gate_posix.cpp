#include "page/gate.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "base/posix_call.h"

namespace quillon::page {
namespace {

using Clock = std::chrono::steady_clock;

// The call again while a signal interrupts it.
template <typename Call>
int Retried(Call call) {
  int result = 0;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

bool SendAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = posix::Send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The method of a request line ("GET / HTTP/1.1"): the text before the first space.
std::string Method(const std::string& head) { return head.substr(0, head.find_first_of(" \r\n")); }

}  // namespace

struct Gate::Impl {
  explicit Impl(GateLimits gate_limits) : limits(gate_limits) {}

  GateLimits limits;
  int listener = -1;
  int port = 0;
  int inner_port = 0;
  std::atomic<bool> stopping{false};
  std::thread door;
  mutable std::mutex mutex;
  std::set<int> sockets;  // every socket of a connection, so that Stop can end it at once
  struct Served {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Served> served;
  int open = 0;

  void Track(int fd) {
    const std::lock_guard lock(mutex);
    sockets.insert(fd);
    if (stopping) posix::Shutdown(fd, SHUT_RDWR);
  }
  void Close(int fd) {
    if (fd < 0) return;
    {
      const std::lock_guard lock(mutex);
      sockets.erase(fd);
    }
    posix::Close(fd);
  }

  // Reads the request's head within the limits; false when it did not come (in time).
  bool ReadHead(int client, std::string& head) const {
    const auto deadline = Clock::now() + limits.head_time;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > limits.head_bytes) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd wait{client, POLLIN, 0};
      if (Retried([&] { return posix::Poll(&wait, 1, static_cast<int>(left)); }) <= 0) continue;
      const ssize_t n = posix::Recv(client, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  int ConnectInner() {
    const int inner = posix::Socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (inner < 0) return -1;
    Track(inner);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(inner_port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Retried([&] { return posix::Connect(inner, reinterpret_cast<sockaddr*>(&to), sizeof to); }) != 0) {
      Close(inner);
      return -1;
    }
    return inner;
  }

  // Copies both ways until either side ends (or Stop shuts them down).
  static void Relay(int client, int inner) {
    char buffer[16 * 1024];
    bool client_open = true;
    for (;;) {
      pollfd both[2] = {{client, static_cast<short>(client_open ? POLLIN : 0), 0}, {inner, POLLIN, 0}};
      if (Retried([&] { return posix::Poll(both, 2, -1); }) < 0) return;
      if ((both[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = posix::Recv(inner, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !SendAll(client, buffer, static_cast<std::size_t>(n))) return;
      }
      if (client_open && (both[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = posix::Recv(client, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          // The client has said all it will: the server may still answer.
          posix::Shutdown(inner, SHUT_WR);
          client_open = false;
        } else if (!SendAll(inner, buffer, static_cast<std::size_t>(n))) {
          return;
        }
      }
    }
  }

  void Serve(int client) {
    std::string head;
    if (ReadHead(client, head)) {
      const std::string method = Method(head);
      if (method != "GET" && method != "HEAD") {
        const std::string refusal = std::string("HTTP/1.1 405 Method Not Allowed\r\nAllow: ") + kAllowedMethods +
                                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 32\r\n"
                                    "Connection: close\r\n\r\nThe station's page is read-only.\n";
        SendAll(client, refusal.data(), refusal.size());
      } else if (const int inner = ConnectInner(); inner >= 0) {
        if (SendAll(inner, head.data(), head.size())) Relay(client, inner);
        Close(inner);
      }
    }
    Close(client);
  }

  void Reap() {
    for (auto it = served.begin(); it != served.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = served.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Door() {
    while (!stopping) {
      const int client = posix::Accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
          if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
          continue;
        }
        return;  // the listener was shut down
      }
      Reap();
      {
        const std::lock_guard lock(mutex);
        if (stopping || open >= limits.connections) {
          posix::Close(client);  // one too many: closed at once, nothing read
          continue;
        }
        ++open;
      }
      Track(client);
      auto done = std::make_shared<std::atomic<bool>>(false);
      served.push_back({std::thread([this, client, done] {
                          Serve(client);
                          {
                            const std::lock_guard lock(mutex);
                            --open;
                          }
                          done->store(true);
                        }),
                        done});
    }
  }
};

Gate::Gate(GateLimits limits) : impl_(std::make_unique<Impl>(limits)) {}

Gate::~Gate() { Stop(); }

bool Gate::Start(const std::string& address, int port, int inner_port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = "cannot listen on " + address + ":" + service + " (not an address of this machine)";
    return false;
  }
  int listener = -1;
  for (addrinfo* at = found; at != nullptr && listener < 0; at = at->ai_next) {
    listener = posix::Socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (listener < 0) continue;
    const int yes = 1;
    posix::SetSockOpt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (at->ai_family == AF_INET6) {
      // "::" takes IPv4 too, as "every address" means.
      const int no = 0;
      posix::SetSockOpt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    }
    if (posix::Bind(listener, at->ai_addr, at->ai_addrlen) != 0 || posix::Listen(listener, 128) != 0) {
      posix::Close(listener);
      listener = -1;
    }
  }
  ::freeaddrinfo(found);
  if (listener < 0) {
    error = "cannot listen on " + address + ":" + service + " (in use, or not an address of this machine)";
    return false;
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  posix::GetSockName(listener, reinterpret_cast<sockaddr*>(&bound), &size);
  impl_->port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  impl_->listener = listener;
  impl_->inner_port = inner_port;
  impl_->door = std::thread([impl = impl_.get()] { impl->Door(); });
  return true;
}

int Gate::port() const { return impl_->port; }

int Gate::open_connections() const {
  const std::lock_guard lock(impl_->mutex);
  return impl_->open;
}

void Gate::Stop() {
  if (!impl_ || !impl_->door.joinable()) return;
  {
    const std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    // Every blocked read, write or wait of a connection returns at once.
    for (const int fd : impl_->sockets) posix::Shutdown(fd, SHUT_RDWR);
  }
  posix::Shutdown(impl_->listener, SHUT_RDWR);
  impl_->door.join();
  for (auto& served : impl_->served) served.thread.join();
  impl_->served.clear();
  posix::Close(impl_->listener);
}

std::vector<std::string> MachineAddresses() {
  std::vector<std::string> addresses{"127.0.0.1", "::1"};
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return addresses;
  for (ifaddrs* at = all; at != nullptr; at = at->ifa_next) {
    if (at->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (at->ifa_addr->sa_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr, text, sizeof text);
    } else if (at->ifa_addr->sa_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(at->ifa_addr)->sin6_addr, text, sizeof text);
    } else {
      continue;
    }
    addresses.emplace_back(text);
  }
  ::freeifaddrs(all);
  return addresses;
}

}  // namespace quillon::page
