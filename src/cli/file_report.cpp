#include "base/program_paths.h"
#include "cli/file_report.h"

#include <cstdio>
#include <memory>

#include "base/event_log.h"
#include "base/messages.h"
#include "image/srecord.h"

namespace quillon::cli {

namespace {
constexpr const char* kLfAdvice =
    "The file's lines end in LF only; every record must end in CR LF. Convert the file, for example with "
    "unix2dos FILE or sed -i 's/$/\\r/' FILE.";
}  // namespace

std::string LineEndAdvice(const std::string& path) {
  FileText file;
  if (file.Load(Utf8Path(path)) != 0 || !HasLfOnlyLineEnds(file.text())) return {};
  return kLfAdvice;
}

void ReportFileProblems(const std::string& path, const char* what, bool failed) {
  FileText file;
  if (file.Load(Utf8Path(path)) != 0) {
    if (failed) std::fprintf(stderr, "error: the %s %s cannot be read\n", what, path.c_str());
    return;
  }
  ReportLoadedFile(0, DiagnoseSRecords(file.text()), path, what);
}

void ReportLoadedFile(int result, const SRecordDiagnosis& d, const std::string& path, const char* what) {
  if (result == -1) {
    std::fprintf(stderr, "error: the %s %s cannot be read\n", what, path.c_str());
    return;
  }
  if (d.fault != RecordFault::kNone) {
    std::fprintf(stderr, "error: %s %s, line %d (record %d): %s: %s\n", what, path.c_str(), d.line,
                 d.record, std::string(RecordFaultText(d.fault)).c_str(), EscapeControlCharacters(d.excerpt).c_str());
    if (d.lf_line_ends) std::fprintf(stderr, "       %s\n", kLfAdvice);
    return;
  }
  if (!d.has_termination && d.records > 0) {
    std::fprintf(stderr, "warning: the %s %s has no S7/S8/S9 record: it may be truncated\n", what,
                 path.c_str());
  }
  if (d.bytes_beyond_flash > 0) {
    std::fprintf(stderr, "warning: %lld bytes of the %s lie at 0x40000 or above and are dropped\n",
                 static_cast<long long>(d.bytes_beyond_flash), what);
  }
}

bool ReportNoFlashData(const FlashImage& image, const std::string& path) {
  if (TotalUsedLength(image) > 0) return false;
  std::fprintf(stderr, "[%d] %s\n      No byte of %s lies in the flash (0x00000-0x3FFFF): an update would stop here.\n",
               kMsgDataFileBad, std::string(MessageText(kMsgDataFileBad)).c_str(), path.c_str());
  return true;
}

}  // namespace quillon::cli
