// quillon-cli's file commands as a user runs them: exit statuses, output files, JSON.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::ReadFileBytes;
using testing::TempDir;

struct Result {
  int status;
  std::string out, err;
};

class CliTest : public ::testing::Test {
 protected:
  Result Cli(std::vector<std::string> args) {
    args.insert(args.begin(), QUILLON_CLI);
    Result r;
    r.status = testing::Wait(testing::Spawn(args, dir_ / "out", dir_ / "err"));
    r.out = ReadFileBytes(dir_ / "out");
    r.err = ReadFileBytes(dir_ / "err");
    return r;
  }
  TempDir dir_;
};

// "-" is standard output: the same bytes as the file, and nothing replaced.
TEST_F(CliTest, ImageToStandardOutput) {
  ASSERT_EQ(Cli({"image", QUILLON_EXAMPLES "/update.mot", "--output", (dir_ / "flash.bin").string()}).status, 0);
  const auto piped = Cli({"image", QUILLON_EXAMPLES "/update.mot", "--output", "-"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out.size(), 0x40000u);
  EXPECT_TRUE(piped.out == ReadFileBytes(dir_ / "flash.bin"));
  EXPECT_FALSE(std::filesystem::exists("-"));
}

// An update file saved with LF line ends: the report names the cause and the fix.
TEST_F(CliTest, LfOnlyLineEndsAreNamedWithTheFix) {
  const auto lf = dir_.Write("lf.mot", "S1050000AB123D\nS9030000FC\n");
  const auto info = Cli({"info", lf.string()});
  EXPECT_EQ(info.status, 15);
  EXPECT_THAT(info.err, HasSubstr("LF only"));
  EXPECT_THAT(info.err, HasSubstr("CR LF"));
  const auto crlf = dir_.Write("crlf.mot", "S1050000AB123E\r\n");  // bad checksum, right line ends
  EXPECT_THAT(Cli({"info", crlf.string()}).err, ::testing::Not(HasSubstr("LF only")));
}

// An installed copy (the marker beside its folder) whose folder nobody may write to keeps its
// settings and log in the user's folders, made on first write.
TEST_F(CliTest, AnInstalledCopyWritesToTheUsersFolders) {
  std::filesystem::create_directories(dir_ / "usr/bin");
  std::filesystem::create_directories(dir_ / "usr/share/quillon");
  dir_.Write("usr/share/quillon/installed", "");
  const auto cli = dir_ / "usr/bin/quillon-cli";
  std::filesystem::copy_file(QUILLON_CLI, cli);
  std::filesystem::permissions(dir_ / "usr/bin", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const std::string home = (dir_ / "home").string();
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_STATE_HOME");
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), cli.string());
    return testing::Wait(testing::Spawn(args, dir_ / "out", dir_ / "err"));
  };
  EXPECT_EQ(run({"settings", "--save"}), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "home/.config/quillon/quillon.ini"));
  EXPECT_THAT(ReadFileBytes(dir_ / "out"), HasSubstr(home + "/.local/state/quillon/quillon.sts"));
  EXPECT_EQ(run({"flash", "--yes", "--port", (dir_ / "no-such-port").string(), "--boot",
                 QUILLON_EXAMPLES "/nivaload.sub", QUILLON_EXAMPLES "/update.mot"}),
            14);
  EXPECT_EQ(testing::LogMessages(dir_ / "home/.local/state/quillon/quillon.sts").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "usr/bin/quillon.ini"));
  std::filesystem::permissions(dir_ / "usr/bin", std::filesystem::perms::owner_all);
}

