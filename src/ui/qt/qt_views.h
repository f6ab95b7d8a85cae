#pragma once
// The Qt views of the desktop program: main window, progress window, About box, message
// boxes. They draw and forward; what they do lives in MainWindowModel and below.

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "ui/main_window_model.h"

class QComboBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace quillon::qt {

QString ToQString(std::string_view utf8);

/// The program icon (icon resource 128), drawn rather than loaded, so it needs no file.
QIcon ProgramIcon();

/// Positions given in dialog units, as the window templates give them, turned into pixels
/// with the dialog font's metrics.
class DialogUnits {
 public:
  explicit DialogUnits(const QWidget& dialog);
  QRect Rect(int x, int y, int w, int h) const;
  /// Widens the unit where a text would not fit its width in dialog units: full-width
  /// Japanese characters are wider than the Latin average the unit is taken from.
  void Fit(const QWidget& dialog, const QString& text, int width);

 private:
  double x_, y_;
};

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
  explicit QtProgressSink(QWidget* owner) : owner_(owner) {}
  ~QtProgressSink() override;
  void SetTextAndRange(std::string text, int steps) override;
  void Show() override;
  void StepAndPump() override;
  void Close() override;
  ProgressWindow* window() const { return window_.get(); }
  /// Called with every new window (tests watch the windows through it).
  std::function<void(ProgressWindow&)> on_open;

 private:
  QWidget* owner_;
  std::unique_ptr<ProgressWindow> window_;
};

/// Message boxes: one OK button, the warning icon, the application's title. `run` shows
/// the box modally; tests replace it to answer the box themselves.
class QtPrompt final : public UserPrompt {
 public:
  explicit QtPrompt(QWidget* main_window);
  void ShowMessage(int id, std::string_view text) override;
  void EnableMainWindow(bool enabled) override;
  std::function<void(int id, QMessageBox& box)> run;

 private:
  QWidget* main_window_;
};

/// The About box (dialog 100).
class AboutBox final : public QDialog {
 public:
  explicit AboutBox(QWidget* parent);
};

/// The main window (template 102).
class MainWindow final : public QDialog {
 public:
  /// The model must be initialised (OnInitDialog) and outlive the window.
  explicit MainWindow(MainWindowModel& model, QWidget* parent = nullptr);
  ~MainWindow() override;

  QtPrompt& prompt() { return prompt_; }
  QtProgressSink& progress() { return progress_; }
  /// Shows the file-open dialog; tests answer it themselves.
  std::function<std::optional<std::string>(const BrowseRequest&)> browse;
  /// Shows the About box; tests look at it instead.
  std::function<void(AboutBox&)> show_about;
  /// Restores, raises and activates the window (a second start asks for this).
  void BringToFront();

  void OnSend();
  void OnBrowse();
  void OnComSelChange(int index);
  void OnAbout();

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  MainWindowModel& model_;
  QLabel* file_name_;
  QPushButton* browse_button_;
  QComboBox* com_list_;
  QPushButton* send_;
  QPushButton* close_;
  QtPrompt prompt_;
  QtProgressSink progress_;
  bool closed_ = false;
};

}  // namespace quillon::qt
