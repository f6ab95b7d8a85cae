// Saving over a read-only settings file (Wine run as root writes one through the profile
// functions, so this is left to the POSIX store).

#include <gtest/gtest.h>

#include "settings/profile_store.h"
#include "settings/update_settings.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

TEST(SaveSettingsTest, AReadOnlyFileIsLeftAsItWasAndTheSaveSaysSo) {
  testing::TempDir dir;
  UpdateSettings settings;
  const std::string old = "[Main]\r\nCOM=2\r\n";
  const auto path = dir.Write("q.ini", old);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  std::string why;
  EXPECT_FALSE(SaveSettings(settings, *OpenProfileStore(path), &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(testing::ReadFileBytes(path), old);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace quillon
