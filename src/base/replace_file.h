#pragma once
// Replacing a file's contents so that nobody ever sees half of them: the new contents go to a
// file beside it, which is then renamed over it.

#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

/// Writes `content` as the whole of `path`. A symbolic link is followed (the link stays), the
/// old file's permissions are kept, and a read-only file (read-only for root too) or a folder
/// that cannot be written is left exactly as it was: the result is then false. Only a regular
/// file is ever replaced: a device, a FIFO or a folder (or a link to one), and on Windows a
/// device name (NUL, CON, COM1, ...), are refused. A crash or a full disk leaves either the
/// old contents or the new ones. On false, `why` (when given) says why in a few words.
bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content,
                         std::string* why = nullptr);

}  // namespace quillon
