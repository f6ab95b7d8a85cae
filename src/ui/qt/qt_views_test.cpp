// The Qt views on the offscreen platform: texts and ids, keys, the disabled window during a
// run, the progress window, the About box, a whole update against the simulated device, and
// the single-instance rule of the real program.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

#include "base/messages.h"
#include "image/srecord.h"
#include "serial/comm_driver.h"
#include "serial/port_checks.h"
#include "testing/fake_comm_driver.h"
#include "testing/fake_device.h"
#include "testing/fakes.h"
#include "testing/process.h"
#include "testing/fake_sysfs.h"
#include "testing/temp_dir.h"
#include "ui/qt/qt_views.h"


namespace quillon::qt {
namespace {

using ::testing::ElementsAre;
using testing::ReadFileBytes;
using testing::Spawn;
using testing::TempDir;

template <typename T>
T* Child(QWidget& parent, const char* name) {
  return parent.findChild<T*>(QString::fromLatin1(name));
}

class QtViewsTest : public ::testing::Test {
 protected:
  void Make(const std::string& ini = "", std::unique_ptr<CommDriver> driver = nullptr,
            std::unique_ptr<Pause> pause = nullptr, PortLister lister = {}) {
    if (!ini.empty()) dir_.Write("quillon.ini", ini);
    if (!driver) {
      auto fake = std::make_unique<testing::FakeCommDriver>();
      fake_ = fake.get();
      driver = std::move(fake);
    }
    if (!pause) pause = std::make_unique<testing::FakePause>();
    model_ = std::make_unique<MainWindowModel>(std::move(driver), std::move(pause));
    model_->ListPortsWith(std::move(lister));
    model_->OnInitDialog((dir_ / "quillon").string());
    window_ = std::make_unique<MainWindow>(*model_);
    window_->prompt().run = [this](int id, QMessageBox& box) {
      messages_.push_back(id);
      box_texts_.push_back(box.text());
      box_details_.push_back(box.informativeText());
      enabled_at_message_.push_back(window_->isEnabled());
      waiting_at_message_.push_back(QApplication::overrideCursor() != nullptr);
      EXPECT_EQ(box.icon(), QMessageBox::Warning);
      EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(box.windowTitle(), QCoreApplication::applicationName());
    };
    window_->show();
    // Focus moves (and the dialog's default button with it) only in the active window.
    window_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }
  TempDir dir_;
  testing::FakeCommDriver* fake_ = nullptr;
  std::unique_ptr<MainWindowModel> model_;
  std::unique_ptr<MainWindow> window_;
  std::vector<int> messages_;
  std::vector<QString> box_texts_;
  std::vector<QString> box_details_;
  std::vector<bool> enabled_at_message_;
  std::vector<bool> waiting_at_message_;
};

class PaintCounter final : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

TEST_F(QtViewsTest, ControlsTextsIdsAndTabOrder) {
  Make("[Main]\r\nMAXCOM=2\r\nCOM=2\r\nMot File=/fw/v3.mot\r\n");
  EXPECT_EQ(window_->windowTitle(), "Quillon");
  EXPECT_EQ(Child<QLabel>(*window_, "1000")->text(), "v3.mot");
  EXPECT_EQ(Child<QPushButton>(*window_, "1001")->text(), ToQString("参照(&B)..."));
  EXPECT_EQ(Child<QPushButton>(*window_, "1")->text(), ToQString("送信"));
  EXPECT_EQ(Child<QPushButton>(*window_, "2")->text(), ToQString("閉じる"));
  auto* com = Child<QComboBox>(*window_, "1002");
  // Send is the dialog's default button whenever no other button has the focus.
  com->setFocus();
  EXPECT_TRUE(Child<QPushButton>(*window_, "1")->isDefault());
  ASSERT_EQ(com->count(), 2);
  EXPECT_EQ(com->currentText(), "COM2");
  EXPECT_EQ(com->currentData().toInt(), 2);
  EXPECT_TRUE(com->isEnabled());
  // Tab order: Browse, the COM list, Send, Close.
  std::vector<QString> order;
  QWidget* w = Child<QPushButton>(*window_, "1001");
  for (int i = 0; i < 4; ++i, w = w->nextInFocusChain()) {
    while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty()) w = w->nextInFocusChain();
    order.push_back(w->objectName());
  }
  EXPECT_THAT(order, ElementsAre("1001", "1002", "1", "2"));
}

// The Linux program's COM list over a made-up system: the numbers whose port is there, each with
// the device behind it; the box shows the chosen entry whole and its list opens wide enough for
// the longest entry.
TEST_F(QtViewsTest, TheComListShowsTheDeviceBehindEachNumber) {
  testing::FakeSystem system;
  system.Adapter("ttyUSB0", 1, "0403", "6001", "A10K", 0, "FT232R USB UART");
  system.Tty("ttyS2", system.root() / "sys/devices/pnp0/00:05/tty/ttyS2", "pnp");
  Make("[Main]\r\nMAXCOM=5\r\n", nullptr, nullptr,
       [root = system.root()](const std::map<int, std::string>& ports) { return ListSerialPorts(ports, root); });
  auto* com = Child<QComboBox>(*window_, "1002");
  ASSERT_EQ(com->count(), 2);
  EXPECT_EQ(com->itemText(0), "COM1  /dev/ttyUSB0  FT232R USB UART");
  EXPECT_EQ(com->itemData(0).toInt(), 1);
  EXPECT_EQ(com->itemText(1), "COM3  /dev/ttyS2");
  EXPECT_EQ(com->itemData(1).toInt(), 3);
  EXPECT_GE(com->view()->minimumWidth(), com->view()->fontMetrics().horizontalAdvance(com->itemText(0)));
  EXPECT_GE(com->width(), com->fontMetrics().horizontalAdvance(com->currentText()));
  EXPECT_EQ(com->toolTip(), com->currentText());
  QTest::keyClick(com, Qt::Key_Down);
  EXPECT_EQ(model_->settings().Com, 3);
  EXPECT_EQ(com->toolTip(), "COM3  /dev/ttyS2");
}

TEST_F(QtViewsTest, SingleEntryListIsDisabled) {
  Make("[Main]\r\nMAXCOM=1\r\n");
  EXPECT_FALSE(Child<QComboBox>(*window_, "1002")->isEnabled());
  EXPECT_EQ(model_->settings().Com, 1);
}

TEST_F(QtViewsTest, EscapeSavesTheSettingsLikeClose) {
  Make();
  auto* com = Child<QComboBox>(*window_, "1002");
  com->setCurrentIndex(4);
  emit com->activated(4);
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_NE(ReadFileBytes(dir_ / "quillon.ini").find("COM=5\r\n"), std::string::npos);
}

// Message 202 has no Cancel: a stray Enter must not start an update from Browse or Close.
TEST_F(QtViewsTest, FocusStartsOnBrowseAndEnterPressesTheFocusedButton) {
  Make();
  auto* browse = Child<QPushButton>(*window_, "1001");
  auto* close = Child<QPushButton>(*window_, "2");
  EXPECT_EQ(window_->focusWidget(), browse);
  int browsed = 0;
  window_->browse = [&](const BrowseRequest&) -> std::optional<std::string> {
    ++browsed;
    return std::nullopt;
  };
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(browse, key);
  EXPECT_EQ(browsed, 2);
  EXPECT_TRUE(messages_.empty()) << "Enter on Browse ran Send";
  // Elsewhere Enter is Send's (no boot file here: message 500).
  auto* com = Child<QComboBox>(*window_, "1002");
  com->setFocus();
  QTest::keyClick(com, Qt::Key_Return);
  EXPECT_THAT(messages_, ElementsAre(kMsgNoBootFile));
  messages_.clear();
  close->setFocus();
  QTest::keyClick(close, Qt::Key_Return);
  EXPECT_TRUE(messages_.empty()) << "Enter on Close ran Send";
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(QtViewsTest, BrowseShowsTheChosenNameAndCancelChangesNothing) {
  Make();
  std::vector<BrowseRequest> requests;
  std::optional<std::string> answer;
  window_->browse = [&](const BrowseRequest& r) {
    requests.push_back(r);
    return answer;
  };
  Child<QPushButton>(*window_, "1001")->click();
  EXPECT_EQ(Child<QLabel>(*window_, "1000")->text(), ToQString("ファイルを選択してください"));
  answer = "/media/usb/fw 2.mot";
  Child<QPushButton>(*window_, "1001")->click();
  EXPECT_EQ(Child<QLabel>(*window_, "1000")->text(), "fw 2.mot");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].start_directory, model_->settings().ProgramDir);
}

