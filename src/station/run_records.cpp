#include "station/run_records.h"

namespace quillon::station {

const std::vector<std::string>& UnitColumns() {
  static const std::vector<std::string> columns{
      "id",          "station",      "port",        "adapter",       "operator",   "started_utc", "ended_utc",
      "seconds",     "update_file",  "image_sha256", "boot_sha256",  "serial_number", "bytes_sent", "result",
      "ok",          "stop_phase",   "stop_block",  "stop_chunk",    "records",    "quillon_version"};
  return columns;
}

}  // namespace quillon::station
