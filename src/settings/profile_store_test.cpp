#include "settings/profile_store.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

// Every store must read and write the same files alike: the platform's store (on Windows the
// system's own profile functions) runs the same tests as our reader, which proves the two agree.
struct StoreKind {
  const char* name;
  std::function<std::unique_ptr<ProfileStore>(const std::filesystem::path&)> open;
};

std::vector<StoreKind> Stores() {
  return {{"ini_file", [](const auto& p) { return std::make_unique<IniFileStore>(p); }},
          {"platform", [](const auto& p) { return OpenProfileStore(p); }}};
}

struct ReadCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  std::string expected;
};

class ProfileReadTest : public ::testing::TestWithParam<std::tuple<StoreKind, ReadCase>> {};

TEST_P(ProfileReadTest, ReadsWhatTheProfileFunctionsRead) {
  const auto& [kind, c] = GetParam();
  TempDir dir;
  auto store = kind.open(dir.Write("q.ini", c.file));
  EXPECT_EQ(store->ReadString(c.section, c.key, "<default>"), c.expected);
}

const std::string kWindowsFile =
    "; written by hand\r\n[Other]\r\nCOM=7\r\n\r\n[Main]\r\nMot File=C:\\data\\v2.mot\r\n"
    "  Baudrate = 38400  \r\nQuoted=\"a b\"\r\nNoEquals\r\nCOM=3\r\nCOM=4\r\n";

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileReadTest,
    ::testing::Combine(
        ::testing::ValuesIn(Stores()),
        ::testing::Values(
            ReadCase{"plain", kWindowsFile, "Main", "Mot File", "C:\\data\\v2.mot"},
            ReadCase{"trimmed", kWindowsFile, "Main", "Baudrate", "38400"},
            ReadCase{"names_ignore_case", kWindowsFile, "main", "mot file", "C:\\data\\v2.mot"},
            ReadCase{"quotes_removed", kWindowsFile, "Main", "Quoted", "a b"},
            ReadCase{"first_duplicate_wins", kWindowsFile, "Main", "COM", "3"},
            ReadCase{"section_matters", kWindowsFile, "Other", "COM", "7"},
            ReadCase{"missing_key", kWindowsFile, "Main", "SendWait", "<default>"},
            ReadCase{"missing_section", kWindowsFile, "Nope", "COM", "<default>"},
            ReadCase{"lf_only", "[Main]\nCOM=5\nMAXCOM=9\n", "Main", "MAXCOM", "9"},
            ReadCase{"cr_only", "[Main]\rCOM=5\rMAXCOM=9\r", "Main", "MAXCOM", "9"},
            ReadCase{"no_final_line_end", "[Main]\r\nCOM=5", "Main", "COM", "5"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

class ProfileStoreTest : public ::testing::TestWithParam<StoreKind> {};

TEST_P(ProfileStoreTest, IntegersReadLikeTheWindowsFunction) {
  TempDir dir;
  auto store = GetParam().open(dir.Write(
      "q.ini", "[Main]\r\na=-1\r\nb=42abc\r\nc=abc\r\nd=0x10\r\ne=012\r\nf=\r\ng=4294967295\r\nh=+7\r\n"));
  EXPECT_EQ(store->ReadInt("Main", "a", 99), -1);
  EXPECT_EQ(store->ReadInt("Main", "b", 99), 42);
  EXPECT_EQ(store->ReadInt("Main", "c", 99), 0);
  EXPECT_EQ(store->ReadInt("Main", "d", 99), 16);
  EXPECT_EQ(store->ReadInt("Main", "e", 99), 12);
  EXPECT_EQ(store->ReadInt("Main", "f", 99), 99);
  EXPECT_EQ(store->ReadInt("Main", "g", 99), -1);
  EXPECT_EQ(store->ReadInt("Main", "h", 99), 7);
  EXPECT_EQ(store->ReadInt("Main", "missing", 99), 99);
}

TEST_P(ProfileStoreTest, WritesCreateReplaceAndAppendKeepingEverythingElse) {
  TempDir dir;
  auto path = dir / "q.ini";
  {
    auto store = GetParam().open(path);
    EXPECT_EQ(store->ReadString("Main", "COM", "none"), "none");
    ASSERT_TRUE(store->WriteString("Main", "COM", "3"));
  }
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nCOM=3\r\n");

  dir.Write("q.ini", "; keep me\r\n[Main]\r\nCOM=3\r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n");
  auto store = GetParam().open(path);
  ASSERT_TRUE(store->WriteString("Main", "COM", "4"));
  ASSERT_TRUE(store->WriteString("Main", "MAXCOM", "20"));
  ASSERT_TRUE(store->WriteString("Extra", "x", "1"));
  EXPECT_EQ(ReadFileBytes(path),
            "; keep me\r\n[Main]\r\nCOM=4\r\nMAXCOM=20\r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n[Extra]\r\nx=1\r\n");
  EXPECT_EQ(store->ReadSection("Ports"),
            (std::vector<std::pair<std::string, std::string>>{{"COM3", "/dev/ttyUSB0"}}));
}

INSTANTIATE_TEST_SUITE_P(Stores, ProfileStoreTest, ::testing::ValuesIn(Stores()),
                         [](const auto& info) { return std::string(info.param.name); });

// Our own writer keeps every line it does not change, blank lines and spacing included.
TEST(IniFileStoreTest, UnchangedLinesStayByteForByte) {
  TempDir dir;
  auto path = dir.Write("q.ini", "[Main]\r\nCOM=3\r\n\r\n[Ports]\r\n com3 = /dev/ttyUSB0 \r\n");
  IniFileStore store(path);
  ASSERT_TRUE(store.WriteString("Main", "MAXCOM", "20"));
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nCOM=3\r\nMAXCOM=20\r\n\r\n[Ports]\r\n com3 = /dev/ttyUSB0 \r\n");
}

TEST(IniFileStoreTest, ReadOnlyFileIsLeftAsItWas) {
  TempDir dir;
  auto path = dir.Write("q.ini", "[Main]\r\nCOM=3\r\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  IniFileStore store(path);
  EXPECT_FALSE(store.WriteString("Main", "COM", "4"));
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  EXPECT_EQ(ReadFileBytes(path), "[Main]\r\nCOM=3\r\n");
}

TEST(ProfileStringTest, CutTo1023Bytes) {
  TempDir dir;
  IniFileStore store(dir.Write("q.ini", "[Main]\r\nMot File=" + std::string(1500, 'x') + "\r\n"));
  EXPECT_EQ(ReadProfileString(store, "Main", "Mot File", ""), std::string(1023, 'x'));
}

// A long Japanese path is cut where a character begins: what is left is still UTF-8.
TEST(ProfileStringTest, CutNeverSplitsACharacter) {
  TempDir dir;
  for (const std::string& lead : {std::string(""), std::string("a"), std::string("ab")}) {
    std::string path = lead;
    while (path.size() < 1500) path += "バージョン";  // three bytes a character
    IniFileStore store(dir.Write("q.ini", "[Main]\r\nMot File=" + path + "\r\n"));
    const std::string cut = ReadProfileString(store, "Main", "Mot File", "");
    EXPECT_LE(cut.size(), 1023u);
    EXPECT_GE(cut.size(), 1021u);
    EXPECT_EQ(cut, path.substr(0, cut.size()));
    EXPECT_NE(static_cast<unsigned char>(path[cut.size()]) & 0xC0, 0x80) << "cut inside a character";
  }
}

TEST(ProfileStringTest, UnsignedWrite) {
  TempDir dir;
  IniFileStore store(dir / "q.ini");
  ASSERT_TRUE(WriteProfileUnsigned(store, "Main", "COM", -1));
  EXPECT_EQ(ReadFileBytes(dir / "q.ini"), "[Main]\r\nCOM=4294967295\r\n");
}


}  // namespace
}  // namespace quillon
