// Our own settings file writer, where the system has no profile functions: links, permissions,
// read-only folders.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "settings/profile_store.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

TEST(IniFileStoreTest, SaveFollowsLinksAndKeepsPermissions) {
  TempDir dir;
  auto real = dir.Write("real.ini", "[Main]\nCOM=1\n");
  std::filesystem::permissions(real, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::create_symlink(real, dir / "link.ini");
  IniFileStore store(dir / "link.ini");
  ASSERT_TRUE(store.WriteString("Main", "COM", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
  EXPECT_EQ(ReadFileBytes(real), "[Main]\nCOM=2\n");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing is left beside the file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(IniFileStoreTest, ReadOnlyFolderLeavesNoFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  IniFileStore store(dir / "ro" / "q.ini");
  EXPECT_FALSE(store.WriteString("Main", "COM", "2"));
  EXPECT_FALSE(std::filesystem::exists(dir / "ro" / "q.ini"));
}

}  // namespace
}  // namespace quillon
