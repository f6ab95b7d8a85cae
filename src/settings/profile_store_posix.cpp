#include "settings/profile_store.h"

namespace quillon {

// Outside Windows the settings file is read and written by the program's own reader.
std::unique_ptr<ProfileStore> OpenProfileStore(const std::filesystem::path& path) {
  return std::make_unique<IniFileStore>(path);
}

}  // namespace quillon
