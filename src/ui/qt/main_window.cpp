#include "ui/qt/main_window.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

#include "base/messages.h"
#include "ui/qt/dialog_common.h"

namespace quillon::qt {

QtPrompt::QtPrompt(QWidget* main_window, WaitCursor* wait)
    : run([](int, QMessageBox& box) { box.exec(); }), main_window_(main_window), wait_(wait) {}

void QtPrompt::ShowMessage(int id, std::string_view text) {
  if (wait_ != nullptr) wait_->End();
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), ReaderText(text), QMessageBox::Ok,
                  main_window_);
  box.setFont(DialogFont());
  if (const std::string more = detail ? detail(id) : std::string(); !more.empty()) box.setInformativeText(ToQString(more));
  run(id, box);
  if (id == kMsgRestartInBootMode) {
    // The device's first answer may take seconds: the main window is drawn again at once (not
    // through the event loop, which could deliver a queued Enter) and the cursor says that
    // work is under way.
    main_window_->repaint();
    if (wait_ != nullptr) wait_->Show();
  }
}

void QtPrompt::EnableMainWindow(bool enabled) {
  main_window_->setEnabled(enabled);
  if (enabled && wait_ != nullptr) wait_->End();
}

namespace {
// Where a label draws its text: inside the margin, after the indent a framed label gets.
QRect TextRect(const QLabel& label) {
  const int indent = label.indent() >= 0 ? label.indent()
                     : label.frameWidth() > 0 ? label.fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2
                                              : 0;
  const int m = label.margin();
  return label.contentsRect().adjusted(m + indent, m, -m, -m);
}
}  // namespace

QString FileNameField::ShownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, TextRect(*this).width());
}

void FileNameField::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  style()->drawItemText(&painter, TextRect(*this), static_cast<int>(alignment()), palette(), isEnabled(),
                        ShownText(), foregroundRole());
}