TEST_F(CliTest, ImageEqualsSrecCatsImageOfTheSameFile) {
  if (testing::RunShell("command -v srec_cat >/dev/null") != 0) GTEST_SKIP() << "srec_cat missing";
  const auto ref = (dir_ / "ref.bin").string();
  ASSERT_EQ(testing::RunShell("srec_cat " QUILLON_EXAMPLES "/update.mot -fill 0xFF 0 0x40000 -crop 0 0x40000 -o " +
                              ref + " -binary"),
            0);
  auto r = Cli({"image", QUILLON_EXAMPLES "/update.mot", "--output", (dir_ / "flash.bin").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash.bin") == ReadFileBytes(ref));
}

TEST_F(CliTest, BadFileWritesNoImageAndSaysWhereAndWhy) {
  const auto bad = dir_.Write("bad.mot", "S1050000AB123D\r\nS1050000AB123E\r\n").string();
  auto r = Cli({"image", bad, "--output", (dir_ / "flash.bin").string()});
  EXPECT_EQ(r.status, 15);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "flash.bin"));
  EXPECT_THAT(r.err, HasSubstr("line 2 (record 2): bad checksum: S1050000AB123E"));
  // A bad record's bytes are shown, not sent to the terminal.
  auto escaped = Cli({"info", dir_.Write("esc.mot", "S1050000AB123D\r\nS\x1b]0;owned\x07\r\n").string()});
  EXPECT_EQ(escaped.status, 15);
  EXPECT_THAT(escaped.err, HasSubstr("bad record type: S\\x1B]0;owned\\x07"));
  EXPECT_EQ(escaped.err.find('\x1b'), std::string::npos);
  // An output that is not a regular file is never replaced.
  const auto fifo_out = dir_ / "out.fifo";
  ASSERT_EQ(::mkfifo(fifo_out.c_str(), 0600), 0);
  auto refused = Cli({"image", QUILLON_EXAMPLES "/update.mot", "--output", fifo_out.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.err, HasSubstr("not a regular file"));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo_out));
  // Settings texts that are not UTF-8 (a Shift-JIS path) still make JSON.
  const auto sjis_ini = dir_.Write("sjis.ini", "[Main]\r\nMot File=C:\\\x83\x6f\x81\x5b\x83\x57.mot\r\n[Ports]\r\nCOM3=/dev/\xff\r\n");
  auto sjis = Cli({"settings", "--ini", sjis_ini.string(), "--json"});
  EXPECT_EQ(sjis.status, 0) << sjis.err;
  EXPECT_TRUE(nlohmann::json::accept(sjis.out)) << sjis.out;
  EXPECT_THAT(sjis.out, HasSubstr("\xEF\xBF\xBD"));
  auto sjis_ports = Cli({"ports", "--ini", sjis_ini.string(), "--json"});
  EXPECT_EQ(sjis_ports.status, 0) << sjis_ports.err;
  EXPECT_TRUE(nlohmann::json::accept(sjis_ports.out)) << sjis_ports.out;
  // A save that cannot be made is no success.
  auto unsaved = Cli({"settings", "--ini", (dir_ / "no-such-folder" / "q.ini").string(), "--save"});
  EXPECT_EQ(unsaved.status, 1);
  EXPECT_THAT(unsaved.err, HasSubstr("not saved"));
  EXPECT_EQ(Cli({"info", (dir_ / "missing.mot").string()}).status, 11);
  // A FIFO is no update file: refused at once, not waited on.
  const auto fifo = dir_ / "fifo.mot";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Cli({"info", fifo.string()}).status, 11);
  auto no_end = Cli({"info", dir_.Write("cut.mot", "S1050000AB123D\r\n").string()});
  EXPECT_EQ(no_end.status, 0);
  EXPECT_THAT(no_end.err, HasSubstr("no S7/S8/S9 record"));
}

// A file from which no byte lands in the flash: flash stops with message 505 before 202, and
// info and image say the same.
TEST_F(CliTest, NoByteForTheFlashIsMessage505Everywhere) {
  for (const std::string& text : {std::string("S9030000FC\r\n"), std::string("S2080400001122334449\r\nS9030000FC\r\n"), std::string()}) {
    const auto update = dir_.Write("nothing.mot", text).string();
    auto info = Cli({"info", update});
    EXPECT_EQ(info.status, 15) << text;
    EXPECT_THAT(info.err, HasSubstr("[505]"));
    auto json = Cli({"info", "--json", update});
    EXPECT_EQ(json.status, 15);
    auto image = Cli({"image", update, "--output", (dir_ / "flash.bin").string()});
    EXPECT_EQ(image.status, 15);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "flash.bin"));
  }
}

