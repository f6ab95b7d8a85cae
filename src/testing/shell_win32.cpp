#include <cstdlib>

#include "testing/temp_dir.h"

namespace quillon::testing {

int RunShell(const std::string& command) { return std::system(command.c_str()); }

}  // namespace quillon::testing
