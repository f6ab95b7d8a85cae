#include "cli/notice_words.h"

#include "base/messages.h"
#include "report/port_words.h"
#include "report/event_json.h"

namespace quillon::cli {

using report::Describe;
using report::FindingWords;
namespace {

using Kind = station::NoticeEvent::Kind;

// What stops each of a port's blocking findings, and what to do about it.
std::string Reasons(const station::NoticeEvent& notice, Language language) {
  std::string reasons;
  for (const auto& found : notice.findings) {
    if (found.ok || !found.blocking) continue;
    const FindingWords f = Describe(found, language);
    reasons += "      " + TrFIn(language, "%s.", {f.detail}) + "\n      " + f.fix + "\n";
  }
  return reasons;
}

}  // namespace

namespace {

// The station's start: where its records go, then what it will do to each board.
std::string StationReadyText(const station::NoticeEvent& n, Language language) {
  std::string text =
      n.count > 1
          ? TrFIn(language, "station: %s ports, records in %s; put a board in boot mode on a fixture (Ctrl-C ends)\n",
                  {std::to_string(n.count), n.path})
          : TrFIn(language, "station: 1 port, records in %s; put a board in boot mode on the fixture (Ctrl-C ends)\n",
                  {n.path});
  if (!n.plan) return text;
  const auto& plan = *n.plan;
  text += TrFIn(language, "  update:   %s\n", {plan.update});
  text += plan.pinned ? TrFIn(language, "  SHA-256:  %s (pinned by --expect-sha256)\n", {plan.image_sha256})
                      : TrFIn(language, "  SHA-256:  %s\n", {plan.image_sha256});
  text += TrFIn(language, "  boot:     %s\n", {plan.boot});
  if (!plan.operator_name.empty()) text += TrFIn(language, "  operator: %s\n", {plan.operator_name});
  if (plan.next_serial) {
    text += TrFIn(language, "  serial:   counter \"%s\", next number %s\n", {plan.counter, std::to_string(*plan.next_serial)});
  } else if (plan.lease) {
    text += TrFIn(language, "  serial:   the record server's counter \"%s\", in leases of %s\n",
                  {plan.counter, std::to_string(*plan.lease)});
  }
  for (const auto& pool : plan.pools) {
    text += pool.free ? TrFIn(language, "  pool:     %s at %s, %s values free", {pool.name, pool.stamp, std::to_string(*pool.free)})
                      : TrFIn(language, "  pool:     %s at %s, its values leased from the record server", {pool.name, pool.stamp});
    text += pool.reuse_on_fail ? TrIn(language, "; a failed unit's value is used again\n")
                               : TrIn(language, "; a failed unit's value is spent\n");
  }
  return text;
}

}  // namespace

std::string NoticeText(const station::NoticeEvent& n, Language language) {
  const std::string port = n.port.value_or("");
  switch (n.kind) {
    case Kind::kInterruptedBeforeSending:
      return TrFIn(language, "quillon-cli: interrupted before anything was sent\n", {});
    case Kind::kInterrupted:
      return TrFIn(language,
                   "quillon-cli: interrupted; the record INTERRUPTED is in the log. A device stopped during "
                   "the update holds a partly written flash: run the update again.\n",
                   {});
    case Kind::kStationInterrupted:
      return TrFIn(language,
                   "quillon-cli: interrupted; the unit under way has the record INTERRUPTED and a row with "
                   "result 130. Its board holds a partly written flash: run it again.\n",
                   {});
    case Kind::kCancelled:
      return TrFIn(language, "quillon-cli: cancelled at the boot-mode message (%s); nothing was sent\n",
                   {n.end_of_input ? TrIn(language, "end of input") : TrIn(language, "answered no")});
    case Kind::kNothingSent:
      return TrFIn(language, "%s: nothing was sent to any port\n%s", {port, Reasons(n, language)});
    case Kind::kPortUnusable: {
      // Appended piece by piece: "[" + std::string(...) sets off a false -Wrestrict in GCC 12.
      std::string text = "[";
      text += std::to_string(kMsgPortOpenFailed);
      text += "] ";
      text += MessageTextShownNaming(kMsgPortOpenFailed, n.detail, language);
      text += '\n';
      text += Reasons(n, language);
      return text;
    }
    case Kind::kRowNotBegun:
      return TrFIn(language, "warning: %s: the run record could not be written: %s\n", {port, n.detail});
    case Kind::kRowNotCompleted:
      return TrFIn(language, "warning: %s: the run record could not be completed: %s\n", {port, n.detail});
    case Kind::kRowsUnwritten:
      return TrFIn(language,
                   "error: the rows of %s units could not be completed in %s: their results are only in the logs and "
                   "the output above; look for the program that holds the database\n",
                   {std::to_string(n.count), n.path});
    case Kind::kStationReady:
      return StationReadyText(n, language);
    case Kind::kRecordsUnusable:
      return TrFIn(language, "error: the run records %s cannot be used: %s; name another file with --record\n",
                   {n.path, n.detail});
    case Kind::kPageServed: {
      std::string text = TrFIn(language, "station: live page at http://%s/\n", {n.path});
      if (n.exposed) {
        text += TrFIn(language,
                      "station: the live page listens on %s, not only on this machine: anyone who reaches this "
                      "address can read it (it changes nothing)\n",
                      {n.path});
      }
      return text;
    }
    case Kind::kStationHalted:
      return TrFIn(language, "error: the station stopped taking boards: %s\n",
                   {n.halt ? report::HaltText(*n.halt, language) : std::string()});
  }
  return {};
}

std::string QuestionText(const station::QuestionEvent& q, Language language) {
  if (q.again) return TrFIn(language, "      Enter or y starts the update, n or q calls it off: ", {});
  std::string text;
  for (const auto& port : q.ports) {
    text += TrFIn(language, "      port:     %s%s%s\n",
                  {port.name, port.device == port.name ? "" : (" -> " + port.device),
                   port.from_settings ? TrIn(language, " (the settings' COM; --port names another)") : ""});
  }
  text += TrFIn(language, "      update:   %s (%s bytes, image SHA-256 %s)\n",
                {q.update, std::to_string(q.bytes), q.image_sha256.substr(0, 12)});
  text += TrFIn(language, "      boot:     %s\n", {q.boot});
  text += TrFIn(language, "      bit rate: %s bit/s\n", {std::to_string(q.baud)});
  text += q.ports.size() > 1
              ? TrFIn(language, "      Set the boot mode switches, restart the devices, then press Enter.", {})
              : TrFIn(language, "      Set the boot mode switch, restart the device, then press Enter.", {});
  return text;
}

}  // namespace quillon::cli
