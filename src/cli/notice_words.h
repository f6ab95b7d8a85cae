#pragma once
// What a run's notices say to a person.

#include <string>

#include "report/words.h"
#include "station/events.h"

namespace quillon::cli {

/// The notice's line(s), each ending in a line feed, in `language`.
std::string NoticeText(const station::NoticeEvent& notice, Language language);

/// What Enter at the boot-mode question starts and what to do, in `language` (asked again: how
/// to answer).
std::string QuestionText(const station::QuestionEvent& question, Language language);

}  // namespace quillon::cli
