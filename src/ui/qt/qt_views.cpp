#include "ui/qt/qt_views.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "base/messages.h"

namespace quillon::qt {

namespace {
// The dialogs' font: the Japanese UI Gothic of the templates where it exists, else whatever
// CJK sans-serif the system has.
QFont DialogFont() {
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
  font.setPointSize(9);
  return font;
}

void SetUpDialog(QDialog& dialog, const QString& caption) {
  dialog.setFont(DialogFont());
  dialog.setWindowTitle(caption);
  dialog.setWindowIcon(ProgramIcon());
}

constexpr int kProgressBarId = 2011;
constexpr int kStatusTextId = 2012;
}  // namespace

QString ToQString(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 32.0;
    // A chip with pins, and an arrow writing into it.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2B, 0x4C, 0x7E));
    p.drawRoundedRect(QRectF(6 * s, 6 * s, 20 * s, 20 * s), 3 * s, 3 * s);
    p.setBrush(QColor(0xB0, 0xB8, 0xC4));
    for (int i = 0; i < 4; ++i) {
      const double at = (8.5 + i * 4.5) * s;
      p.drawRect(QRectF(at, 2 * s, 2 * s, 4 * s));
      p.drawRect(QRectF(at, 26 * s, 2 * s, 4 * s));
      p.drawRect(QRectF(2 * s, at, 4 * s, 2 * s));
      p.drawRect(QRectF(26 * s, at, 4 * s, 2 * s));
    }
    QPainterPath arrow;
    arrow.moveTo(16 * s, 9 * s);
    arrow.lineTo(22 * s, 16 * s);
    arrow.lineTo(18 * s, 16 * s);
    arrow.lineTo(18 * s, 23 * s);
    arrow.lineTo(14 * s, 23 * s);
    arrow.lineTo(14 * s, 16 * s);
    arrow.lineTo(10 * s, 16 * s);
    arrow.closeSubpath();
    p.setBrush(QColor(0xF2, 0xA9, 0x00));
    p.drawPath(arrow);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

DialogUnits::DialogUnits(const QWidget& dialog) {
  const QFontMetrics metrics(dialog.font());
  // A dialog unit is a quarter of the average character width and an eighth of its height.
  x_ = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0 / 4.0;
  y_ = metrics.height() / 8.0;
}

void DialogUnits::Fit(const QWidget& dialog, const QString& text, int width) {
  x_ = std::max(x_, QFontMetrics(dialog.font()).horizontalAdvance(text) / static_cast<double>(width));
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
  return {static_cast<int>(x * x_), static_cast<int>(y * y_), static_cast<int>(w * x_), static_cast<int>(h * y_)};
}

ProgressWindow::ProgressWindow(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  SetUpDialog(*this, ToQString("バージョンアップ進捗状況"));
  const DialogUnits du(*this);
  setFixedSize(du.Rect(0, 0, 187, 71).size());
  status_ = new QLabel(QStringLiteral("Static"), this);
  status_->setObjectName(QString::number(kStatusTextId));
  status_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  status_->setGeometry(du.Rect(7, 7, 173, 10));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QString::number(kProgressBarId));
  bar_->setGeometry(du.Rect(7, 35, 173, 14));
  bar_->setTextVisible(false);
  // Segmented, as the common control draws it.
  bar_->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 1px solid #8a8a8a; background: white; padding: 1px; }"
      "QProgressBar::chunk { background: #2f9e44; width: 8px; margin-right: 2px; }"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  // At the owner's client origin, as the template's position 0, 0 says; not centred.
  if (owner != nullptr) move(owner->mapToGlobal(QPoint(0, 0)));
}

void ProgressWindow::SetTextAndRange(const QString& text, int steps) {
  status_->setText(text);
  // The bar's range is 16 bits wide; the count is cut to that. A range of 0 would make Qt
  // draw a busy bar where the window shows an empty one: it is at least 1.
  bar_->setRange(0, std::max(steps & 0xFFFF, 1));
  bar_->setValue(0);
}

void ProgressWindow::StepAndPump() {
  if (bar_->value() < bar_->maximum()) bar_->setValue(bar_->value() + 1);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ProgressWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

QtProgressSink::~QtProgressSink() = default;

void QtProgressSink::SetTextAndRange(std::string text, int steps) {
  window_ = std::make_unique<ProgressWindow>(owner_);
  window_->SetTextAndRange(ToQString(text), steps);
  if (on_open) on_open(*window_);
}

void QtProgressSink::Show() {
  if (window_) window_->show();
}

void QtProgressSink::StepAndPump() {
  if (window_) window_->StepAndPump();
}

void QtProgressSink::Close() { window_.reset(); }

QtPrompt::QtPrompt(QWidget* main_window)
    : run([](int, QMessageBox& box) { box.exec(); }), main_window_(main_window) {}

void QtPrompt::ShowMessage(int id, std::string_view text) {
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), ToQString(text), QMessageBox::Ok,
                  main_window_);
  box.setFont(DialogFont());
  run(id, box);
}

