#include "cli/file_report.h"

#include <cstdio>
#include <memory>

#include "base/event_log.h"
#include "base/messages.h"
#include "base/program_paths.h"
#include "report/fixes.h"
#include "report/words.h"
#include "cli/output.h"
#include "image/srecord.h"

namespace quillon::cli {
namespace {

// A record's fault as the diagnosis names it.
std::string_view RecordFaultText(RecordFault fault) {
  switch (fault) {
    case RecordFault::kNone:
      return ToTranslate("good");
    case RecordFault::kNotS:
      return ToTranslate("does not start with \"S\"");
    case RecordFault::kBadType:
      return ToTranslate("bad record type");
    case RecordFault::kCutShort:
      return ToTranslate("record cut short");
    case RecordFault::kNonHex:
      return ToTranslate("non-hex character");
    case RecordFault::kBadChecksum:
      return ToTranslate("bad checksum");
  }
  return ToTranslate("unknown");
}

}  // namespace

void ReportFileProblems(const std::string& path, std::string_view what, bool failed) {
  FileText file;
  if (file.Load(Utf8Path(path)) != 0) {
    if (failed) Say(stderr, "error: the %s %s cannot be read\n", {Tr(what), path});
    return;
  }
  ReportLoadedFile(0, DiagnoseSRecords(file.text()), path, what);
}

void ReportLoadedFile(int result, const SRecordDiagnosis& d, const std::string& path,
                      std::string_view what) {
  if (result == -1) {
    Say(stderr, "error: the %s %s cannot be read\n", {Tr(what), path});
    return;
  }
  if (d.fault != RecordFault::kNone) {
    Say(stderr, "error: %s %s, line %s (record %s): %s: %s\n",
        {Tr(what), path, std::to_string(d.line), std::to_string(d.record),
         Tr(RecordFaultText(d.fault)), EscapeControlCharacters(d.excerpt)});
    if (d.lf_line_ends) Print(stderr, "       %s\n", std::string(report::LfAdvice()).c_str());
    return;
  }
  if (!d.has_termination && d.records > 0) {
    Say(stderr, "warning: the %s %s has no S7/S8/S9 record: it may be truncated\n",
        {Tr(what), path});
  }
  if (d.bytes_beyond_flash > 0) {
    Say(stderr, "warning: %s bytes of the %s lie at 0x40000 or above and are dropped\n",
        {std::to_string(static_cast<long long>(d.bytes_beyond_flash)), Tr(what)});
  }
}

bool ReportNoFlashData(const FlashImage& image, const std::string& path) {
  if (TotalUsedLength(image) > 0) return false;
  Say(stderr,
      "[%s] %s\n      No byte of %s lies in the flash (0x00000-0x3FFFF): an update would stop "
      "here.\n",
      {std::to_string(kMsgDataFileBad),
       MessageTextShown(kMsgDataFileBad, MessageText(kMsgDataFileBad)), path});
  return true;
}

}  // namespace quillon::cli
