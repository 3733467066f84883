// Dialog units: the window layouts are drawn in units of their dialog
// font, a quarter of the font's average character width across and an
// eighth of its height down, so a layout keeps its proportions whatever
// font the system ends up using.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <vector>

#include "dialog_layout.h"

class QDialog;
class QWidget;

namespace vantor::qt {

struct BaseUnits {
  int x = 0;  // average width of the 52 Latin letters, rounded
  int y = 0;  // the font's height (ascent + descent)
};

// The base units of font as the layouts measure them.
BaseUnits BaseUnitsOf(const QFont& font);

// n * num / den, rounded half away from zero, computed without overflow.
int MulDiv(int n, int num, int den);

// A size or a rectangle given in dialog units, in pixels. Each value is
// converted on its own, so neighbouring controls keep their gaps.
QSize DialogSize(const BaseUnits& units, int w, int h);
QRect DialogRect(const BaseUnits& units, int x, int y, int w, int h);

// The font a layout was drawn with. When family is not installed, the
// first installed family with the same metrics takes its place (the common
// sans serif faces share Arial's widths); failing that, the system's sans
// serif face.
QFont DialogFont(const QString& family, int pointSize);

// Makes dialog from its template, as the system makes a dialog from its
// resource: the caption, the template's font, one widget per control in
// the template's order (which is thus the Tab order) at its place, and the
// size, fixed. Labels show plain text; only the default button takes Enter
// without the focus; the icon is a label to put the picture in. Returns the
// widgets in the template's order; *units gets the font's base units.
std::vector<QWidget*> BuildDialog(QDialog& dialog, const res::DialogTemplate& t, BaseUnits* units);

}  // namespace vantor::qt
