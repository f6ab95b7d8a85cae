#pragma once
// JSON as one line of text, for every JSON the programs print or serve.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quillon::report {

/// One line of JSON; bytes that are not UTF-8 (texts from files, port names) come out as
/// U+FFFD instead of an exception.
template <typename Json>
std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

/// The value, or JSON's null when there is none.
template <typename Json = nlohmann::ordered_json, typename Value>
Json OrNull(const std::optional<Value>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace quillon::report