TEST_F(QtViewsTest, ALongFileNameShowsItsEndAndTheWholePathInTheToolTip) {
  const std::string name = "ECU_main_controller_production_firmware_build_20261207_v2.07.mot";
  Make("[Main]\r\nMot File=/media/usb/releases/" + name + "\r\n");
  auto* field = window_->findChild<FileNameField*>(QStringLiteral("1000"));
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->text(), ToQString(name));
  EXPECT_EQ(field->toolTip(), ToQString("/media/usb/releases/" + name));
  const QString shown = field->ShownText();
  EXPECT_NE(shown, field->text());
  EXPECT_TRUE(shown.endsWith(QStringLiteral("v2.07.mot"))) << shown.toStdString();
  EXPECT_LE(field->fontMetrics().horizontalAdvance(shown), field->contentsRect().width());
  // A short name is shown whole; after Browse the tool tip follows the new path.
  window_->browse = [](const BrowseRequest&) -> std::optional<std::string> { return "/fw/v3.mot"; };
  Child<QPushButton>(*window_, "1001")->click();
  EXPECT_EQ(field->ShownText(), "v3.mot");
  EXPECT_EQ(field->toolTip(), "/fw/v3.mot");
}

// Between OK on box 202 and the device's first answer nothing else runs the event loop.
TEST_F(QtViewsTest, AfterTheBootModeBoxTheWindowIsDrawnAndTheCursorWaitsUntilTheNextWindow) {
  Make();
  PaintCounter paints;
  Child<QLabel>(*window_, "1000")->installEventFilter(&paints);
  window_->prompt().ShowMessage(kMsgRestartInBootMode, "x");
  EXPECT_GT(paints.count, 0) << "the main window was not drawn again";
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  window_->progress().SetTextAndRange("x", 1, Transfer::kUpdate);
  EXPECT_NE(QApplication::overrideCursor(), nullptr) << "ended before the progress window was shown";
  window_->progress().Show();
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  window_->progress().Close();
  // A box instead of the progress window ends the wait before it shows, and only once.
  window_->prompt().ShowMessage(kMsgRestartInBootMode, "x");
  window_->prompt().ShowMessage(kMsgPortOpenFailed, "y");
  EXPECT_THAT(waiting_at_message_, ElementsAre(false, false, false));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // So does the end of a run.
  window_->prompt().ShowMessage(kMsgRestartInBootMode, "x");
  window_->prompt().EnableMainWindow(true);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(QtViewsTest, EnterRunsSendWithTheWindowDisabledAndAProgressWindowPerTransfer) {
  dir_.Write("nivaload.sub", "S1050000AB123D\r\n");
  const auto update = dir_.Write("u.mot", "S1050100AB123C\r\n").string();
  Make("[Main]\r\nMot File=" + update + "\r\n");
  testing::UpdateDevice device;
  device.Attach(*fake_, 2);
  std::vector<std::pair<QString, int>> windows;
  std::vector<int> final_values;
  window_->progress().on_open = [&](ProgressWindow& w) {
    windows.emplace_back(w.status()->text(), w.bar()->maximum());
    EXPECT_EQ(w.windowTitle(), ToQString("バージョンアップ進捗状況"));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);
  };
  Child<QPushButton>(*window_, "1")->setFocus();
  QTest::keyClick(window_.get(), Qt::Key_Return);
  EXPECT_THAT(messages_, ElementsAre(kMsgRestartInBootMode, kMsgUpdateFinished));
  EXPECT_THAT(enabled_at_message_, ElementsAre(false, false));
  EXPECT_TRUE(window_->isEnabled());
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0], std::make_pair(ToQString("ブートレコードを転送中です"), 1));
  EXPECT_EQ(windows[1], std::make_pair(ToQString("バージョンアップデータを転送中です。"), 3));
  EXPECT_EQ(window_->progress().window(), nullptr);
}

