#pragma once
// The sentences a person reads about a port's findings, with the fix for each: what doctor
// prints and what flash says when it refuses a port.

#include <string>

#include "report/words.h"
#include "serial/port_checks.h"

namespace quillon::report {

struct FindingWords {
  std::string check;  ///< the fixed id: "port.exists", ...
  bool ok = true;
  bool blocking = true;
  std::string detail;
  std::string fix;  ///< empty when ok
};

/// The finding in words, in the person's language unless another is asked for (JSON's words
/// are English).
FindingWords Describe(const PortFinding& finding, Language language = CurrentLanguage());

}  // namespace quillon::report
