#include "ui/qt/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "base/version.h"
#include "ui/qt/dialog_common.h"

namespace quillon::qt {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  SetUpDialog(*this, UiText("Quillonのﾊﾞｰｼﾞｮﾝ情報"));
  const DialogUnits du(*this);
  setFixedSize(du.Rect(0, 0, 243, 55).size());
  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  icon->setGeometry(du.Rect(11, 11, 20, 20));
  auto* version = new QLabel(QStringLiteral("Quillon Version ") + QString::fromLatin1(kVersion), this);
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

}  // namespace quillon::qt
