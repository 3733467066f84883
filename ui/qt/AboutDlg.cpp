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
  m_units = BaseUnitsOf(font());

  // The icon label takes the picture's own size at its place.
  m_icon = new QLabel(this);
  const QPixmap picture = AppIcon().pixmap(32, 32);
  m_icon->setPixmap(picture);
  const QRect at = DialogRect(m_units, 14, 14, 20, 20);
  m_icon->setGeometry(QRect(at.topLeft(), picture.size()));

  m_title = new QLabel(QStringLiteral("Orvane Tool "), this);
  m_title->setTextFormat(Qt::PlainText);
  m_title->setGeometry(DialogRect(m_units, 42, 14, 114, 8));

  m_version = new QLabel(QStringLiteral(VANTORTOOL_ABOUT_VERSION), this);
  m_version->setTextFormat(Qt::PlainText);
  m_version->setGeometry(DialogRect(m_units, 42, 26, 114, 8));

  m_ok = new QPushButton(QStringLiteral("OK"), this);
  m_ok->setGeometry(DialogRect(m_units, 113, 41, 50, 14));
  m_ok->setDefault(true);
  m_ok->setFocus();
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(DialogSize(m_units, 170, 62));
}

}  // namespace vantor::qt
