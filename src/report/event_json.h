#pragma once
// The station's events as JSON objects, one per line: what `--json` prints and what the live
// page streams. A station unit's events carry its id right after the port, from its board until
// the port waits again; progress comes at most every quarter second per port and at a phase's end.

#include <chrono>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "report/fixes.h"
#include "report/json_text.h"
#include "report/progress_view.h"
#include "report/words.h"
#include "station/events.h"

namespace quillon::report {

using station::Event;
using station::PhaseName;
using station::HaltEvent;
using station::PortResult;
using station::WarningEvent;
using station::RecordServerEvent;
using station::OutputEvent;

/// The text of a warning event (English in JSON).
std::string WarningText(const WarningEvent& warning, Language language = Language::kEnglish);

/// Why the station stopped taking boards, in words.
std::string HaltText(const HaltEvent& halt, Language language = Language::kEnglish);

/// The words of the station's link to the record server, on one line.
std::string RecordServerText(const RecordServerEvent& link, Language language = Language::kEnglish);

/// Whether no unit can begin until the record server is back: it is away and the leases are
/// used up (not said once the station has ended).
bool WaitingForServer(const RecordServerEvent& link);

/// The words of an output's state, on one line: where it is, the units waiting and since when,
/// why the last try failed, the units that wait for a person.
std::string OutputText(const OutputEvent& output, Language language = Language::kEnglish);
/// "delivering", "retrying" (the last try failed) or "needs_person" (units wait for a person).
const char* OutputStateName(const OutputEvent& output);

/// What a port waiting for the record server says.
std::string_view RecordServerWaitText(Language language = Language::kEnglish);
/// What a fixture whose board answered waits for when the station scans labels.
std::string_view ScanWaitText(Language language = Language::kEnglish);
/// A notice's kind in JSON: "interrupted", "nothing-sent", "station-halted", ...
const char* NoticeName(station::NoticeEvent::Kind kind);

/// The reason's name in JSON: "serial-does-not-fit", "stamp-failed", "record-unwritable",
/// "records-moved".
const char* HaltName(HaltEvent::Reason reason);


/// Turns events into JSON objects; safe to call from every port's thread.
class EventJson {
 public:
  /// The event's object, or nothing for progress that is not shown (too soon after the last).
  std::optional<nlohmann::ordered_json> Object(const Event& event);

 private:
  std::optional<nlohmann::ordered_json> Convert(const Event& event);

  ProgressViews progress_;
  std::mutex mutex_;
  std::map<std::string, long long> units_;  ///< the unit under way on each station port
};

/// A progress view as the event stream shows it ({"event":"progress", ...}).
nlohmann::ordered_json ProgressJson(const ProgressView& view);

/// A port's result as the event stream shows it.
nlohmann::ordered_json ResultJson(const PortResult& result);
/// The object of a RecordServerEvent, as the JSON Lines and the page give it.
nlohmann::ordered_json RecordServerJson(const RecordServerEvent& link);
/// The object of an OutputEvent, as the JSON Lines and the page give it.
nlohmann::ordered_json OutputJson(const OutputEvent& output);

}  // namespace quillon::report
