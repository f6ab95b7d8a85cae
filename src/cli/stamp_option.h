#pragma once
// --serial-number's and --pool-at's texts, checked against the update it would be stamped into.

#include <optional>
#include <string>

#include "image/flash_image.h"
#include "image/serial_stamp.h"

namespace quillon::cli {

/// --serial-number: the stamp, or exit 2 when the text is no stamp, leaves the flash or would
/// cover the update's own bytes (the message names the address and what the image holds).
std::optional<int> CheckStamp(const FlashImage& image, const std::string& text, std::optional<SerialStamp>& stamp);

/// --pool-at: the value stamp, or exit 2 as CheckStamp says it.
std::optional<int> CheckValueStamp(const FlashImage& image, const std::string& text, SerialStamp& stamp);

}  // namespace quillon::cli
