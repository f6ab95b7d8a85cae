#pragma once
// What a program makes sure of before it opens anything, and how it tells two names of one
// device apart.

#include <string>

namespace quillon {

/// Opens /dev/null on whichever of descriptors 0, 1 and 2 a program was started without
/// (`>&-`, some service managers): otherwise the next file or port opened would take that
/// number, and text meant for standard output would go down the serial line. Nothing on
/// Windows, where handles are never small numbers.
void EnsureStandardStreams() noexcept;

/// True when the two names (UTF-8) lead to one device or file: on POSIX the same device
/// number for character devices (a link and the pseudo-terminal it leads to; two names of a
/// device are never "equivalent" files), the same file otherwise.
bool SameDevice(const std::string& a, const std::string& b);

/// This computer's name (UTF-8), as a run record names the station; empty when unknown.
std::string HostName();

/// This process's id.
long ProcessId();

/// Whether the process `pid` of this computer is still running (a process that cannot be
/// asked counts as running).
bool ProcessRunning(long pid);

/// The locale the person's messages are in: on POSIX the first of LC_ALL, LC_MESSAGES and
/// LANG that is set and not empty; on Windows "ja" or "en" from the user's UI language.
std::string UserLocaleName();

}  // namespace quillon
