#pragma once
// JSON output of quillon-cli: texts from files (settings, port names) need not be UTF-8.

#include "report/json_text.h"

namespace quillon::cli {

using report::JsonText;

}  // namespace quillon::cli
