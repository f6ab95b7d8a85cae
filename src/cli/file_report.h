#pragma once

#include <string>

#include "report/words.h"
#include "image/flash_image.h"
#include "image/srecord.h"

namespace quillon::cli {

/// Tells the person on standard error where and why an S-record file is bad, and warns about
/// a file that may be truncated or holds data beyond the flash.
void ReportFileProblems(const std::string& path, std::string_view what, bool failed);
/// The same for a file already loaded with a diagnosis (`result` is the loader's).
void ReportLoadedFile(int result, const SRecordDiagnosis& diagnosis, const std::string& path,
                      std::string_view what);

/// True when a loaded update file puts no byte into the flash (every block's used length 0):
/// an update stops there with message 505, and this says so on standard error.
bool ReportNoFlashData(const FlashImage& image, const std::string& path);

}  // namespace quillon::cli
