#include "page/net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/posix_call.h"

namespace quillon::page::net {
namespace {

// The call again while a signal interrupts it.
template <typename Call>
auto Retried(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

int Fd(Socket socket) { return static_cast<int>(socket); }

}  // namespace

bool Ready(std::string&) { return true; }

Socket Listen(const std::string& address, int port, int& bound, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = "cannot listen on " + address + ":" + service + " (not an address of this machine)";
    return kNoSocket;
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
    return kNoSocket;
  }
  sockaddr_storage where{};
  socklen_t size = sizeof where;
  posix::GetSockName(listener, reinterpret_cast<sockaddr*>(&where), &size);
  bound = ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
  return listener;
}

Socket Accept(Socket listener) {
  for (;;) {
    const int client = posix::Accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno == EMFILE || errno == ENFILE) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (errno != EINTR && errno != ECONNABORTED) {
      return kNoSocket;  // the listener was shut down
    }
  }
}

Socket ConnectLoopback(int port) {
  const int inner = posix::Socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (inner < 0) return kNoSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (Retried([&] { return posix::Connect(inner, reinterpret_cast<sockaddr*>(&to), sizeof to); }) != 0) {
    posix::Close(inner);
    return kNoSocket;
  }
  return inner;
}

long Receive(Socket socket, char* buffer, std::size_t size) {
  return static_cast<long>(Retried([&] { return posix::Recv(Fd(socket), buffer, size, 0); }));
}

bool SendAll(Socket socket, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = Retried([&] { return posix::Send(Fd(socket), bytes, size, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int Wait(std::span<Waiting> sockets, int timeout_ms) {
  std::vector<pollfd> polled;
  for (const auto& each : sockets) polled.push_back({Fd(each.socket), static_cast<short>(each.read ? POLLIN : 0), 0});
  const int ready = Retried([&] { return posix::Poll(polled.data(), polled.size(), timeout_ms); });
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].ready = ready > 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
  return ready;
}

void StopListening(Socket listener) { posix::Shutdown(Fd(listener), SHUT_RDWR); }
void CloseListener(Socket listener) { posix::Close(Fd(listener)); }
void ShutdownBoth(Socket socket) { posix::Shutdown(Fd(socket), SHUT_RDWR); }
void ShutdownWrite(Socket socket) { posix::Shutdown(Fd(socket), SHUT_WR); }
void Close(Socket socket) { posix::Close(Fd(socket)); }

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

std::optional<std::string> CanonicalAddress(const std::string& host) {
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN] = {};
  if (::inet_pton(AF_INET, host.c_str(), bytes) == 1) return std::string(::inet_ntop(AF_INET, bytes, text, sizeof text));
  if (::inet_pton(AF_INET6, host.c_str(), bytes) == 1) return std::string(::inet_ntop(AF_INET6, bytes, text, sizeof text));
  return std::nullopt;
}

}  // namespace quillon::page::net
