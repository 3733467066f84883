#include "AboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "VantorToolWindow.h"

namespace vantor::qt {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  items_ = BuildDialog(*this, res::kAboutDialog, &units_);
  // The icon takes the picture's own size at its place.
  auto* icon = qobject_cast<QLabel*>(items_.front());
  const QPixmap picture = AppIcon().pixmap(32, 32);
  icon->setPixmap(picture);
  icon->resize(picture.size());
  auto* ok = qobject_cast<QPushButton*>(items_.back());
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace vantor::qt
