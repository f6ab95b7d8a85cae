#pragma once

#include <string>

namespace quillon::cli {

/// Tells the person on standard error where and why an S-record file is bad, and warns about
/// a file that may be truncated or holds data beyond the flash.
void ReportFileProblems(const std::string& path, const char* what, bool failed);

}  // namespace quillon::cli
