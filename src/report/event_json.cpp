#include "report/json_text.h"
#include "report/event_json.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

#include "base/messages.h"

namespace quillon::report {

using namespace station;  // the events this file writes out
namespace {

double Millisecond(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

}  // namespace

std::string WarningText(const WarningEvent& warning, Language language) {
  switch (warning.kind) {
    case WarningEvent::Kind::kLogUnwritten:
      return TrFIn(language, "the log %s could not be written; its record: %s",
                   {warning.path, warning.record});
    case WarningEvent::Kind::kTraceUnwritable:
      return TrFIn(language, "the trace %s cannot be written: this run is not traced",
                   {warning.path});
    case WarningEvent::Kind::kRowWaiting:
      return TrFIn(language,
                   "the unit's row cannot be written to %s yet (%s): this fixture takes no board until it "
                   "is; it is tried again every second",
                   {warning.path, warning.record});
    case WarningEvent::Kind::kResultCommandFailed: {
      const std::string unit = std::to_string(warning.unit);
      switch (warning.command.kind) {
        case ChildOutcome::Kind::kNotStarted:
          return TrFIn(language, "--on-result for unit %s: %s could not start (%s); the unit's result stands",
                       {unit, warning.path, warning.command.error});
        case ChildOutcome::Kind::kTimedOut:
          return TrFIn(language,
                       "--on-result for unit %s: %s did not end within %s s and was stopped; the unit's result "
                       "stands",
                       {unit, warning.path, std::to_string(warning.limit.count() / 1000)});
        case ChildOutcome::Kind::kExited:
          break;
      }
      return TrFIn(language, "--on-result for unit %s: %s ended with exit status %s; the unit's result stands",
                   {unit, warning.path, std::to_string(warning.command.status)});
    }
    case WarningEvent::Kind::kScanPassedBefore:
      return TrFIn(language,
                   "label %s refused: unit %s already passed with it (a board flashed twice?); scan this board's own "
                   "label, or start the station with --allow-rescan to flash it again",
                   {warning.record, std::to_string(warning.unit)});
    case WarningEvent::Kind::kScanWrongPattern:
      return TrFIn(language, "label %s refused: it does not match --scan-pattern %s; scan this board's own label",
                   {warning.record, warning.path});
    case WarningEvent::Kind::kScannerGone:
      return TrFIn(language,
                   "the scanner %s cannot be read any more (unplugged, or its input ended): this fixture's boards "
                   "wait for a scan; check its cable and start the station again",
                   {warning.path});
  }
  return {};
}

std::string HaltText(const HaltEvent& halt, Language language) {
  switch (halt.reason) {
    case HaltEvent::Reason::kSerialDoesNotFit:
      return TrFIn(language, "the next serial number of counter \"%s\" does not fit the stamp's format",
                   {halt.detail});
    case HaltEvent::Reason::kStampFailed:
      return TrFIn(language, "serial number %s could not be stamped", {halt.detail});
    case HaltEvent::Reason::kRecordUnwritable:
      return TrFIn(language, "the unit's record could not be written: %s", {halt.detail});
    case HaltEvent::Reason::kRecordsMoved:
      return TrFIn(language, "the run records cannot be kept: %s", {halt.detail});
    case HaltEvent::Reason::kPoolEmpty:
      return TrFIn(language, "the pool %s is empty", {halt.detail});
    case HaltEvent::Reason::kValueDoesNotFit:
      return TrFIn(language, "the next value of pool %s does not fit its --pool-at format", {halt.detail});
  }
  return {};
}

std::string_view RecordServerWaitText(Language language) { return TrIn(language, "waiting for the record server"); }

std::string_view ScanWaitText(Language language) { return TrIn(language, "scan the board's label"); }

bool WaitingForServer(const RecordServerEvent& link) {
  return link.numbers_left && *link.numbers_left == 0 && !link.connected && !link.ended;
}

std::string RecordServerText(const RecordServerEvent& link, Language language) {
  std::string text =
      link.connected ? TrFIn(language, "record server %s: connected", {link.server})
                     : TrFIn(language, "record server %s: away since %s (%s)",
                             {link.server, link.offline_since_utc.value_or("?"), link.error.empty() ? "-" : link.error});
  if (link.rows_waiting > 0) {
    text += "; " + TrFIn(language, "%s rows wait to be sent (the oldest since %s)",
                         {std::to_string(link.rows_waiting), link.oldest_utc.value_or("?")});
  }
  if (link.numbers_left) {
    text += "; " + TrFIn(language, "%s serial numbers left in the lease", {std::to_string(*link.numbers_left)});
    if (WaitingForServer(link)) text += ": " + std::string(RecordServerWaitText(language));
  }
  if (link.ended && link.rows_waiting > 0) {
    text += "; " + std::string(TrIn(language, "the station's next start sends them"));
  }
  return text;
}

const char* NoticeName(NoticeEvent::Kind kind) {
  switch (kind) {
    case NoticeEvent::Kind::kInterruptedBeforeSending: return "interrupted-before-sending";
    case NoticeEvent::Kind::kInterrupted: return "interrupted";
    case NoticeEvent::Kind::kStationInterrupted: return "station-interrupted";
    case NoticeEvent::Kind::kCancelled: return "cancelled";
    case NoticeEvent::Kind::kNothingSent: return "nothing-sent";
    case NoticeEvent::Kind::kPortUnusable: return "port-unusable";
    case NoticeEvent::Kind::kRowNotBegun: return "row-not-begun";
    case NoticeEvent::Kind::kRowNotCompleted: return "row-not-completed";
    case NoticeEvent::Kind::kRowsUnwritten: return "rows-unwritten";
    case NoticeEvent::Kind::kStationHalted: return "station-halted";
    case NoticeEvent::Kind::kStationReady: return "station-ready";
    case NoticeEvent::Kind::kRecordsUnusable: return "records-unusable";
    case NoticeEvent::Kind::kPageServed: return "page-served";
  }
  return "";
}

const char* HaltName(HaltEvent::Reason reason) {
  switch (reason) {
    case HaltEvent::Reason::kSerialDoesNotFit:
      return "serial-does-not-fit";
    case HaltEvent::Reason::kStampFailed:
      return "stamp-failed";
    case HaltEvent::Reason::kRecordUnwritable:
      return "record-unwritable";
    case HaltEvent::Reason::kRecordsMoved:
      return "records-moved";
    case HaltEvent::Reason::kPoolEmpty:
      return "pool-empty";
    case HaltEvent::Reason::kValueDoesNotFit:
      return "value-does-not-fit";
  }
  return "";
}

nlohmann::ordered_json ResultJson(const PortResult& r) {
  nlohmann::ordered_json event{{"event", "result"}, {"port", r.port}};
  event["id"] = r.interrupted ? nlohmann::json(nullptr) : nlohmann::json(r.id);
  event["interrupted"] = r.interrupted;
  event["ok"] = r.ok();
  event["seconds"] = Millisecond(r.seconds);
  event["bytes"] = r.bytes;
  event["log"] = r.log;
  if (r.serial_number) event["serial_number"] = *r.serial_number;
  if (!r.ok() && !r.interrupted) {
    // The message's own text, its English, and why in English (the command line adds the fix).
    const std::string english = MessageTextEnglishNaming(r.id, r.port_label);
    event["text"] = MessageTextNaming(r.id, r.port_label);
    event["text_en"] = english;
    const std::string where = StopText(r.stop);
    event["reason"] = english + (where.empty() ? "" : " The update " + where + ".");
  }
  if (!r.ok()) {
    if (const char* phase = PhaseName(r.stop.phase); phase != nullptr) {
      event["phase"] = phase;
      if (r.stop.phase == RunPhase::kTransfer) {
        event["block"] = r.stop.block;
        event["chunk"] = r.stop.chunk;
      }
    }
  }
  return event;
}

std::optional<nlohmann::ordered_json> EventJson::Object(const Event& event) {
  auto object = Convert(event);
  if (!object) return object;
  const std::lock_guard lock(mutex_);
  const auto port = object->find("port");
  const auto unit = port != object->end() && port->is_string() ? units_.find(port->get<std::string>()) : units_.end();
  if (unit == units_.end() || object->contains("unit")) return object;
  nlohmann::ordered_json with_unit;
  for (const auto& [key, value] : object->items()) {
    with_unit[key] = value;
    if (key == "port") with_unit["unit"] = unit->second;
  }
  return with_unit;
}

nlohmann::ordered_json ProgressJson(const ProgressView& view) {
  nlohmann::ordered_json object{{"event", "progress"},
                                {"port", view.port},
                                {"done", view.done},
                                {"total", view.total},
                                {"bytes_per_second", std::round(view.bytes_per_second)},
                                {"bytes", view.bytes}};
  object["seconds_left"] = view.seconds_left ? nlohmann::json(std::round(*view.seconds_left)) : nlohmann::json(nullptr);
  return object;
}

namespace {

nlohmann::ordered_json MessageObject(const MessageEvent& e) {
  nlohmann::ordered_json object{{"event", "message"}};
  if (e.port) object["port"] = *e.port;
  object["id"] = e.id;
  object["text"] = MessageTextNaming(e.id, e.port_label);
  object["text_en"] = MessageTextEnglishNaming(e.id, e.port_label);
  return object;
}

nlohmann::ordered_json SummaryObject(const SummaryEvent& e) {
  const auto ok =
      std::count_if(e.results.begin(), e.results.end(), [](const PortResult& r) { return r.ok(); });
  return nlohmann::ordered_json{{"event", "summary"},
                                {"ok", ok},
                                {"failed", static_cast<long long>(e.results.size()) - ok},
                                {"exit", e.exit_status}};
}

nlohmann::ordered_json NoticeObject(const NoticeEvent& e) {
  nlohmann::ordered_json object{{"event", "notice"}};
  if (e.port) object["port"] = *e.port;
  object["level"] = e.level() == NoticeEvent::Level::kInfo      ? "info"
                    : e.level() == NoticeEvent::Level::kWarning ? "warning"
                                                                : "error";
  object["kind"] = NoticeName(e.kind);
  if (e.halt) object["reason"] = HaltName(e.halt->reason);
  if (e.plan) {
    object["update"] = e.plan->update;
    object["image_sha256"] = e.plan->image_sha256;
    object["pinned"] = e.plan->pinned;
    object["boot"] = e.plan->boot;
    object["operator"] = e.plan->operator_name;
    if (!e.plan->counter.empty()) object["serial_counter"] = e.plan->counter;
    if (e.plan->next_serial) object["next_serial"] = *e.plan->next_serial;
    if (e.plan->lease) object["lease"] = *e.plan->lease;
    if (!e.plan->pools.empty()) {
      auto pools = nlohmann::ordered_json::array();
      for (const auto& pool : e.plan->pools) {
        pools.push_back({{"pool", pool.name}, {"at", pool.stamp}, {"free", OrNull(pool.free)},
                         {"on_fail", pool.reuse_on_fail ? "reuse" : "spend"}});
      }
      object["pools"] = pools;
    }
  }
  return object;
}

nlohmann::ordered_json QuestionObject(const QuestionEvent& e) {
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& port : e.ports) ports.push_back({{"port", port.name}, {"device", port.device}});
  return nlohmann::ordered_json{{"event", "question"},
                                {"ports", ports},
                                {"update", e.update},
                                {"bytes", e.bytes},
                                {"image_sha256", e.image_sha256},
                                {"boot", e.boot},
                                {"baud", e.baud},
                                {"again", e.again}};
}

}  // namespace

const char* OutputStateName(const OutputEvent& output) {
  return output.stopped > 0 ? "needs_person" : output.failing ? "retrying" : "delivering";
}

std::string OutputText(const OutputEvent& output, Language language) {
  std::string text = output.output == "upload" ? TrFIn(language, "upload to %s", {output.where})
                                               : TrFIn(language, "drop folder %s", {output.where});
  const std::string waiting = std::to_string(output.waiting);
  const std::string oldest = output.oldest_utc.value_or("?");
  if (output.failing) {
    text += ": " + TrFIn(language, "%s units wait (the oldest since %s); the last try failed: %s; it is tried again",
                         {waiting, oldest, output.error});
  } else if (output.waiting > 0) {
    text += ": " + TrFIn(language, "delivering, %s units wait (the oldest since %s)", {waiting, oldest});
  } else {
    text += ": " + std::string(TrIn(language, "every unit delivered"));
  }
  if (output.stopped > 0) {
    text += "; " + TrFIn(language, "%s units were refused and wait for a person (history --undelivered lists them)",
                         {std::to_string(output.stopped)});
    if (!output.failing && !output.error.empty()) text += ": " + output.error;
  }
  if (output.ended && output.waiting > 0) {
    text += "; " + std::string(TrIn(language, "the station's next start, or history --redeliver, delivers them"));
  }
  return text;
}

nlohmann::ordered_json OutputJson(const OutputEvent& e) {
  return nlohmann::ordered_json{{"event", "output"},
                                {"output", e.output},
                                {"where", e.where},
                                {"state", OutputStateName(e)},
                                {"waiting", e.waiting},
                                {"oldest", OrNull(e.oldest_utc)},
                                {"needs_person", e.stopped},
                                {"error", e.error},
                                {"ended", e.ended},
                                {"text", OutputText(e)}};
}

nlohmann::ordered_json RecordServerJson(const RecordServerEvent& e) {
  return nlohmann::ordered_json{{"event", "record_server"},
                                {"server", e.server},
                                {"connected", e.connected},
                                {"offline_since", OrNull(e.offline_since_utc)},
                                {"error", e.error},
                                {"rows_waiting", e.rows_waiting},
                                {"oldest", OrNull(e.oldest_utc)},
                                {"numbers_left", OrNull(e.numbers_left)},
                                {"waiting_for_server", WaitingForServer(e)},
                                {"ended", e.ended},
                                {"text", RecordServerText(e)}};
}

namespace {

nlohmann::ordered_json StationSummaryObject(const StationSummaryEvent& e) {
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& port : e.ports) {
    ports.push_back({{"port", port.port},
                     {"passed", port.passed},
                     {"failed", port.failed},
                     {"interrupted", port.interrupted}});
  }
  return nlohmann::ordered_json{{"event", "summary"}, {"passed", e.passed},
                                {"failed", e.failed}, {"interrupted", e.interrupted},
                                {"ports", ports},     {"exit", e.exit_status}};
}

}  // namespace

