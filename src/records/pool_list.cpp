#include "records/pool_list.h"

#include <algorithm>
#include <map>

namespace quillon::records {
namespace {

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// One line's fields; false when a quoted field does not end on it.
bool SplitFields(std::string_view line, std::vector<std::string>& fields) {
  fields.clear();
  std::string field;
  bool quoted = false, was_quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"' && Trimmed(field).empty()) {
      quoted = was_quoted = true;
      field.clear();
    } else if (c == ',') {
      fields.push_back(was_quoted ? field : Trimmed(field));
      field.clear();
      was_quoted = false;
    } else if (!was_quoted) {
      field += c;
    }
  }
  fields.push_back(was_quoted ? field : Trimmed(field));
  return !quoted;
}

ListProblem Problem(ListProblem::Kind kind, int line) {
  ListProblem problem;
  problem.kind = kind;
  problem.line = line;
  return problem;
}

}  // namespace

std::optional<std::vector<ListedValue>> ReadPoolList(std::string_view text, const std::string& column,
                                                     ListProblem& problem) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<ListedValue> values;
  std::map<std::string, int> seen;
  std::optional<std::size_t> at;
  std::vector<std::string> fields;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trimmed(line).empty()) continue;
    if (!SplitFields(line, fields)) {
      problem = Problem(ListProblem::Kind::kBadQuotes, number);
      return std::nullopt;
    }
    if (!at) {
      const auto named = std::find(fields.begin(), fields.end(), column);
      if (named != fields.end()) {
        at = static_cast<std::size_t>(named - fields.begin());
      } else if (!column.empty() && column.size() < 4 &&
                 column.find_first_not_of("0123456789") == std::string::npos && std::stoi(column) >= 1 &&
                 static_cast<std::size_t>(std::stoi(column)) <= fields.size()) {
        at = static_cast<std::size_t>(std::stoi(column) - 1);
      } else {
        problem = Problem(ListProblem::Kind::kNoColumn, number);
        problem.header = fields;
        return std::nullopt;
      }
      continue;
    }
    if (*at >= fields.size() || fields[*at].empty()) {
      problem = Problem(ListProblem::Kind::kEmptyValue, number);
      return std::nullopt;
    }
    const auto [first, added] = seen.emplace(fields[*at], number);
    if (!added) {
      problem = Problem(ListProblem::Kind::kDuplicate, number);
      problem.first_line = first->second;
      problem.value = fields[*at];
      return std::nullopt;
    }
    values.push_back({fields[*at], number});
  }
  if (values.empty()) {
    problem = Problem(ListProblem::Kind::kNoValues, number);
    return std::nullopt;
  }
  return values;
}

}  // namespace quillon::records