// What a stamp costs a unit: nothing inside a chunk the update sends; in a block it leaves
// empty, the chunks up to the stamp's and their time at the bit rate (8N1, 129 bytes a chunk).
TEST_F(CliTest, InfoSaysWhatASerialNumberStampAddsToEachUnit) {
  struct Case {
    const char* stamp;
    int chunks;
    double seconds;
  };
  for (const Case c : {Case{"0x00400:be32", 0, 0.0}, Case{"0x3FF00:be32", 511, 511 * 129 * 10 / 115200.0},
                       Case{"0x30000:le16", 1, 129 * 10 / 115200.0}}) {
    const auto r = Cli({"info", "--json", "--baud", "115200", "--serial-number", c.stamp, QUILLON_EXAMPLES "/update.mot"});
    ASSERT_EQ(r.status, 0) << c.stamp << r.err;
    const auto stamp = nlohmann::json::parse(r.out).at("serial_number");
    EXPECT_EQ(stamp.at("added_chunks"), c.chunks) << c.stamp;
    EXPECT_NEAR(stamp.at("added_seconds").get<double>(), c.seconds, 0.001) << c.stamp;
  }
  const auto text = Cli({"info", "--baud", "115200", "--serial-number", "0x3FF00:be32", QUILLON_EXAMPLES "/update.mot"});
  EXPECT_THAT(text.out, HasSubstr("adds 511 chunks"));
  EXPECT_THAT(text.out, HasSubstr("about 5.7 s a unit at 115200 bit/s"));
}

TEST_F(CliTest, InfoJsonDescribesEveryBlockAndTheBootFile) {
  auto r = Cli({"info", "--json", "--boot", QUILLON_EXAMPLES "/nivaload.sub", QUILLON_EXAMPLES "/update.mot"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json["result"], 1);
  ASSERT_EQ(json["blocks"].size(), 12u);
  EXPECT_EQ(json["blocks"][9]["base"], 0x10000);
  EXPECT_EQ(json["blocks"][1]["used"], 0x80);
  EXPECT_EQ(json["blocks"][1]["chunks"], 1);
  EXPECT_EQ(json["boot"]["result"], 600);
  EXPECT_EQ(json["boot"]["bytes"], 600);
  // A person is shown the loader's result only when it failed.
  const auto text = Cli({"info", "--boot", QUILLON_EXAMPLES "/nivaload.sub", QUILLON_EXAMPLES "/update.mot"});
  EXPECT_THAT(text.out, Not(HasSubstr("result")));
  EXPECT_THAT(text.out, HasSubstr("loaded (600 bytes)"));
  const auto bad_boot = dir_.Write("boot.sub", "S9030000FC\r\n").string();
  const auto bad = Cli({"info", "--boot", bad_boot, QUILLON_EXAMPLES "/update.mot"});
  EXPECT_EQ(bad.status, 16);
  EXPECT_THAT(bad.out, HasSubstr("(result "));
}

TEST_F(CliTest, UsageHelpAndSettings) {
  const auto help = Cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: quillon-cli "));  // the name, not the path it was started by
  const auto version = Cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("quillon-cli [0-9]+\\.[0-9]+\n"));
  const auto mistyped = Cli({"flsh", "x.mot"});
  EXPECT_EQ(mistyped.status, 2);
  EXPECT_THAT(mistyped.err, HasSubstr("unknown command \"flsh\""));
  EXPECT_THAT(mistyped.err, HasSubstr("info image settings ports flash"));
  EXPECT_EQ(Cli({"info"}).status, 2);
  EXPECT_EQ(Cli({"flash", "--baud", "300", "x.mot"}).status, 2);
  const auto ini = (dir_ / "q.ini").string();
  auto r = Cli({"settings", "--ini", ini, "--save", "--json"});
  ASSERT_EQ(r.status, 0);
  const auto settings = nlohmann::json::parse(r.out);
  EXPECT_EQ(settings.at("MotFile"), "");
  EXPECT_EQ(settings.at("InfoFile"), "nivaload.sub");
  EXPECT_EQ(settings.at("Baudrate"), 115200);
  EXPECT_EQ(settings.at("Com"), 1);
  EXPECT_EQ(settings.at("MaxCom"), 20);
  EXPECT_EQ(settings.at("SendWait"), 10);
  EXPECT_EQ(settings.at("Ports"), nlohmann::json::object());
  EXPECT_EQ(settings.at("IniPath"), ini);
  EXPECT_TRUE(std::filesystem::path(settings.at("StsPath").get<std::string>()).is_absolute());
  EXPECT_THAT(ReadFileBytes(ini), HasSubstr("[Main]\r\nMot File=\r\n"));
}

