#pragma once
// Replacing a file's contents so that nobody ever sees half of them: the new contents go to a
// file beside it, which is then renamed over it.

#include <filesystem>
#include <string_view>

namespace quillon {

/// Writes `content` as the whole of `path`. A symbolic link is followed (the link stays), the
/// old file's permissions are kept, and a read-only file (read-only for root too) or a folder
/// that cannot be written is left exactly as it was: the result is then false. A crash or a
/// full disk leaves either the old contents or the new ones.
bool ReplaceFileContents(const std::filesystem::path& path, std::string_view content);

}  // namespace quillon
