#include "page/page_state.h"

#include <cmath>
#include <type_traits>
#include <variant>

#include "base/messages.h"
#include "report/event_json.h"

namespace quillon::page {

using namespace report;

PageState::PageState(PageFacts facts, Clock::time_point started) : facts_(std::move(facts)), started_(started) {
  for (const auto& port : facts_.ports) {
    Tile tile;
    tile.port = port.name;
    tile.adapter = port.adapter;
    tiles_.push_back(std::move(tile));
  }
}

PageState::Tile& PageState::Find(const std::string& port) {
  for (auto& tile : tiles_) {
    if (tile.port == port) return tile;
  }
  Tile tile;
  tile.port = port;
  tiles_.push_back(std::move(tile));
  return tiles_.back();
}

void PageState::OnEvent(const Event& event) {
  const std::lock_guard lock(mutex_);
  const auto progress = [this](const std::string& port, int done, int total, double bytes_per_second) {
    Tile& tile = Find(port);
    tile.done = done;
    tile.total = total;
    tile.bytes_per_second = bytes_per_second;
  };
  VisitEvent(
      event,
      Handlers{
          [this](const WaitingEvent& e) {
            Tile& tile = Find(e.port);
            tile.state = e.missing ? "missing" : "waiting";
            tile.done = tile.total = 0;
            tile.bytes_per_second = 0;
          },
          [this](const BoardEvent& e) {
            Tile& tile = Find(e.port);
            tile.state = "board";
            tile.unit = e.unit;
            tile.serial_number = e.serial_number;
            tile.done = tile.total = 0;
            tile.last.reset();
          },
          [this](const PhaseEvent& e) {
            Tile& tile = Find(e.port);
            tile.state = e.transfer == Transfer::kBootProgram ? "boot" : "transfer";
            tile.done = 0;
            tile.total = e.total;
            tile.bytes_per_second = 0;
          },
          [&](const ProgressEvent& e) { progress(e.port, e.done, e.total, e.bytes_per_second); },
          [&](const PhaseEndEvent& e) { progress(e.port, e.done, e.total, e.bytes_per_second); },
          [this](const ResultEvent& e) { OnResult(e.result); },
          [this](const StationSummaryEvent&) { ended_ = true; },
          [this](const HaltEvent& e) { halt_ = HaltText(e); },
          // A tile shows a message with the result that carries it; the page's stream gives
          // warnings and the run's summary to the browser as they come.
          [](const MessageEvent&) {},
          [](const WarningEvent&) {},
          [](const SummaryEvent&) {},
      });
}

void PageState::OnResult(const PortResult& result) {
  Tile& tile = Find(result.port);
  auto last = ResultJson(result);
  last["text"] = result.interrupted ? std::string() : MessageTextNaming(result.id, result.port_label);
  if (!result.interrupted) last["text_en"] = MessageTextEnglishNaming(result.id, result.port_label);
  tile.last = std::move(last);
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

nlohmann::ordered_json PageState::Json(Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  const double uptime = std::chrono::duration<double>(now - started_).count();
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& tile : tiles_) {
    nlohmann::ordered_json port{{"port", tile.port}, {"adapter", tile.adapter}, {"state", tile.state}};
    port["unit"] = tile.unit > 0 ? nlohmann::json(tile.unit) : nlohmann::json(nullptr);
    port["serial_number"] = tile.serial_number ? nlohmann::json(*tile.serial_number) : nlohmann::json(nullptr);
    port["done"] = tile.done;
    port["total"] = tile.total;
    port["bytes_per_second"] = std::round(tile.bytes_per_second);
    port["passed"] = tile.passed;
    port["failed"] = tile.failed;
    port["interrupted"] = tile.interrupted;
    port["last"] = tile.last ? *tile.last : nlohmann::ordered_json(nullptr);
    ports.push_back(std::move(port));
  }
  const int units = passed_ + failed_;
  return nlohmann::ordered_json{
      {"station",
       {{"name", facts_.station},
        {"version", facts_.version},
        {"update_file", facts_.update_file},
        {"image_sha256", facts_.image_sha256},
        {"uptime_seconds", std::round(uptime)},
        {"ended", ended_},
        {"halt", halt_.empty() ? nlohmann::json(nullptr) : nlohmann::json(halt_)}}},
      {"totals",
       {{"passed", passed_},
        {"failed", failed_},
        {"interrupted", interrupted_},
        {"units_per_hour", uptime > 0 ? std::round(units * 3600.0 / uptime * 10.0) / 10.0 : 0.0}}},
      {"ports", std::move(ports)}};
}

nlohmann::ordered_json UnitJson(const UnitRow& row) {
  auto optional = [](const auto& value) { return value ? nlohmann::json(*value) : nlohmann::json(nullptr); };
  return nlohmann::ordered_json{{"id", row.id},
                                {"started_utc", row.started_utc},
                                {"ended_utc", optional(row.ended_utc)},
                                {"port", row.port},
                                {"serial_number", optional(row.serial_number)},
                                {"result", optional(row.result)},
                                {"ok", row.ok != 0},
                                {"stop_phase", optional(row.stop_phase)},
                                {"stop_block", optional(row.stop_block)},
                                {"stop_chunk", optional(row.stop_chunk)}};
}

}  // namespace quillon::page
