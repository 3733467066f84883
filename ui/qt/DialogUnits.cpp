#include "DialogUnits.h"

#include <QDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTextEdit>
#include <cstdint>

namespace vantor::qt {

BaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

int MulDiv(int n, int num, int den) {
  if (den == 0) return 0;
  std::int64_t product = static_cast<std::int64_t>(n) * num;
  const bool negative = (product < 0) != (den < 0);
  if (product < 0) product = -product;
  const std::int64_t divisor = den < 0 ? -static_cast<std::int64_t>(den) : den;
  const std::int64_t quotient = (product + divisor / 2) / divisor;
  return static_cast<int>(negative ? -quotient : quotient);
}

QSize DialogSize(const BaseUnits& units, int w, int h) {
  return QSize(MulDiv(w, units.x, 4), MulDiv(h, units.y, 8));
}

QRect DialogRect(const BaseUnits& units, int x, int y, int w, int h) {
  return QRect(QPoint(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8)), DialogSize(units, w, h));
}

QFont DialogFont(const QString& family, int pointSize) {
  static const QStringList kSameMetrics = {
      QStringLiteral("Arial"),     QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
      QStringLiteral("Helvetica"), QStringLiteral("Nimbus Sans"),     QStringLiteral("FreeSans")};
  const QStringList installed = QFontDatabase::families();
  QString chosen = family;
  if (!installed.contains(family, Qt::CaseInsensitive)) {
    for (const QString& candidate : kSameMetrics) {
      if (installed.contains(candidate, Qt::CaseInsensitive)) {
        chosen = candidate;
        break;
      }
    }
  }
  QFont font(chosen, pointSize, QFont::Normal, false);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

std::vector<QWidget*> BuildDialog(QDialog& dialog, const res::DialogTemplate& t, BaseUnits* units) {
  dialog.setWindowTitle(QString::fromUtf8(t.caption));
  dialog.setFont(DialogFont(QString::fromUtf8(t.font), t.pointSize));
  *units = BaseUnitsOf(dialog.font());
  std::vector<QWidget*> widgets;
  for (const res::DialogControl& c : t) {
    const QString caption = QString::fromUtf8(c.caption);
    QWidget* widget = nullptr;
    switch (c.kind) {
      case res::ControlKind::kLabel:
      case res::ControlKind::kIcon: {
        auto* label = new QLabel(caption, &dialog);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case res::ControlKind::kButton:
      case res::ControlKind::kDefaultButton: {
        auto* button = new QPushButton(caption, &dialog);
        const bool isDefault = c.kind == res::ControlKind::kDefaultButton;
        button->setAutoDefault(isDefault);
        button->setDefault(isDefault);
        widget = button;
        break;
      }
      case res::ControlKind::kEdit: widget = new QLineEdit(&dialog); break;
      case res::ControlKind::kMultiLineEdit: widget = new QTextEdit(&dialog); break;
    }
    widget->setGeometry(DialogRect(*units, c.x, c.y, c.cx, c.cy));
    widgets.push_back(widget);
  }
  dialog.setFixedSize(DialogSize(*units, t.cx, t.cy));
  return widgets;
}

}  // namespace vantor::qt
