// The Windows side of base: the log in the system's code page, device names, program paths.

#include <windows.h>

#include <gtest/gtest.h>

#include "base/event_log.h"
#include "base/program_paths.h"
#include "base/replace_file.h"
#include "base/wide_text_win32.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

// The log is read as a text file of the system's code page, like the settings file.
// The log is read as a text file of the system's code page, like the settings file.
TEST(EventLogTest, RecordsAreInTheAnsiCodePage) {
  ASSERT_NE(GetACP(), static_cast<UINT>(CP_UTF8)) << "this test needs an ANSI code page other than UTF-8";
  TempDir dir;
  const std::string message = "NO DATA FILE :C:\\Größe\\バージョン.mot";
  EXPECT_EQ(LogFailure(EventLog(dir / "quillon.sts"), message), 1);
  const std::wstring wide = Widen(message);
  std::string expected(wide.size() * 2, '\0');
  expected.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                               expected.data(), static_cast<int>(expected.size()),
                                                               nullptr, nullptr)));
  EXPECT_EQ(testing::LogMessages(dir / "quillon.sts"), std::vector<std::string>{expected});
}

// Names Windows takes for devices in any folder are never replaced.
TEST(ReplaceFileTest, DeviceNamesAreRefused) {
  TempDir dir;
  std::string why;
  for (const char* name : {"NUL", "nul.txt", "COM1", "con", "LPT9.bin"}) {
    why.clear();
    EXPECT_FALSE(ReplaceFileContents(dir / name, "x", &why)) << name;
    EXPECT_NE(why.find("device"), std::string::npos) << why;
  }
}

TEST(ProgramPathsTest, DerivedFromTheExecutable) {
  auto paths = DeriveProgramPaths("C:\\Tools\\Quillon\\quillon.exe");
  EXPECT_EQ(paths.ProgramDir, "C:\\Tools\\Quillon\\");
  EXPECT_EQ(paths.IniPath, "C:\\Tools\\Quillon\\quillon.ini");
  EXPECT_EQ(paths.StsPath, "C:\\Tools\\Quillon\\quillon.sts");
  EXPECT_FALSE(paths.Installed);
}

// A copy the installer put under Program Files (its marker beside it) keeps the settings in the
// roaming profile and the log in the local one; the boot file is looked for beside it next.
TEST(ProgramPathsTest, AnInstalledCopyUsesTheUsersFolders) {
  TempDir dir;
  dir.Write("installed", "");
  const std::string folder = dir.path().string() + "\\";
  const auto paths = DeriveProgramPaths(folder + "quillon.exe");
  wchar_t roaming[MAX_PATH], local[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"APPDATA", roaming, MAX_PATH), 0u);
  ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
  EXPECT_TRUE(paths.Installed);
  EXPECT_EQ(paths.IniPath, Narrow(roaming) + "\\Quillon\\quillon.ini");
  EXPECT_EQ(paths.StsPath, Narrow(local) + "\\Quillon\\quillon.sts");
  EXPECT_EQ(paths.ProgramDir, Narrow(roaming) + "\\Quillon\\");
  EXPECT_EQ(paths.BesideProgramDir, folder);
}

}  // namespace
}  // namespace quillon