// doctor looks at what flash would use: the port named with how it was reached, the boot file
// beside the --ini settings file, the update file given; a check that passed stops nothing.
TEST_F(CliTest, DoctorChecksWhatFlashWouldUse) {
  std::filesystem::copy_file(QUILLON_EXAMPLES "/nivaload.sub", dir_ / "nivaload.sub");
  const auto ini = dir_.Write("q.ini", "[Main]\r\nCOM=9\r\n[Ports]\r\nCOM9=" + (dir_ / "ttyGone").string() + "\r\n");
  const auto doctor = Cli({"doctor", "--json", "--ini", ini.string(), QUILLON_EXAMPLES "/update.mot"});
  EXPECT_EQ(doctor.status, 18) << doctor.err;  // the port is missing
  std::map<std::string, nlohmann::json> by_check;
  for (const auto& finding : nlohmann::json::parse(doctor.out)) {
    by_check.emplace(finding.at("check").get<std::string>(), finding);
    if (finding.at("ok").get<bool>()) {
      EXPECT_FALSE(finding.at("blocking").get<bool>()) << finding;
    }
  }
  EXPECT_THAT(by_check["port.name"].at("detail").get<std::string>(), HasSubstr("COM9 -> " + (dir_ / "ttyGone").string()));
  EXPECT_EQ(by_check["port.exists"].at("ok"), false);
  EXPECT_EQ(by_check["file.boot"].at("ok"), true) << by_check["file.boot"];
  EXPECT_THAT(by_check["file.boot"].at("detail").get<std::string>(), HasSubstr((dir_ / "nivaload.sub").string()));
  EXPECT_THAT(by_check["file.update"].at("detail").get<std::string>(), HasSubstr("update.mot loads"));
  // --boot names the boot file outright, as for flash.
  const auto named = Cli({"doctor", "--json", "--ini", ini.string(), "--boot", (dir_ / "none.sub").string()});
  EXPECT_THAT(named.out, HasSubstr("none.sub"));
}

// settings says which values of the file it replaced and by what, and when the file is not there.
TEST_F(CliTest, SettingsSaysWhatItReplaced) {
  const auto ini = dir_.Write("q.ini", "[Main]\r\nBaudrate=2400\r\nCOM=25\r\n");
  const auto shown = Cli({"settings", "--ini", ini.string()});
  EXPECT_EQ(shown.status, 0);
  EXPECT_THAT(shown.out, HasSubstr("Baudrate: the file says 2400, which is not allowed; 19200 is used instead"));
  EXPECT_THAT(shown.out, HasSubstr("COM: the file says 25, which is not allowed; 1 is used instead"));
  const auto json = nlohmann::json::parse(Cli({"settings", "--json", "--ini", ini.string()}).out);
  EXPECT_EQ(json.at("IniExists"), true);
  EXPECT_EQ(json.at("Replaced").size(), 2u);
  const auto missing = Cli({"settings", "--ini", (dir_ / "none.ini").string()});
  EXPECT_THAT(missing.out, HasSubstr("does not exist"));
  EXPECT_EQ(nlohmann::json::parse(Cli({"settings", "--json", "--ini", (dir_ / "none.ini").string()}).out).at("IniExists"),
            false);
}

