#pragma once
// A unit's run record as programs read it: every column of its row, as `history --json` prints
// it and as the factory's systems receive it.

#include <nlohmann/json.hpp>
#include <string>

#include "records/fleet.h"
#include "records/run_records.h"

namespace quillon::report {

/// Every column of the row; "result" is "INCOMPLETE" while it has none; "seq" (the unit's
/// completion number) when it has one.
nlohmann::ordered_json UnitRecordJson(const records::UnitRow& row);

/// A unit not yet delivered to an output, as `history --undelivered --json` prints it.
nlohmann::ordered_json UndeliveredJson(const records::UndeliveredRow& row);

/// What a unit is delivered as (a webhook's body, a drop folder's file): its record, the
/// station's identity and the unit's idempotency key, on one line.
std::string DeliveryBody(const records::UnitRow& row, const records::StationIdentity& station, const std::string& key);

}  // namespace quillon::report
