#pragma once
// JSON output of quillon-cli: texts from files (settings, port names) need not be UTF-8.

#include <nlohmann/json.hpp>
#include <string>

namespace quillon::cli {

/// One line of JSON; bytes that are not UTF-8 come out as U+FFFD instead of an exception.
template <typename Json>
std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillon::cli
