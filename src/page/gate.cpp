#include "page/gate.h"

#include <atomic>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "page/net.h"

namespace quillon::page {
namespace {

using Clock = std::chrono::steady_clock;
using net::Socket;

// The method of a request line ("GET / HTTP/1.1"): the text before the first space.
std::string Method(const std::string& head) { return head.substr(0, head.find_first_of(" \r\n")); }

}  // namespace

struct Gate::Impl {
  explicit Impl(GateLimits gate_limits) : limits(gate_limits) {}

  GateLimits limits;
  Socket listener = net::kNoSocket;
  int port = 0;
  int inner_port = 0;
  std::atomic<bool> stopping{false};
  std::thread door;
  mutable std::mutex mutex;
  std::set<Socket> sockets;  // every socket of a connection, so that Stop can end it at once
  struct Served {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Served> served;
  int open = 0;

  void Track(Socket socket) {
    const std::lock_guard lock(mutex);
    sockets.insert(socket);
    if (stopping) net::ShutdownBoth(socket);
  }
  void Close(Socket socket) {
    if (socket == net::kNoSocket) return;
    {
      const std::lock_guard lock(mutex);
      sockets.erase(socket);
    }
    net::Close(socket);
  }

  // Reads the request's head within the limits; false when it did not come (in time).
  bool ReadHead(Socket client, std::string& head) const {
    const auto deadline = Clock::now() + limits.head_time;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > limits.head_bytes) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      net::Waiting wait[1] = {{client}};
      if (net::Wait(wait, static_cast<int>(left)) <= 0) continue;
      const long n = net::Receive(client, buffer, sizeof buffer);
      if (n <= 0) return false;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  Socket ConnectInner() {
    const Socket inner = net::ConnectLoopback(inner_port);
    if (inner != net::kNoSocket) Track(inner);
    return inner;
  }

  // Copies both ways until either side ends (or Stop shuts them down).
  static void Relay(Socket client, Socket inner) {
    char buffer[16 * 1024];
    bool client_open = true;
    for (;;) {
      net::Waiting both[2] = {{client, client_open}, {inner}};
      if (net::Wait(both, -1) < 0) return;
      if (both[1].ready) {
        const long n = net::Receive(inner, buffer, sizeof buffer);
        if (n <= 0 || !net::SendAll(client, buffer, static_cast<std::size_t>(n))) return;
      }
      if (client_open && both[0].ready) {
        const long n = net::Receive(client, buffer, sizeof buffer);
        if (n <= 0) {
          // The client has said all it will: the server may still answer.
          net::ShutdownWrite(inner);
          client_open = false;
        } else if (!net::SendAll(inner, buffer, static_cast<std::size_t>(n))) {
          return;
        }
      }
    }
  }

  void Serve(Socket client) {
    std::string head;
    if (ReadHead(client, head)) {
      const std::string method = Method(head);
      if (method != "GET" && method != "HEAD") {
        const std::string refusal = std::string("HTTP/1.1 405 Method Not Allowed\r\nAllow: ") + kAllowedMethods +
                                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 32\r\n"
                                    "Connection: close\r\n\r\nThe station's page is read-only.\n";
        net::SendAll(client, refusal.data(), refusal.size());
      } else if (const Socket inner = ConnectInner(); inner != net::kNoSocket) {
        if (net::SendAll(inner, head.data(), head.size())) Relay(client, inner);
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
      const Socket client = net::Accept(listener);
      if (client == net::kNoSocket) return;  // the listener was shut down
      Reap();
      {
        const std::lock_guard lock(mutex);
        if (stopping || open >= limits.connections) {
          net::Close(client);  // one too many: closed at once, nothing read
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
  if (!net::Ready(error)) return false;
  const Socket listener = net::Listen(address, port, impl_->port, error);
  if (listener == net::kNoSocket) return false;
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
    for (const Socket socket : impl_->sockets) net::ShutdownBoth(socket);
  }
  net::StopListening(impl_->listener);
  impl_->door.join();
  for (auto& served : impl_->served) served.thread.join();
  impl_->served.clear();
  net::CloseListener(impl_->listener);
}

std::vector<std::string> MachineAddresses() { return net::MachineAddresses(); }

}  // namespace quillon::page
