#pragma once
// The records' tests: a unit's row as a station would begin it.

#include <string>

#include "records/run_records.h"

namespace quillon::records {

inline UnitRow TestRow(const std::string& port, const std::string& station = "line-1") {
  UnitRow row;
  row.station = station;
  row.port = port;
  row.started_utc = UtcNow();
  row.update_file = "/tmp/u.mot";
  row.image_sha256 = std::string(64, 'a');
  row.boot_sha256 = std::string(64, 'b');
  row.quillon_version = "1.04";
  return row;
}

}  // namespace quillon::records
