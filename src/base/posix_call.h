#pragma once
// The POSIX code (the serial driver, the log) makes its system calls through here: EINTR is retried, so a
// signal never turns into a failed transfer.

#include <cerrno>

namespace quillon::posix {

template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace quillon::posix
