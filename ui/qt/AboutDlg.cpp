#include "AboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "VantorToolWindow.h"
#include "vantor_version.h"

namespace vantor::qt {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("About VantorTool"));
  setFont(DialogFont(QStringLiteral("MS Shell Dlg"), 8));
  units_ = BaseUnitsOf(font());

  // The icon label takes the picture's own size at its place.
  icon_ = new QLabel(this);
  const QPixmap picture = AppIcon().pixmap(32, 32);
  icon_->setPixmap(picture);
  const QRect at = DialogRect(units_, 14, 14, 20, 20);
  icon_->setGeometry(QRect(at.topLeft(), picture.size()));

  title_ = new QLabel(QStringLiteral("Orvane Tool "), this);
  title_->setTextFormat(Qt::PlainText);
  title_->setGeometry(DialogRect(units_, 42, 14, 114, 8));

  version_ = new QLabel(QStringLiteral(VANTORTOOL_ABOUT_VERSION), this);
  version_->setTextFormat(Qt::PlainText);
  version_->setGeometry(DialogRect(units_, 42, 26, 114, 8));

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setGeometry(DialogRect(units_, 113, 41, 50, 14));
  ok_->setDefault(true);
  ok_->setFocus();
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(DialogSize(units_, 170, 62));
}

}  // namespace vantor::qt
