// The window's look: both dialogs in proportion to their dialog-unit
// templates at a fixed size, captions that fit, keyboard order, the pane's
// text and the application icon.
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"

using namespace vantor;
using namespace vantor::qt;

namespace {

// A widget, its place in the template and its caption ("" for none).
struct Placed {
  QWidget* widget;
  QRect dlu;
  QString caption;
};

// The dialog has the template's size (w x h dialog units) and cannot be
// resized; every widget's edges lie within rounding of where the template
// puts them, in proportion to the dialog, and it shows its caption in full.
void ExpectTemplate(const QWidget& dialog, const BaseUnits& u, int w, int h,
                    const QList<Placed>& placed) {
  QVERIFY(u.x >= 4 && u.y >= 8);
  QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
  QVERIFY(qAbs(dialog.width() * 4.0 / u.x - w) <= 0.5 &&
          qAbs(dialog.height() * 8.0 / u.y - h) <= 0.5);
  const double sx = dialog.width() / double(w), sy = dialog.height() / double(h);
  for (const Placed& p : placed) {
    const QRect g = p.widget->geometry();
    const QRect& d = p.dlu;
    const QString what = QString(p.widget->metaObject()->className()) + " " + p.caption;
    for (double off :
         {g.left() - d.left() * sx, g.top() - d.top() * sy, g.right() + 1 - (d.right() + 1) * sx,
          g.bottom() + 1 - (d.bottom() + 1) * sy}) {
      QVERIFY2(qAbs(off) <= 1.5, qPrintable(what));
    }
    QCOMPARE(p.widget->property("text").toString(), p.caption);
    const int frame = qobject_cast<const QPushButton*>(p.widget) ? 6 : 0;
    QVERIFY2(QFontMetrics(p.widget->font()).horizontalAdvance(p.caption) <= g.width() - frame,
             qPrintable(what));
  }
}

}  // namespace

class LayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void mulDiv() {
    const struct {
      int n, num, den, expected;
    } cases[] = {
        {151, 27, 8, 510},               // 509.625 rounds down
        {273, 14, 4, 956},               // 955.5 rounds up
        {-3, 3, 2, -5},                  // and away from zero
        {2000000000, 3, 4, 1500000000},  // no overflow
        {5, 1, 0, 0},                    // zero divisor
    };
    for (const auto& c : cases) QCOMPARE(MulDiv(c.n, c.num, c.den), c.expected);
  }

  void mainWindow() {
    VantorToolWindow w;
    ExpectTemplate(w, w.Units(), 273, 151,
                   {{w.FileLabel(), {7, 8, 14, 8}, "File:"},
                    {w.Control(kIdOpenFile), {194, 5, 74, 14}, "Open File..."},
                    {w.Control(kIdFilePath), {25, 5, 167, 13}, ""},
                    {w.Control(kIdGetInfo), {194, 116, 74, 28}, "Get Device Info"},
                    {w.Control(kIdDownload), {194, 37, 74, 28}, "Download To  Device"},
                    {w.Control(kIdTextPane), {7, 39, 185, 105}, ""}});
    QCOMPARE(w.windowTitle(), "Orvane V1.0.0.6");
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint) &&
            w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.width() <= 1100 && w.height() <= 640);  // fits a 1280 x 800 screen at 96 dpi
    QVERIFY(static_cast<QTextEdit*>(w.Control(kIdTextPane))->isReadOnly());
    // The application icon: 32 x 32, 24 bits per pixel.
    const QImage image(":/vantortool.png");
    QVERIFY(image.size() == QSize(32, 32) && !image.hasAlphaChannel());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(32, 32)));
    // The focus starts on "Open File..." and Tab follows the template's order:
    // "Get Device Info" before "Download To  Device", which stands above it.
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QList<QWidget*> order;
    for (int i = 0; i < 6; ++i) {
      order << QApplication::focusWidget();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, (QList<QWidget*>{w.Control(kIdOpenFile), w.Control(kIdFilePath),
                                     w.Control(kIdGetInfo), w.Control(kIdDownload),
                                     w.Control(kIdTextPane), w.Control(kIdOpenFile)}));
  }

  // The pane breaks lines at CR LF, a lone CR or LF, shows no markup and
  // centres every line; each text replaces the one before.
  void pane() {
    VantorToolWindow w;
    auto* pane = static_cast<QTextEdit*>(w.Control(kIdTextPane));
    w.SetPaneText(L"before\r\n");
    w.SetPaneText(L"<b>50%s</b> &amp;\r\n\r\nb\rc\n");
    QCOMPARE(pane->toPlainText(), "<b>50%s</b> &amp;\n\nb\nc\n");
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next()) {
      QCOMPARE(b.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    }
  }

  void aboutBox() {
    CAboutDlg about;
    ExpectTemplate(about, about.Units(), 170, 62,
                   {{about.TitleLabel(), {42, 14, 114, 8}, "Orvane Tool "},
                    {about.VersionLabel(), {42, 26, 114, 8}, "Version 1.0.0.6"},
                    {about.OkButton(), {113, 41, 50, 14}, "OK"}});
    // The icon at its place, at the picture's own size.
    QCOMPARE(about.IconLabel()->size(), QSize(32, 32));
    QVERIFY(qAbs(about.IconLabel()->x() - 14.0 * about.width() / 170) <= 1 &&
            qAbs(about.IconLabel()->y() - 14.0 * about.height() / 62) <= 1);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
      about.show();
      QVERIFY(QTest::qWaitForWindowExposed(&about));
      QTest::keyClick(&about, key);
      QVERIFY2(!about.isVisible(), qPrintable(QKeySequence(key).toString()));
    }
  }
};

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"
