#pragma once
// JSON output of quillon-cli: texts from files (settings, port names) need not be UTF-8.

#include "station/event_json.h"

namespace quillon::cli {

using station::JsonText;

}  // namespace quillon::cli
