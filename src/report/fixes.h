#pragma once
// What a person is told beside a failure's message: the fix (what to check, what to run next),
// where the run stopped, and why a port could not be used. The command line prints them under
// its lines; the desktop program puts them below a message box's text. These words see the
// update's facts only, not the station.

#include <string>
#include <vector>

#include "report/words.h"
#include "serial/port_checks.h"
#include "update/update_sequence.h"

namespace quillon::report {

/// The facts a fix names.
struct FixFacts {
  std::string boot_path;    ///< the boot file the run loads
  std::string update_path;  ///< the update file
  std::string port_name;    ///< the port as the person knows it: "COM3 (/dev/ttyS2)"
  std::string log;          ///< the log that holds the run's records
  int baud = 0;             ///< the working bit rate
};

/// What to check after message `id` (500 to 506), or empty for any other.
std::string FixFor(int id, const FixFacts& facts, Language language = CurrentLanguage());

/// The advice for an S-record file whose lines end in LF alone (every record must end in
/// CR LF); LineEndAdvice gives it only for such a file, and empty otherwise.
std::string_view LfAdvice(Language language = CurrentLanguage());
std::string LineEndAdvice(const std::string& path, Language language = CurrentLanguage());

/// Where a run stopped, in words ("stopped in transfer, block 3 chunk 12"); empty for a run
/// that did not stop inside a phase.
std::string StopText(const StopPoint& stop, Language language = Language::kEnglish);

/// Everything known of a failed run that a box can say below its text.
struct FailureFacts {
  FixFacts fix;
  StopPoint stop;
  std::vector<std::string> records;    ///< the log's records written during the run
  std::vector<PortFinding> findings;   ///< what kept the port from being used, found before 202
};

/// The lines below a failure's message (500 to 506): the reason (what kept the port from
/// being used; where the run stopped and the log's records of it), the fix, and the log's
/// path. Empty for any other message.
std::string FailureDetail(int id, const FailureFacts& facts, Language language = CurrentLanguage());

}  // namespace quillon::report