TEST_F(QtViewsTest, EnterAndEscapeDoNothingWhileARunIsUnderWay) {
  Make();
  window_->setEnabled(false);  // what the sequence does for the length of a run
  QTest::keyClick(window_.get(), Qt::Key_Return);
  QTest::keyClick(window_.get(), Qt::Key_Escape);
  window_->close();
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "quillon.ini"));
}

TEST_F(QtViewsTest, ProgressWindowWithNoChunksShowsAnEmptyBarNotABusyOne) {
  Make();
  ProgressWindow w(window_.get());
  for (int steps : {0, 0x10000}) {
    w.SetTextAndRange("x", steps);
    EXPECT_GE(w.bar()->maximum(), 1) << steps;
    EXPECT_EQ(w.bar()->value(), 0);
  }
}

TEST_F(QtViewsTest, ProgressWindowCutsTheRangeTo16BitsAndStepsOncePerCall) {
  Make();
  ProgressWindow w(window_.get());
  w.SetTextAndRange("x", 0x10003);
  EXPECT_EQ(w.bar()->maximum(), 3);
  w.StepAndPump();
  w.StepAndPump();
  EXPECT_EQ(w.bar()->value(), 2);
  w.show();
  w.close();
  EXPECT_TRUE(w.isVisible());  // the person cannot close it
  EXPECT_EQ(w.pos(), window_->mapToGlobal(QPoint(0, 0)));
}