MainWindow::MainWindow(MainWindowModel& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      model_(model),
      wait_cursor_([] { QApplication::setOverrideCursor(Qt::WaitCursor); }, [] { QApplication::restoreOverrideCursor(); }),
      prompt_(this, &wait_cursor_),
      progress_(this, &wait_cursor_) {
  SetUpDialog(*this, QStringLiteral("Quillon"));
  DialogUnits du(*this);
  du.Fit(*this, UiText("バージョンアップファイル："), 77);
  setFixedSize(du.Rect(0, 0, 281, 73).size());

  auto* file_label = new QLabel(UiText("バージョンアップファイル："), this);
  file_label->setGeometry(du.Rect(7, 9, 77, 10));
  file_name_ = new FileNameField(this);
  file_name_->setObjectName(QStringLiteral("1000"));
  file_name_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  file_name_->setGeometry(du.Rect(88, 6, 121, 13));
  browse_button_ = new QPushButton(UiText("参照(&B)..."), this);
  browse_button_->setObjectName(QStringLiteral("1001"));
  // A focused button takes Enter itself, as the dialog's buttons do: Enter on Browse or Close
  // never starts an update.
  browse_button_->setAutoDefault(true);
  browse_button_->setGeometry(du.Rect(222, 6, 52, 16));
  auto* com_label = new QLabel(UiText("COMポート(&C)："), this);
  com_label->setGeometry(du.Rect(7, 26, 69, 8));
  com_list_ = new QComboBox(this);
  com_list_->setObjectName(QStringLiteral("1002"));
  com_list_->setGeometry(du.Rect(88, 24, 121, 13));
  com_label->setBuddy(com_list_);
  send_ = new QPushButton(UiText("送信"), this);
  send_->setObjectName(QStringLiteral("1"));
  send_->setDefault(true);
  send_->setGeometry(du.Rect(43, 46, 78, 20));
  close_ = new QPushButton(UiText("閉じる"), this);
  close_->setObjectName(QStringLiteral("2"));
  close_->setAutoDefault(true);
  close_->setGeometry(du.Rect(158, 46, 78, 20));
  setTabOrder(browse_button_, com_list_);
  setTabOrder(com_list_, send_);
  setTabOrder(send_, close_);
  file_name_->setFocusPolicy(Qt::NoFocus);
  ShowFileName();
  // The window opens with the focus on its first tab stop, not on Send.
  browse_button_->setFocus();

  for (const auto& entry : model_.ComList()) com_list_->addItem(ToQString(entry.text), entry.item_data);
  com_list_->setCurrentIndex(model_.ComSelection());
  com_list_->setEnabled(model_.ComListEnabled());
  // Entries that name their device and adapter are wider than the box: the list opens wide.
  int widest = 0;
  for (int i = 0; i < com_list_->count(); ++i) {
    widest = std::max(widest, com_list_->view()->fontMetrics().horizontalAdvance(com_list_->itemText(i)));
  }
  com_list_->view()->setMinimumWidth(widest + 24);  // the item's margins and a scroll bar's room
  // The chosen entry is not cut off: a box of such entries reaches to the Browse button's right
  // edge, and its whole text is in its tool tip.
  const int box = com_list_->width() - com_list_->fontMetrics().horizontalAdvance(com_list_->currentText());
  if (box < 32) com_list_->setGeometry(du.Rect(88, 24, 186, 13));
  ShowComChoice();

  // Without a window system menu, the About item lives in the window's context menu.
  auto* about = new QAction(ReaderText(MessageText(kMsgAboutItem)), this);
  about->setObjectName(QStringLiteral("about"));
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(about, &QAction::triggered, this, &MainWindow::OnAbout);

  connect(send_, &QPushButton::clicked, this, &MainWindow::OnSend);
  connect(close_, &QPushButton::clicked, this, &MainWindow::reject);
  connect(browse_button_, &QPushButton::clicked, this, &MainWindow::OnBrowse);
  connect(com_list_, &QComboBox::activated, this, &MainWindow::OnComSelChange);

  browse = [this](const BrowseRequest& request) -> std::optional<std::string> {
    QFileDialog dialog(this, ReaderText(request.title));
    // "display|pattern||": the display text already names its pattern.
    const QStringList parts = ReaderText(request.filter).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
      filters << (parts[i].contains(parts[i + 1]) ? parts[i] : parts[i] + " (" + parts[i + 1] + ")");
    }
    dialog.setNameFilters(filters);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (request.file_name.empty()) {
      dialog.setDirectory(ToQString(request.start_directory));
    } else {
      dialog.selectFile(ToQString(request.file_name));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front().toStdString();
  };
  show_about = [](AboutBox& box) { box.exec(); };
  prompt_.detail = [this](int id) { return model_.FailureDetail(id, ReaderLanguage()); };
}

MainWindow::~MainWindow() = default;

void MainWindow::OnSend() {
  // The window is disabled for the whole run, so neither Send nor Close can start again.
  if (!isEnabled()) return;
  model_.OnSend(progress_, prompt_);
}

void MainWindow::OnBrowse() {
  model_.OnBrowseResult(browse(model_.BrowseStart()));
  ShowFileName();
}

void MainWindow::ShowFileName() {
  // The prompt, until a file is chosen, is one of the window's own texts.
  file_name_->setText(model_.settings().MotFile.empty() ? UiText(model_.FileNameText().c_str())
                                                       : ToQString(model_.FileNameText()));
  // The whole path, which the field never shows, is in its tool tip.
  file_name_->setToolTip(ToQString(model_.settings().MotFile));
}

void MainWindow::OnComSelChange(int index) {
  model_.OnComSelChange(index);
  ShowComChoice();
}

void MainWindow::ShowComChoice() { com_list_->setToolTip(com_list_->currentText()); }

void MainWindow::OnAbout() {
  AboutBox box(this);
  show_about(box);
}

void MainWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void MainWindow::reject() {
  if (!isEnabled()) return;
  if (!closed_) {
    closed_ = true;
    model_.OnClose();
  }
  QDialog::done(QDialog::Rejected);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!isEnabled()) {
    event->ignore();
    return;
  }
  reject();
  event->accept();
}

}  // namespace quillon::qt
