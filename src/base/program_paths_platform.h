#pragma once
// Private to base: what the program paths take from the platform (program_paths_posix.cpp,
// program_paths_win32.cpp).

#include <string>

#include "base/program_paths.h"

namespace quillon {

bool IsPathSeparator(char c);

/// An installed copy (its marker beside the program folder) keeps its settings and log in
/// the user's folders: moves `paths` there and sets Installed. A portable copy is left as it is.
void UseInstalledFolders(ProgramPaths& paths, const std::string& base);

}  // namespace quillon
