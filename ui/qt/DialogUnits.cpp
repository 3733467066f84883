#include "DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>
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

}  // namespace vantor::qt