void QtPrompt::EnableMainWindow(bool enabled) { main_window_->setEnabled(enabled); }

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  SetUpDialog(*this, ToQString("Quillonのﾊﾞｰｼﾞｮﾝ情報"));
  const DialogUnits du(*this);
  setFixedSize(du.Rect(0, 0, 243, 55).size());
  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  icon->setGeometry(du.Rect(11, 11, 20, 20));
  auto* version = new QLabel(QStringLiteral("Quillon Version 1.04"), this);
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(du.Rect(40, 11, 143, 8));
  auto* copyright = new QLabel(QStringLiteral("Copyright (C) The Quillon developers"), this);
  copyright->setTextFormat(Qt::PlainText);
  copyright->setAlignment(Qt::AlignHCenter);
  copyright->setGeometry(du.Rect(40, 25, 140, 8));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(du.Rect(186, 7, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

MainWindow::MainWindow(MainWindowModel& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      model_(model),
      prompt_(this),
      progress_(this) {
  SetUpDialog(*this, QStringLiteral("Quillon"));
  DialogUnits du(*this);
  du.Fit(*this, ToQString("バージョンアップファイル："), 77);
  setFixedSize(du.Rect(0, 0, 281, 73).size());

  auto* file_label = new QLabel(ToQString("バージョンアップファイル："), this);
  file_label->setGeometry(du.Rect(7, 9, 77, 10));
  file_name_ = new QLabel(ToQString(model_.FileNameText()), this);
  file_name_->setObjectName(QStringLiteral("1000"));
  file_name_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  file_name_->setGeometry(du.Rect(88, 6, 121, 13));
  browse_button_ = new QPushButton(ToQString("参照(&B)..."), this);
  browse_button_->setObjectName(QStringLiteral("1001"));
  // A focused button takes Enter itself, as the dialog's buttons do: Enter on Browse or Close
  // never starts an update.
  browse_button_->setAutoDefault(true);
  browse_button_->setGeometry(du.Rect(222, 6, 52, 16));
  auto* com_label = new QLabel(ToQString("COMポート(&C)："), this);
  com_label->setGeometry(du.Rect(7, 26, 69, 8));
  com_list_ = new QComboBox(this);
  com_list_->setObjectName(QStringLiteral("1002"));
  com_list_->setGeometry(du.Rect(88, 24, 121, 13));
  com_label->setBuddy(com_list_);
  send_ = new QPushButton(ToQString("送信"), this);
  send_->setObjectName(QStringLiteral("1"));
  send_->setDefault(true);
  send_->setGeometry(du.Rect(43, 46, 78, 20));
  close_ = new QPushButton(ToQString("閉じる"), this);
  close_->setObjectName(QStringLiteral("2"));
  close_->setAutoDefault(true);
  close_->setGeometry(du.Rect(158, 46, 78, 20));
  setTabOrder(browse_button_, com_list_);
  setTabOrder(com_list_, send_);
  setTabOrder(send_, close_);
  file_name_->setFocusPolicy(Qt::NoFocus);
  // The window opens with the focus on its first tab stop, not on Send.
  browse_button_->setFocus();

  for (const auto& entry : model_.ComList()) com_list_->addItem(ToQString(entry.text), entry.item_data);
  com_list_->setCurrentIndex(model_.ComSelection());
  com_list_->setEnabled(model_.ComListEnabled());

  // Without a window system menu, the About item lives in the window's context menu.
  auto* about = new QAction(ToQString(MessageText(kMsgAboutItem)), this);
  about->setObjectName(QStringLiteral("about"));
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(about, &QAction::triggered, this, &MainWindow::OnAbout);

  connect(send_, &QPushButton::clicked, this, &MainWindow::OnSend);
  connect(close_, &QPushButton::clicked, this, &MainWindow::reject);
  connect(browse_button_, &QPushButton::clicked, this, &MainWindow::OnBrowse);
  connect(com_list_, &QComboBox::activated, this, &MainWindow::OnComSelChange);

  browse = [this](const BrowseRequest& request) -> std::optional<std::string> {
    QFileDialog dialog(this, ToQString(request.title));
    // "display|pattern||": the display text already names its pattern.
    const QStringList parts = ToQString(request.filter).split(QLatin1Char('|'), Qt::SkipEmptyParts);
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
}

MainWindow::~MainWindow() = default;

void MainWindow::OnSend() {
  // The window is disabled for the whole run, so neither Send nor Close can start again.
  if (!isEnabled()) return;
  model_.OnSend(progress_, prompt_);
}

void MainWindow::OnBrowse() {
  model_.OnBrowseResult(browse(model_.BrowseStart()));
  file_name_->setText(ToQString(model_.FileNameText()));
}

void MainWindow::OnComSelChange(int index) { model_.OnComSelChange(index); }

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
