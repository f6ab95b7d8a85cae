#pragma once
// The live page's front door: it takes the connections, keeps out what could hold the station
// (a request head that dribbles in, more connections than it serves, a method no page uses),
// and hands each whole request to the HTTP server behind it on this machine's loopback.
// Stop() ends every connection at once, whatever its client does.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quillon::page {

struct GateLimits {
  int connections = 64;                          ///< served at once; one more is closed at once
  std::chrono::milliseconds head_time{5000};     ///< for a request's whole head to arrive
  std::size_t head_bytes = 16 * 1024;            ///< the longest head taken
};

/// The methods a request may use at all; any other is answered 405 by the gate itself.
inline constexpr const char* kAllowedMethods = "GET, HEAD";

class Gate {
 public:
  explicit Gate(GateLimits limits = {});
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  /// Listens on `address`:`port` (0: a free port) and forwards to 127.0.0.1:`inner_port`;
  /// false with `error` when the address cannot be bound.
  bool Start(const std::string& address, int port, int inner_port, std::string& error);
  int port() const;
  /// Closes the door and every connection through it; returns once all are gone.
  void Stop();
  /// Connections being served now.
  int open_connections() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

/// The addresses of this machine's interfaces, as text (127.0.0.1, ::1, 192.168.1.20, ...).
std::vector<std::string> MachineAddresses();

}  // namespace quillon::page
