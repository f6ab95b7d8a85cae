#pragma once
// The main window and its message boxes.

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/seams.h"
#include "ui/main_window_model.h"
#include "ui/qt/about_box.h"
#include "ui/qt/progress_window.h"

class QComboBox;
class QLabel;
class QMessageBox;
class QPushButton;

namespace quillon::qt {

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
