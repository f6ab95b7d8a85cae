#pragma once
// The few socket calls the page's front door makes, one file per platform (BSD sockets,
// Winsock): a socket is a number, kNoSocket none; every call retries what a signal
// interrupted, and says only whether it worked.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::page::net {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

/// Readies the sockets of this process (Winsock's start); false with `error` when it cannot.
bool Ready(std::string& error);

/// A listening socket on `address`:`port` (0: a free port), IPv4 too for "::"; its port in
/// `bound`; kNoSocket with `error`.
Socket Listen(const std::string& address, int port, int& bound, std::string& error);

/// The next connection; kNoSocket once the listener is shut down. A passing shortage of
/// descriptors is waited out.
Socket Accept(Socket listener);

/// A connection to 127.0.0.1:`port`, or kNoSocket.
Socket ConnectLoopback(int port);

/// Bytes read (0: the peer ended, -1: an error).
long Receive(Socket socket, char* buffer, std::size_t size);
/// Every byte written; false when the connection broke.
bool SendAll(Socket socket, const char* bytes, std::size_t size);

struct Waiting {
  Socket socket = kNoSocket;
  bool read = true;     ///< wait for bytes (or the end) on it
  bool ready = false;   ///< set: bytes, an end or an error wait
};
/// Waits until one of `sockets` is ready or `timeout_ms` passes (-1: no limit); the number
/// ready, 0 at the time limit, -1 on an error.
int Wait(std::span<Waiting> sockets, int timeout_ms);

/// Makes an Accept blocked on `listener` return kNoSocket; CloseListener once it has.
void StopListening(Socket listener);
void CloseListener(Socket listener);

void ShutdownBoth(Socket socket);
void ShutdownWrite(Socket socket);
void Close(Socket socket);

/// The addresses of this machine's interfaces, as text, loopback first.
std::vector<std::string> MachineAddresses();

/// An address in one canonical text ("::0001" and "::1" are one), or nothing for a name.
std::optional<std::string> CanonicalAddress(const std::string& host);

}  // namespace quillon::page::net
