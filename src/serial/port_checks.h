#pragma once
// What will stop an update on a port, found before anything is sent: each finding says what it
// saw and the one-line fix. The system's files (/proc, /sys, /run/udev) are read under a root
// folder that tests replace with a made-up tree.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace quillon {

struct Finding {
  std::string check;   ///< a fixed id: "port.exists", "port.access", ...
  bool ok = true;
  bool blocking = true;  ///< false: advice, which never fails a run
  std::string detail;
  std::string fix;     ///< empty when ok
};

struct PortCheckOptions {
  std::filesystem::path root = "/";
  /// Also the checks that do not stop an update by themselves (ModemManager, brltty, the
  /// USB latency timer, low-latency mode): the doctor asks for them, an update does not.
  bool everything = true;
};

/// The port's checks, in order; a check that cannot be made because an earlier one failed is
/// left out. On Windows only whether it can be opened.
std::vector<Finding> CheckPort(const std::string& device, const PortCheckOptions& options = {});

/// True when no blocking finding failed.
bool NothingBlocks(const std::vector<Finding>& findings);

/// True when a POSIX access list (the bytes of the "system.posix_acl_access" attribute) gives
/// user `uid` read and write by name, as the seat's uaccess rule does.
bool PosixAclGivesUser(std::span<const std::uint8_t> xattr, unsigned uid);

}  // namespace quillon