// A COM number and the boot file set from a terminal, as the desktop program keeps them.
TEST_F(CliTest, SettingsMapAndBootAreWrittenOnlyWithSave) {
  const auto ini = dir_ / "q.ini";
  dir_.Write("boot.sub", "S00600004844521B\r\n");
  const auto shown = Cli({"settings", "--ini", ini.string(), "--map", "COM3=/dev/null", "--boot",
                          (dir_ / "boot.sub").string()});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_THAT(shown.out, HasSubstr("[Ports] COM3 -> /dev/null"));
  EXPECT_THAT(shown.err, HasSubstr("add --save"));
  EXPECT_FALSE(std::filesystem::exists(ini));

  const auto saved = Cli({"settings", "--ini", ini.string(), "--map", "COM3=/dev/null", "--boot",
                          (dir_ / "boot.sub").string(), "--save"});
  ASSERT_EQ(saved.status, 0) << saved.err;
  // The boot file is named from the settings file's folder, where the programs look for it.
  const auto json = nlohmann::json::parse(Cli({"settings", "--json", "--ini", ini.string()}).out);
  EXPECT_EQ(json.at("InfoFile"), "boot.sub");
  EXPECT_EQ(json.at("Ports").at("COM3"), "/dev/null");
  // COMn= takes the entry away; anything but COMn=DEVICE is a usage error that writes nothing.
  EXPECT_EQ(Cli({"settings", "--ini", ini.string(), "--map", "COM3=", "--save"}).status, 0);
  EXPECT_TRUE(nlohmann::json::parse(Cli({"settings", "--json", "--ini", ini.string()}).out)
                  .at("Ports")
                  .empty());
  for (const char* bad : {"3=/dev/null", "COMX=/dev/null", "/dev/null"}) {
    const auto before = ReadFileBytes(ini);
    const auto refused = Cli({"settings", "--ini", ini.string(), "--map", bad, "--save"});
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_THAT(refused.err, HasSubstr("COMn=DEVICE")) << bad;
    EXPECT_EQ(ReadFileBytes(ini), before) << bad;
  }
}

// A port that belongs to root, checked by a user who may not use it: doctor says so and gives
// the port to the group dialout with a udev rule, never the advice to join root or tty.
TEST_F(CliTest, DoctorGivesARootPortToDialoutWithAUdevRule) {
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root, to make a port root's and to run doctor as another user";
  }
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all &
                                                ~std::filesystem::perms::others_write &
                                                ~std::filesystem::perms::group_write);
  const auto link = dir_ / "port";
  const pid_t device =
      testing::Spawn({QUILLON_DEVSIM, "--link", link.string()}, dir_ / "dev.out", dir_ / "dev.err");
  for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto real = std::filesystem::canonical(link);
  ASSERT_EQ(::chown(real.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(real.c_str(), 0660), 0);
  const int status = testing::Wait(
      testing::Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                      QUILLON_CLI, "doctor", "--json", "--port", link.string()},
                     dir_ / "out", dir_ / "err"));
  ::kill(device, SIGTERM);
  testing::Wait(device);
  EXPECT_EQ(status, 18) << ReadFileBytes(dir_ / "err");
  bool access_found = false;
  for (const auto& finding : nlohmann::json::parse(ReadFileBytes(dir_ / "out"))) {
    const std::string fix =
        finding.at("fix").is_string() ? finding.at("fix").get<std::string>() : "";
    EXPECT_THAT(fix, Not(HasSubstr("-aG root")));
    EXPECT_THAT(fix, Not(HasSubstr("-aG tty")));
    if (finding.at("check") != "port.access") continue;
    access_found = true;
    EXPECT_EQ(finding.at("ok"), false);
    EXPECT_EQ(finding.at("blocking"), true);
    EXPECT_THAT(finding.at("detail").get<std::string>(), HasSubstr("belongs to the group root"));
    EXPECT_THAT(fix, HasSubstr("udev rule"));
    EXPECT_THAT(fix, HasSubstr("GROUP=\"dialout\""));
  }
  EXPECT_TRUE(access_found) << ReadFileBytes(dir_ / "out");
}

}  // namespace
}  // namespace quillon
