#pragma once
// Whether a file lives on a network file system, where SQLite's locking does not keep two
// writers apart.

#include <optional>
#include <string>

namespace quillon::records {

/// The name of the network file system the folder of `path` is on ("NFS", "SMB/CIFS", ...);
/// nothing on a local disk, or when it cannot be told.
std::optional<std::string> NetworkFileSystem(const std::string& path);

}  // namespace quillon::records
