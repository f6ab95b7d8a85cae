#include "report/unit_record.h"

#include "report/json_text.h"

namespace quillon::report {

nlohmann::ordered_json UnitRecordJson(const records::UnitRow& row) {
  nlohmann::ordered_json object{{"id", row.id},
                                {"station", row.station},
                                {"port", row.port},
                                {"adapter", row.adapter},
                                {"operator", row.operator_name},
                                {"started_utc", row.started_utc},
                                {"ended_utc", OrNull(row.ended_utc)},
                                {"seconds", OrNull(row.seconds)},
                                {"update_file", row.update_file},
                                {"image_sha256", row.image_sha256},
                                {"boot_sha256", row.boot_sha256},
                                {"serial_number", OrNull(row.serial_number)},
                                {"bytes_sent", row.bytes_sent},
                                {"result", row.result ? nlohmann::ordered_json(*row.result) : nlohmann::ordered_json("INCOMPLETE")},
                                {"ok", row.ok != 0},
                                {"stop_phase", OrNull(row.stop_phase)},
                                {"stop_block", OrNull(row.stop_block)},
                                {"stop_chunk", OrNull(row.stop_chunk)},
                                {"records", row.records},
                                {"quillon_version", row.quillon_version},
                                {"serial_counter", OrNull(row.serial_counter)},
                                {"serial_reused_by", OrNull(row.serial_reused_by)}};
  if (row.seq) object["seq"] = *row.seq;
  if (row.scanned) object["scanned"] = *row.scanned;
  // A unit's pool values, by pool (a row of records without pools has none).
  if (!row.values.empty()) {
    auto values = nlohmann::ordered_json::object();
    for (const auto& [pool, value] : row.values) values[pool] = value;
    object["values"] = values;
  }
  return object;
}

nlohmann::ordered_json UndeliveredJson(const records::UndeliveredRow& row) {
  return {{"id", row.unit},
          {"seq", row.seq},
          {"output", row.output},
          {"queued_utc", row.queued_utc},
          {"attempts", row.attempts},
          {"last_try_utc", OrNull(row.last_try_utc)},
          {"last_error", OrNull(row.last_error)},
          {"needs_person", row.stopped}};
}

std::string DeliveryBody(const records::UnitRow& row, const records::StationIdentity& station, const std::string& key) {
  auto object = UnitRecordJson(row);
  object["station_uuid"] = station.uuid;
  object["station_host"] = station.host;
  object["idempotency_key"] = key;
  return JsonText(object);
}

}  // namespace quillon::report
