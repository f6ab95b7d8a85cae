#include "report/json_text.h"
#include "report/station_view.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

#include "base/messages.h"
#include "report/event_json.h"

namespace quillon::report {

using namespace station;  // the events this view is kept from

StationView::StationView(StationFacts facts, Clock::time_point started) : facts_(std::move(facts)), started_(started) {
  for (const auto& port : facts_.ports) {
    Tile tile;
    tile.port = port.name;
    tile.adapter = port.adapter;
    tiles_.push_back(std::move(tile));
  }
}

StationView::Tile& StationView::Find(const std::string& port) {
  for (auto& tile : tiles_) {
    if (tile.port == port) return tile;
  }
  Tile tile;
  tile.port = port;
  tiles_.push_back(std::move(tile));
  return tiles_.back();
}

std::optional<std::string> StationView::OnEvent(const Event& event) {
  const std::lock_guard lock(mutex_);
  using Changed = std::optional<std::string>;
  return VisitEvent(
      event,
      Handlers{
          [this](const WaitingEvent& e) -> Changed {
            Tile& tile = Find(e.port);
            tile.state = e.missing ? "missing" : e.record_server ? "record_server" : e.scan ? "scan" : "waiting";
            tile.progress = {};
            return e.port;
          },
          [this](const BoardEvent& e) -> Changed {
            Tile& tile = Find(e.port);
            tile.state = "board";
            tile.unit = e.unit;
            tile.serial_number = e.serial_number;
            tile.progress = {};
            tile.last.reset();
            return e.port;
          },
          [this](const PhaseEvent& e) -> Changed {
            Tile& tile = Find(e.port);
            tile.progress = views_.Begin(e);
            tile.state = tile.progress.phase;
            return e.port;
          },
          // Progress changes the tile's numbers, not its state: the page draws the numbers of the
          // progress objects of the stream as they come.
          [this](const ProgressEvent& e) -> Changed {
            if (const auto view = views_.Step(e)) Find(e.port).progress = *view;
            return std::nullopt;
          },
          [this](const PhaseEndEvent& e) -> Changed {
            const ProgressView view = views_.End(e);
            if (!view.repeated) Find(e.port).progress = view;
            return std::nullopt;
          },
          [this](const ResultEvent& e) -> Changed {
            OnResult(e.result);
            return e.result.port;
          },
          [this](const StationSummaryEvent&) -> Changed {
            ended_ = true;
            return std::nullopt;
          },
          [this](const HaltEvent& e) -> Changed {
            halt_ = HaltText(e);
            return std::nullopt;
          },
          // A tile shows a message with the result that carries it; the page's stream gives
          // warnings and the run's summary to the browser as they come.
          [](const MessageEvent&) -> Changed { return std::nullopt; },
          // --on-result's failure stays on its unit's tile, in both languages, with the result.
          [this](const WarningEvent& e) -> Changed {
            if (e.kind != WarningEvent::Kind::kResultCommandFailed) return std::nullopt;
            Tile& tile = Find(e.port);
            if (!tile.last || tile.last_unit != e.unit) return std::nullopt;
            (*tile.last)["on_result"] = WarningText(e, Language::kEnglish);
            (*tile.last)["on_result_ja"] = WarningText(e, Language::kJapanese);
            return e.port;
          },
          [](const SummaryEvent&) -> Changed { return std::nullopt; },
          [](const NoticeEvent&) -> Changed { return std::nullopt; },
          [](const QuestionEvent&) -> Changed { return std::nullopt; },
          [this](const RecordServerEvent& e) -> Changed {
            record_server_ = RecordServerJson(e);
            return std::nullopt;
          },
          [this](const OutputEvent& e) -> Changed {
            outputs_[e.output] = OutputJson(e);
            return std::nullopt;
          },
      });
}

void StationView::OnResult(const PortResult& result) {
  Tile& tile = Find(result.port);
  auto last = ResultJson(result);
  last["text"] = result.interrupted ? std::string() : MessageTextNaming(result.id, result.port_label);
  if (!result.interrupted) last["text_en"] = MessageTextEnglishNaming(result.id, result.port_label);
  if (!result.ok() && !result.interrupted && result.unit != 0 && facts_.next_step) {
    last["next"] = facts_.next_step(result, Language::kEnglish);
    last["next_ja"] = facts_.next_step(result, Language::kJapanese);
  }
  tile.last = std::move(last);
  tile.last_unit = result.unit;
  // The port has stopped; it shows this result until it waits again.
  tile.state = "done";
  if (result.ok()) {
    ++tile.passed;
    ++passed_;
  } else if (result.interrupted) {
    ++tile.interrupted;
    ++interrupted_;
  } else {
    ++tile.failed;
    ++failed_;
  }
}

nlohmann::ordered_json StationView::TileObject(const Tile& tile) const {
  nlohmann::ordered_json port{{"port", tile.port}, {"adapter", tile.adapter}, {"state", tile.state}};
  port["unit"] = tile.unit > 0 ? nlohmann::json(tile.unit) : nlohmann::json(nullptr);
  port["serial_number"] = OrNull<nlohmann::json>(tile.serial_number);
  port["done"] = tile.progress.done;
  port["total"] = tile.progress.total;
  port["bytes_per_second"] = std::round(tile.progress.bytes_per_second);
  port["seconds_left"] =
      tile.progress.seconds_left ? nlohmann::json(std::round(*tile.progress.seconds_left)) : nlohmann::json(nullptr);
  port["passed"] = tile.passed;
  port["failed"] = tile.failed;
  port["interrupted"] = tile.interrupted;
  port["last"] = tile.last ? *tile.last : nlohmann::ordered_json(nullptr);
  return port;
}

nlohmann::ordered_json StationView::Totals(Clock::time_point now) const {
  const double uptime = std::chrono::duration<double>(now - started_).count();
  const int units = passed_ + failed_;
  return nlohmann::ordered_json{
      {"passed", passed_},
      {"failed", failed_},
      {"interrupted", interrupted_},
      {"units_per_hour", uptime > 0 ? std::round(units * 3600.0 / uptime * 10.0) / 10.0 : 0.0},
      // The rate says little in the first minutes (two units in one minute are not 120 an
      // hour): the page shows "n units in m minutes" until `rate_shown`.
      {"units", units},
      {"minutes", std::max(1.0, std::ceil(uptime / 60.0))},
      {"rate_shown", uptime >= 600}};
}

nlohmann::ordered_json StationView::TileJson(const std::string& port, Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  nlohmann::ordered_json tile(nullptr);
  for (const auto& t : tiles_) {
    if (t.port == port) tile = TileObject(t);
  }
  return nlohmann::ordered_json{{"event", "tile"}, {"tile", std::move(tile)}, {"totals", Totals(now)}};
}

nlohmann::ordered_json StationView::Json(Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  const double uptime = std::chrono::duration<double>(now - started_).count();
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& tile : tiles_) ports.push_back(TileObject(tile));
  return nlohmann::ordered_json{
      {"station",
       {{"name", facts_.station},
        {"version", facts_.version},
        {"update_file", facts_.update_file},
        {"image_sha256", facts_.image_sha256},
        {"uptime_seconds", std::round(uptime)},
        {"ended", ended_},
        {"halt", halt_.empty() ? nlohmann::json(nullptr) : nlohmann::json(halt_)},
        {"record_server", record_server_},
        {"outputs", outputs_}}},
      {"totals", Totals(now)},
      {"ports", std::move(ports)}};
}

nlohmann::ordered_json UnitJson(const UnitRow& row) {
  nlohmann::ordered_json object{{"id", row.id},
                                {"started_utc", row.started_utc},
                                {"ended_utc", OrNull<nlohmann::json>(row.ended_utc)},
                                {"port", row.port},
                                {"serial_number", OrNull<nlohmann::json>(row.serial_number)},
                                {"result", OrNull<nlohmann::json>(row.result)},
                                {"ok", row.ok != 0},
                                {"stop_phase", OrNull<nlohmann::json>(row.stop_phase)},
                                {"stop_block", OrNull<nlohmann::json>(row.stop_block)},
                                {"stop_chunk", OrNull<nlohmann::json>(row.stop_chunk)}};
  if (row.seq) object["seq"] = *row.seq;
  return object;
}

}  // namespace quillon::report