TEST_F(QtViewsTest, AboutBoxFromTheContextMenu) {
  Make();
  auto actions = window_->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), ToQString("Quillon のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
  QString title;
  QStringList texts;
  window_->show_about = [&](AboutBox& box) {
    title = box.windowTitle();
    for (auto* label : box.findChildren<QLabel*>()) texts << label->text();
  };
  actions[0]->trigger();
  EXPECT_EQ(title, ToQString("Quillonのﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_TRUE(texts.contains("Quillon Version 1.04"));
}

TEST_F(QtViewsTest, WholeUpdateAgainstTheSimulatedDevice) {
  const auto link = (dir_ / "port").string();
  const pid_t device = Spawn({QUILLON_DEVSIM, "--link", link, "--flash-out", (dir_ / "flash.bin").string()},
                             dir_ / "devsim.out", dir_ / "devsim.err");
  for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::filesystem::copy_file(QUILLON_EXAMPLES "/nivaload.sub", dir_ / "nivaload.sub");
  Make("[Main]\r\nMot File=" QUILLON_EXAMPLES "/update.mot\r\n[Ports]\r\nCOM1=" + link + "\r\n",
       MakePlatformCommDriver(), std::make_unique<ThreadPause>());
  // The system's own checks before the boot-mode question, as the program makes them.
  auto system_checks = [](const std::string& port) { return CheckPort(port, {"/", false}); };
  model_->CheckPortsWith(system_checks);
  Child<QPushButton>(*window_, "1")->click();
  int status = 0;
  waitpid(device, &status, 0);
  EXPECT_THAT(messages_, ElementsAre(kMsgRestartInBootMode, kMsgUpdateFinished));
  FlashImage image;
  ASSERT_EQ(SRecordReader().LoadFlashImage(image, QUILLON_EXAMPLES "/update.mot"), 1);
  const auto expected = FlattenFlashImage(image);
  EXPECT_TRUE(ReadFileBytes(dir_ / "flash.bin") == std::string(expected.begin(), expected.end()));

  // Its port gone (the device ended and took its link along): 504 at once, with why.
  window_->close();
  messages_.clear();
  Make("[Main]\r\nMot File=" QUILLON_EXAMPLES "/update.mot\r\n[Ports]\r\nCOM1=" + link + "\r\n",
       MakePlatformCommDriver(), std::make_unique<ThreadPause>());
  model_->CheckPortsWith(system_checks);
  Child<QPushButton>(*window_, "1")->click();
  EXPECT_THAT(messages_, ElementsAre(kMsgPortOpenFailed));
  EXPECT_THAT(box_details_.back().toStdString(), ::testing::HasSubstr(link));
}

// Every text of the windows and every box of a run, for a Japanese reader (the program as it
// has always been) and for any other (English: the messages as the command line shows them).
struct ReaderCase {
  const char* name;
  bool japanese;
  std::vector<const char*> texts;  // update file, Browse, COM port, Send, Close, the prompt,
                                   // the About item, its box's title, the progress window's
};

class ReaderLanguageTest : public QtViewsTest, public ::testing::WithParamInterface<ReaderCase> {
 protected:
  void SetUp() override { translations_ = InstallProgramTranslations(GetParam().japanese); }
  QString Text(std::size_t i) const { return ToQString(GetParam().texts.at(i)); }
  QString Message(int id) const {
    return ToQString(GetParam().japanese ? std::string(MessageText(id)) : std::string(MessageTextEnglish(id)));
  }
  std::unique_ptr<QTranslator> translations_;
};

TEST_P(ReaderLanguageTest, EveryTextAndEveryBoxInTheReadersLanguage) {
  ASSERT_EQ(translations_ == nullptr, GetParam().japanese) << "the English texts are not in the resources";
  dir_.Write("nivaload.sub", "S1050000AB123D\r\n");
  Make("[Main]\r\nMAXCOM=2\r\n");
  QStringList labels;
  for (auto* label : window_->findChildren<QLabel*>()) labels << label->text();
  EXPECT_TRUE(labels.contains(Text(0))) << labels.join(u'|').toStdString();
  EXPECT_EQ(Child<QPushButton>(*window_, "1001")->text(), Text(1));
  EXPECT_TRUE(labels.contains(Text(2))) << labels.join(u'|').toStdString();
  EXPECT_EQ(Child<QPushButton>(*window_, "1")->text(), Text(3));
  EXPECT_EQ(Child<QPushButton>(*window_, "2")->text(), Text(4));
  EXPECT_EQ(Child<QLabel>(*window_, "1000")->text(), Text(5));
  EXPECT_EQ(window_->actions().at(0)->text(), Message(kMsgAboutItem));
  QString about_title;
  window_->show_about = [&](AboutBox& box) { about_title = box.windowTitle(); };
  window_->actions().at(0)->trigger();
  EXPECT_EQ(about_title, Text(6));
  // The file dialog's title and filter.
  const BrowseRequest browse = model_->BrowseStart();
  EXPECT_EQ(ReaderText(browse.title), Message(kMsgBrowseTitle));
  EXPECT_EQ(ReaderText(browse.filter), Message(kMsgBrowseFilter));

  // A whole run: its two progress windows and its boxes; then one whose boot file is gone.
  const auto update = dir_.Write("u.mot", "S1050100AB123C\r\n").string();
  window_->close();
  Make("[Main]\r\nMot File=" + update + "\r\n");
  testing::UpdateDevice device;
  device.Attach(*fake_, 2);
  std::vector<QString> progress;
  window_->progress().on_open = [&](ProgressWindow& w) {
    EXPECT_EQ(w.windowTitle(), Text(7));
    progress.push_back(w.status()->text());
  };
  Child<QPushButton>(*window_, "1")->click();
  EXPECT_THAT(progress, ElementsAre(Message(kMsgBootProgress), Message(kMsgFlashProgress)));
  std::filesystem::remove(dir_ / "nivaload.sub");
  Child<QPushButton>(*window_, "1")->click();
  EXPECT_THAT(messages_, ElementsAre(kMsgRestartInBootMode, kMsgUpdateFinished, kMsgNoBootFile));
  EXPECT_THAT(box_texts_, ElementsAre(Message(kMsgRestartInBootMode), Message(kMsgUpdateFinished), Message(kMsgNoBootFile)));
  // Below the failure's text: what to check, and where the log is, in the same language.
  const QString boot = ToQString((dir_ / "nivaload.sub").string());
  const QString log = ToQString((dir_ / "quillon.sts").string());
  EXPECT_EQ(box_details_.at(0), QString());
  EXPECT_EQ(box_details_.at(1), QString());
  EXPECT_EQ(box_details_.at(2), ToQString(TrFIn(GetParam().japanese ? Language::kJapanese : Language::kEnglish,
                                               "Check the boot file %s (\"Info File\" in the settings file, or --boot).",
                                               {boot.toStdString()})) +
                                    (GetParam().japanese ? "\nログ: " : "\nThe log: ") + log);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReaderLanguageTest,
    ::testing::Values(ReaderCase{"Japanese", true,
                                 {"バージョンアップファイル：", "参照(&B)...", "COMポート(&C)：", "送信", "閉じる",
                                  "ファイルを選択してください", "Quillonのﾊﾞｰｼﾞｮﾝ情報", "バージョンアップ進捗状況"}},
                      ReaderCase{"English", false,
                                 {"Update file:", "&Browse...", "&COM port:", "Send", "Close", "Choose a file",
                                  "About Quillon", "Update progress"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QtTranslationsTest, QtsOwnTextsFollowTheSystemLanguage) {
  const QString look_in = QStringLiteral("Look in:");
  {
    const auto japanese = InstallQtTranslations(QLocale(QLocale::Japanese, QLocale::Japan));
    ASSERT_NE(japanese, nullptr) << "qt6-translations-l10n missing?";
    EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), look_in);
    EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
  }
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), look_in);
  EXPECT_EQ(InstallQtTranslations(QLocale(QLocale::Zulu)), nullptr);
}

// Answered before the single-instance check and any window: help2man and a terminal without
// a display can ask.
TEST(CommandLineTest, VersionAndHelpWithoutAWindow) {
  TempDir dir;
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("DISPLAY");
  EXPECT_EQ(testing::Wait(Spawn({QUILLON_APP, "--version"}, dir / "out", dir / "err")), 0);
  EXPECT_THAT(ReadFileBytes(dir / "out"), ::testing::MatchesRegex("quillon [0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(testing::Wait(Spawn({QUILLON_APP, "--help"}, dir / "out", dir / "err")), 0);
  EXPECT_THAT(ReadFileBytes(dir / "out"), ::testing::HasSubstr("Usage: quillon"));
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

TEST(SingleInstanceTest, SecondStartBringsTheFirstForwardAndEnds) {
  TempDir dir;
  // Each copy in its own folder beside its own settings; the lock lives in the runtime folder.
  std::filesystem::copy_file(QUILLON_APP, dir / "quillon");
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  const pid_t first = Spawn({(dir / "quillon").string()}, dir / "first.out", dir / "first.err");
  for (int i = 0; i < 300 && !std::filesystem::exists(dir / "quillon.lock"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(dir / "quillon.lock"));
  const pid_t second = Spawn({(dir / "quillon").string()}, dir / "second.out", dir / "second.err");
  int status = -1;
  for (int i = 0; i < 500 && waitpid(second, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < 300 && ReadFileBytes(dir / "first.err").find("front") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(first, SIGTERM);
  waitpid(first, &status, 0);
  EXPECT_THAT(ReadFileBytes(dir / "first.err"), ::testing::HasSubstr("brought this window to the front"));
  EXPECT_FALSE(std::filesystem::exists(dir / "quillon.ini"));
}

}  // namespace
}  // namespace quillon::qt

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
