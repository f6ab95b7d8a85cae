#include "ui/qt/progress_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

#include "ui/qt/dialog_common.h"

namespace quillon::qt {

namespace {
constexpr int kProgressBarId = 2011;
constexpr int kStatusTextId = 2012;
}  // namespace

ProgressWindow::ProgressWindow(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  SetUpDialog(*this, UiText("バージョンアップ進捗状況"));
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

void QtProgressSink::SetTextAndRange(std::string text, int steps, Transfer) {
  window_ = std::make_unique<ProgressWindow>(owner_);
  window_->SetTextAndRange(ReaderText(text), steps);
  if (on_open) on_open(*window_);
}

void QtProgressSink::Show() {
  if (!window_) return;
  window_->show();
  if (wait_ != nullptr) wait_->End();
}

void QtProgressSink::StepAndPump() {
  if (window_) window_->StepAndPump();
}

void QtProgressSink::Close() { window_.reset(); }

}  // namespace quillon::qt
