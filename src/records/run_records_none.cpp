#include "records/run_records.h"

namespace quillon::records {

// A build without SQLite: no run records, and the commands that need them say so.
bool RecordsAvailable() { return false; }

std::unique_ptr<RunRecords> RunRecords::Open(const std::string&, std::string& error, RecordsProblem* problem) {
  error = "this build has no run records (it was made without SQLite)";
  if (problem != nullptr) *problem = RecordsProblem::kCannotOpen;
  return nullptr;
}

std::unique_ptr<RunRecords> RunRecords::OpenToRead(const std::string& path, std::string& error,
                                                   RecordsProblem* problem) {
  return Open(path, error, problem);
}

std::string UtcNow() { return {}; }

}  // namespace quillon::records