std::optional<nlohmann::ordered_json> EventJson::Convert(const Event& event) {
  using Object = std::optional<nlohmann::ordered_json>;
  return VisitEvent(
      event,
      Handlers{
          [](const MessageEvent& e) -> Object { return MessageObject(e); },
          [](const WarningEvent& e) -> Object {
            return nlohmann::ordered_json{
                {"event", "message"}, {"port", e.port}, {"level", "warning"}, {"text", WarningText(e)}};
          },
          [this](const PhaseEvent& e) -> Object {
            const ProgressView view = progress_.Begin(e);
            return nlohmann::ordered_json{
                {"event", "phase"}, {"port", e.port}, {"phase", view.phase}, {"total", e.total}};
          },
          [this](const ProgressEvent& e) -> Object {
            if (const auto view = progress_.Step(e)) return ProgressJson(*view);
            return std::nullopt;
          },
          [this](const PhaseEndEvent& e) -> Object {
            const ProgressView view = progress_.End(e);
            if (view.repeated) return std::nullopt;
            return ProgressJson(view);
          },
          [](const ResultEvent& e) -> Object { return ResultJson(e.result); },
          [](const SummaryEvent& e) -> Object { return SummaryObject(e); },
          [this](const WaitingEvent& e) -> Object {
            {
              const std::lock_guard lock(mutex_);
              units_.erase(e.port);
            }
            nlohmann::ordered_json object{{"event", "waiting"}, {"port", e.port}};
            if (e.missing) object["missing"] = true;
            if (e.record_server) {
              object["record_server"] = true;
              object["text"] = RecordServerWaitText();
            }
            if (e.scan) {
              object["scan"] = true;
              object["text"] = ScanWaitText();
            }
            return object;
          },
          [](const RecordServerEvent& e) -> Object { return RecordServerJson(e); },
          [](const OutputEvent& e) -> Object { return OutputJson(e); },
          [this](const BoardEvent& e) -> Object {
            {
              const std::lock_guard lock(mutex_);
              units_[e.port] = e.unit;
            }
            nlohmann::ordered_json object{{"event", "board"}, {"port", e.port}, {"unit", e.unit}};
            if (e.serial_number) object["serial_number"] = *e.serial_number;
            return object;
          },
          [](const HaltEvent& e) -> Object {
            return nlohmann::ordered_json{{"event", "halt"}, {"reason", HaltName(e.reason)}, {"text", HaltText(e)}};
          },
          [](const NoticeEvent& e) -> Object { return NoticeObject(e); },
          [](const QuestionEvent& e) -> Object { return QuestionObject(e); },
          [](const StationSummaryEvent& e) -> Object { return StationSummaryObject(e); },
      });
}

}  // namespace quillon::report
