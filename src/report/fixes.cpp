#include "report/fixes.h"

#include "base/messages.h"
#include "base/program_paths.h"
#include "image/srecord.h"
#include "report/port_words.h"

namespace quillon::report {

namespace {

constexpr std::string_view kLfAdviceText = ToTranslate(
    "The file's lines end in LF only; every record must end in CR LF. Convert the file, for "
    "example with "
    "unix2dos FILE or sed -i 's/$/\\r/' FILE.");

// The phases' names as the words show them (JSON names them as PhaseName does).
[[maybe_unused]] constexpr std::string_view kPhaseWords[] = {
    ToTranslate("open"), ToTranslate("boot"), ToTranslate("handshake"), ToTranslate("transfer"),
    ToTranslate("closing")};

// A log record's own message: what follows "File:<file>(<line>) :".
std::string RecordMessage(const std::string& record) {
  const auto at = record.find(") :");
  return at == std::string::npos ? record : record.substr(at + 3);
}

}  // namespace

std::string FixFor(int id, const FixFacts& facts, Language language) {
  switch (id) {
    case kMsgNoBootFile:
      return TrFIn(language,
                   "Check the boot file %s (\"Info File\" in the settings file, or --boot).",
                   {facts.boot_path});
    case kMsgNoDataFile:
      return TrFIn(language, "Check the update file path: %s", {facts.update_path});
    case kMsgBootSendFailed:
      return TrFIn(language,
                   "Check that the device was restarted in boot mode (DIP switch) and is connected "
                   "to %s; the log %s has the details, and --trace FILE keeps every byte of the "
                   "line on the next run.",
                   {facts.port_name, facts.log});
    case kMsgDataSendFailed:
      return TrFIn(language,
                   "Check the connection and the bit rate (%s bit/s, --baud); the log %s has the "
                   "details, and --trace FILE keeps every byte of the line on the next run.",
                   {std::to_string(facts.baud), facts.log});
    case kMsgPortOpenFailed:
      return TrFIn(language,
                   "Check the port name %s and that no other program uses it (quillon-cli ports).",
                   {facts.port_name});
    case kMsgDataFileBad: {
      const std::string advice = LineEndAdvice(facts.update_path, language);
      if (!advice.empty()) return advice;
      return TrFIn(language,
                   "The update file is bad or puts no data into the flash: quillon-cli info %s "
                   "shows the record at fault.",
                   {facts.update_path});
    }
    case kMsgBootFileBad:
      return TrFIn(language,
                   "The boot file is bad, empty or too long: quillon-cli info --boot %s UPDATE.mot "
                   "shows why.",
                   {facts.boot_path});
    default: return {};
  }
}

std::string_view LfAdvice(Language language) { return TrIn(language, kLfAdviceText); }

std::string LineEndAdvice(const std::string& path, Language language) {
  FileText file;
  if (file.Load(Utf8Path(path)) != 0 || !HasLfOnlyLineEnds(file.text())) return {};
  return std::string(LfAdvice(language));
}

std::string StopText(const StopPoint& stop, Language language) {
  const char* phase = PhaseName(stop.phase);
  if (phase == nullptr) return {};
  const std::string_view word = TrIn(language, phase);
  if (stop.phase != RunPhase::kTransfer) return TrFIn(language, "stopped in %s", {word});
  return TrFIn(language, "stopped in %s, block %s chunk %s",
               {word, std::to_string(stop.block), std::to_string(stop.chunk)});
}

std::string FailureDetail(int id, const FailureFacts& facts, Language language) {
  if (id < kMsgNoBootFile) return {};
  std::string detail;
  auto line = [&detail](const std::string& text) {
    if (!text.empty()) detail += (detail.empty() ? "" : "\n") + text;
  };
  // Why: what kept the port from being used, found before anything was asked of the person...
  bool port_said = false;
  for (const PortFinding& finding : facts.findings) {
    if (finding.ok || !finding.blocking) continue;
    const FindingWords words = Describe(finding, language);
    line(words.detail + (words.fix.empty() ? "" : " " + words.fix));
    port_said = true;
  }
  // ... or where the transfer stopped and what the log has of it.
  if (id == kMsgBootSendFailed || id == kMsgDataSendFailed) {
    std::string said;
    for (const auto& record : facts.records) said += (said.empty() ? "" : "; ") + RecordMessage(record);
    const std::string where = StopText(facts.stop, language);
    if (!where.empty() && !said.empty()) {
      line(TrFIn(language, "The update %s; the log says: %s.", {where, said}));
    } else if (!where.empty()) {
      line(TrFIn(language, "The update %s.", {where}));
    }
  }
  // What to do next: the port's findings already said it for a port that cannot be used.
  if (!port_said) line(FixFor(id, facts.fix, language));
  if (!facts.fix.log.empty()) line(TrFIn(language, "The log: %s", {facts.fix.log}));
  return detail;
}

}  // namespace quillon::report
