#pragma once
// The progress window of one transfer and the ProgressSink that opens one per transfer.

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "base/seams.h"
#include "ui/wait_cursor.h"

class QLabel;
class QProgressBar;

namespace quillon::qt {

/// The progress window of one transfer (resource 911): status text and a segmented bar,
/// at the main window's client origin, without a close button, not closable by the user.
class ProgressWindow final : public QDialog {
 public:
  explicit ProgressWindow(QWidget* owner);
  void SetTextAndRange(const QString& text, int steps);
  void StepAndPump();
  QLabel* status() const { return status_; }
  QProgressBar* bar() const { return bar_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override {}

 private:
  QLabel* status_;
  QProgressBar* bar_;
};

/// A ProgressSink that makes a new progress window for each transfer and destroys it after.
class QtProgressSink final : public ProgressSink {
 public:
  /// `wait` (may be null) is ended when a window appears.
  QtProgressSink(QWidget* owner, WaitCursor* wait) : owner_(owner), wait_(wait) {}
  ~QtProgressSink() override;
  void SetTextAndRange(std::string text, int steps, Transfer transfer) override;
  void Show() override;
  void StepAndPump() override;
  void Close() override;
  ProgressWindow* window() const { return window_.get(); }
  /// Called with every new window (tests watch the windows through it).
  std::function<void(ProgressWindow&)> on_open;

 private:
  QWidget* owner_;
  WaitCursor* wait_;
  std::unique_ptr<ProgressWindow> window_;
};

}  // namespace quillon::qt
