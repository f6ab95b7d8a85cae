#pragma once
// The main window and its message boxes.

#include <QDialog>
#include <QLabel>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "ui/main_window_model.h"
#include "ui/qt/about_box.h"
#include "ui/qt/dialog_common.h"
#include "ui/qt/progress_window.h"

class QComboBox;
class QMessageBox;
class QPushButton;

namespace quillon::qt {

/// Message boxes: one OK button, the warning icon, the application's title; below a failure's
/// text, its detail. `run` shows the box modally; tests replace it to answer the box themselves.
class QtPrompt final : public UserPrompt {
 public:
  /// From OK on the restart-in-boot-mode box until the next window appears, `wait` is shown
  /// (it may be null).
  QtPrompt(QWidget* main_window, WaitCursor* wait);
  void ShowMessage(int id, std::string_view text) override;
  void EnableMainWindow(bool enabled) override;
  std::function<void(int id, QMessageBox& box)> run;
  /// What a failure's box says below its text (why, what to do next, the log), or empty.
  std::function<std::string(int id)> detail;

 private:
  QWidget* main_window_;
  WaitCursor* wait_;
};

/// The file-name field: its text stays the whole name; a name too long for the field is drawn
/// with its middle left out, so that its end (where the version usually is) stays in sight.
class FileNameField final : public QLabel {
 public:
  using QLabel::QLabel;
  /// What the field draws.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
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
  void ShowComChoice();
  void OnAbout();

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  MainWindowModel& model_;
  void ShowFileName();

  FileNameField* file_name_;
  QPushButton* browse_button_;
  QComboBox* com_list_;
  QPushButton* send_;
  QPushButton* close_;
  WaitCursor wait_cursor_;  ///< the whole program's, through Qt's override cursor
  QtPrompt prompt_;
  QtProgressSink progress_;
  bool closed_ = false;
};

}  // namespace quillon::qt
