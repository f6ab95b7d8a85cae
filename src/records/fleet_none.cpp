// A build without libpq (the Windows build today): no fleet.
#include "records/fleet.h"

namespace quillon::records {

std::unique_ptr<FleetServer> FleetServer::Connect(const std::string&, std::string& error) {
  error = "this build of quillon-cli has no fleet: it was made without libpq (the Linux build has it)";
  return nullptr;
}

bool FleetServer::Readable(const std::string&, std::string& error) {
  error = "this build of quillon-cli has no fleet";
  return false;
}

bool FleetAvailable() { return false; }

}  // namespace quillon::records
