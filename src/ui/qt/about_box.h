#pragma once
// The About box.

#include <QDialog>

namespace quillon::qt {

/// The About box (dialog 100).
class AboutBox final : public QDialog {
 public:
  explicit AboutBox(QWidget* parent);
};

}  // namespace quillon::qt
