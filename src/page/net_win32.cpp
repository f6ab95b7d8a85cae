#include "page/net.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <chrono>
#include <memory>
#include <thread>

namespace quillon::page::net {
namespace {

SOCKET Handle(Socket socket) { return static_cast<SOCKET>(socket); }
Socket Number(SOCKET socket) { return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket); }

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

bool Ready(std::string& error) {
  // Once for the process; Winsock counts its starts and the process's end cleans up.
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) error = "Windows sockets cannot start (WSAStartup: " + std::to_string(started) + ")";
  return started == 0;
}

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
  SOCKET listener = INVALID_SOCKET;
  for (addrinfo* at = found; at != nullptr && listener == INVALID_SOCKET; at = at->ai_next) {
    listener = ::WSASocketW(at->ai_family, at->ai_socktype, at->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (listener == INVALID_SOCKET) continue;
    // Windows lets a second program bind a port in use with SO_REUSEADDR; this one's own.
    const BOOL yes = TRUE;
    ::setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
    if (at->ai_family == AF_INET6) {
      const DWORD no = 0;  // "::" takes IPv4 too, as "every address" means
      ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&no), sizeof no);
    }
    if (::bind(listener, at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0 || ::listen(listener, 128) != 0) {
      ::closesocket(listener);
      listener = INVALID_SOCKET;
    }
  }
  ::freeaddrinfo(found);
  if (listener == INVALID_SOCKET) {
    error = "cannot listen on " + address + ":" + service + " (in use, or not an address of this machine)";
    return kNoSocket;
  }
  sockaddr_storage where{};
  int size = sizeof where;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
  bound = ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
  return Number(listener);
}

Socket Accept(Socket listener) {
  for (;;) {
    const SOCKET client = ::accept(Handle(listener), nullptr, nullptr);
    if (client != INVALID_SOCKET) return Number(client);
    const int why = ::WSAGetLastError();
    if (why == WSAEMFILE || why == WSAENOBUFS) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (why != WSAECONNRESET && why != WSAEINTR) {
      return kNoSocket;  // the listener was closed
    }
  }
}

Socket ConnectLoopback(int port) {
  const SOCKET inner = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (inner == INVALID_SOCKET) return kNoSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(inner, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::closesocket(inner);
    return kNoSocket;
  }
  return Number(inner);
}

long Receive(Socket socket, char* buffer, std::size_t size) {
  const int n = ::recv(Handle(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool SendAll(Socket socket, const char* bytes, std::size_t size) {
  while (size > 0) {
    const int n = ::send(Handle(socket), bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
    if (n == SOCKET_ERROR || n == 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int Wait(std::span<Waiting> sockets, int timeout_ms) {
  std::vector<WSAPOLLFD> polled;
  for (const auto& each : sockets) {
    polled.push_back({Handle(each.socket), static_cast<SHORT>(each.read ? POLLRDNORM : 0), 0});
  }
  const int ready = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeout_ms);
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].ready = ready > 0 && (polled[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  return ready == SOCKET_ERROR ? -1 : ready;
}

// A shut-down listener does not end a blocked accept on Windows; a closed one does.
void StopListening(Socket listener) { ::closesocket(Handle(listener)); }
void CloseListener(Socket) {}

void ShutdownBoth(Socket socket) { ::shutdown(Handle(socket), SD_BOTH); }
void ShutdownWrite(Socket socket) { ::shutdown(Handle(socket), SD_SEND); }
void Close(Socket socket) { ::closesocket(Handle(socket)); }

std::vector<std::string> MachineAddresses() {
  std::vector<std::string> addresses{"127.0.0.1", "::1"};
  ULONG size = 16 * 1024;
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
    const ULONG result = ::GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                               GAA_FLAG_SKIP_DNS_SERVER, nullptr, adapters, &size);
    if (result == ERROR_BUFFER_OVERFLOW) continue;
    if (result != NO_ERROR) break;
    for (auto* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
      for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
        if (auto text = AddressText(unicast->Address.lpSockaddr); !text.empty()) addresses.push_back(text);
      }
    }
    break;
  }
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
