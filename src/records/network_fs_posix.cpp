#include <sys/statfs.h>

#include <filesystem>

#include "base/program_paths.h"
#include "base/posix_call.h"
#include "records/network_fs.h"

namespace quillon::records {
namespace {

// The f_type values of Linux's network file systems (linux/magic.h and the file systems' own
// headers).
struct Known {
  unsigned long magic;
  const char* name;
};
constexpr Known kNetworkFileSystems[] = {
    {0x6969, "NFS"},          {0xFF534D42, "SMB/CIFS"}, {0xFE534D42, "SMB2"},     {0x517B, "SMB"},
    {0x564C, "NCP"},          {0x73757245, "Coda"},     {0x5346414F, "AFS"},      {0x6B414653, "AFS"},
    {0x00C36400, "Ceph"},     {0x65735546, "FUSE"},     {0x01021997, "9P"},       {0x47504653, "GPFS"},
    {0x0BD00BD0, "Lustre"},   {0x19830326, "FhGFS"},    {0x013111A8, "IBRIX"},    {0x7461636F, "OCFS2"},
};

}  // namespace

std::optional<std::string> NetworkFileSystem(const std::string& path) {
  std::filesystem::path folder = Utf8Path(path);
  // The file may not be there yet: its folder tells where it would be made.
  std::error_code failed;
  if (!std::filesystem::exists(folder, failed)) folder = folder.parent_path();
  if (folder.empty()) folder = ".";
  struct statfs status {};
  if (posix::StatFs(folder.c_str(), &status) != 0) return std::nullopt;
  for (const auto& known : kNetworkFileSystems) {
    if (static_cast<unsigned long>(status.f_type) == known.magic) {
      // A FUSE mount is a network one only for the network file systems FUSE serves (sshfs,
      // s3fs); a local FUSE file system is not told apart, so FUSE is said as what it is.
      return std::string(known.name);
    }
  }
  return std::nullopt;
}

}  // namespace quillon::records
