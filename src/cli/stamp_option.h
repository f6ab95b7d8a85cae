#pragma once
// --serial-number's text, checked against the update it would be stamped into.

#include <optional>
#include <string>

#include "image/flash_image.h"
#include "image/serial_stamp.h"

namespace quillon::cli {

/// --serial-number: the stamp, or exit 2 when the text is no stamp, leaves the flash or would
/// cover the update's own bytes (the message names the address and what the image holds).
std::optional<int> CheckStamp(const FlashImage& image, const std::string& text, std::optional<SerialStamp>& stamp);

}  // namespace quillon::cli
