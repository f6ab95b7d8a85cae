#pragma once
// A list of values for a pool: a CSV file whose first line names its columns.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/run_records.h"

namespace quillon::records {

/// What is wrong with a list; `line` is the file's line (1 = the header).
struct ListProblem {
  enum class Kind {
    kNoColumn,    ///< the header has no column `column` (and it is no column number)
    kBadQuotes,   ///< a quoted field that does not end
    kEmptyValue,  ///< a line without a value in the column
    kDuplicate,   ///< `value` is on `line` and on `first_line`
    kNoValues,    ///< the file has no line below its header
  };
  Kind kind = Kind::kNoColumn;
  int line = 0;
  int first_line = 0;
  std::string value;
  std::vector<std::string> header;  ///< kNoColumn: the columns there are
};

/// The values of column `column` (its name in the header, or its number from 1), each with its
/// line; blank lines are skipped, fields are trimmed, quotes as in RFC 4180 (one record per
/// line). Nothing, with `problem`, for a list that cannot be imported as a whole.
std::optional<std::vector<ListedValue>> ReadPoolList(std::string_view text, const std::string& column,
                                                     ListProblem& problem);

}  // namespace quillon::records
