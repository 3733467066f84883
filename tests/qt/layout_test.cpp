// The window's look: the layout of both dialogs against their dialog-unit
// tables, fonts that fit, keyboard order, the pane's text handling and the
// application icon.
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"

using namespace vantor;
using namespace vantor::qt;

Q_DECLARE_METATYPE(std::wstring)

class LayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void mulDiv_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("num");
    QTest::addColumn<int>("den");
    QTest::addColumn<int>("expected");
    QTest::newRow("rounds down") << 151 << 27 << 8 << 510;  // 509.625
    QTest::newRow("half up") << 273 << 14 << 4 << 956;       // 955.5
    QTest::newRow("half away from zero") << -3 << 3 << 2 << -5;
    QTest::newRow("no overflow") << 2000000000 << 3 << 4 << 1500000000;
    QTest::newRow("zero divisor") << 5 << 1 << 0 << 0;
  }
  void mulDiv() {
    QFETCH(int, n);
    QFETCH(int, num);
    QFETCH(int, den);
    QFETCH(int, expected);
    QCOMPARE(MulDiv(n, num, den), expected);
  }

  // Every control where its dialog units put it, in proportion to the
  // window, whatever the font's base units came out as.
  void mainWindow_data() {
    QTest::addColumn<int>("id");  // -1: the "File:" label
    QTest::addColumn<QRect>("dlu");
    QTest::addColumn<QString>("text");
    QTest::newRow("File:") << -1 << QRect(7, 8, 14, 8) << "File:";
    QTest::newRow("Open File...") << kIdOpenFile << QRect(194, 5, 74, 14) << "Open File...";
    QTest::newRow("path field") << kIdFilePath << QRect(25, 5, 167, 13) << "";
    QTest::newRow("Get Device Info") << kIdGetInfo << QRect(194, 116, 74, 28) << "Get Device Info";
    QTest::newRow("Download") << kIdDownload << QRect(194, 37, 74, 28) << "Download To  Device";
    QTest::newRow("pane") << kIdTextPane << QRect(7, 39, 185, 105) << "";
  }
  void mainWindow() {
    QFETCH(int, id);
    QFETCH(QRect, dlu);
    QFETCH(QString, text);
    VantorToolWindow w;
    const BaseUnits u = w.Units();
    QVERIFY(u.x >= 4 && u.y >= 8);
    QCOMPARE(w.minimumSize(), QSize(MulDiv(273, u.x, 4), MulDiv(151, u.y, 8)));
    QCOMPARE(w.maximumSize(), w.minimumSize());
    QWidget* c = id == -1 ? w.FileLabel() : w.Control(id);
    QCOMPARE(c->geometry(), DialogRect(u, dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    const auto near = [](double a, double b) { return qAbs(a - b) < 0.006; };
    const QRect g = c->geometry();
    QVERIFY(near(g.left() / double(w.width()), dlu.left() / 273.0));
    QVERIFY(near((g.right() + 1) / double(w.width()), (dlu.right() + 1) / 273.0));
    QVERIFY(near(g.top() / double(w.height()), dlu.top() / 151.0));
    QVERIFY(near((g.bottom() + 1) / double(w.height()), (dlu.bottom() + 1) / 151.0));
    if (!text.isEmpty()) {
      const QString shown = id == -1 ? w.FileLabel()->text()
                                     : static_cast<QPushButton*>(c)->text();
      QCOMPARE(shown, text);
      // The caption fits, with room for the frame of a button.
      const int room = g.width() - (id == -1 ? 0 : 6);
      QVERIFY2(QFontMetrics(c->font()).horizontalAdvance(text) <= room, qPrintable(text));
    }
  }

  void mainWindowBehaviour() {
    VantorToolWindow w;
    QCOMPARE(w.windowTitle(), "Orvane V1.0.0.6");
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!w.windowIcon().isNull());
    // A window this size fits a 1280 x 800 screen at 96 dpi.
    QVERIFY2(w.width() <= 1100 && w.height() <= 640,
             qPrintable(QString("%1 x %2").arg(w.width()).arg(w.height())));
    for (QPushButton* b : w.findChildren<QPushButton*>()) {
      QVERIFY(!b->isDefault() && !b->autoDefault());
    }
    QCOMPARE(static_cast<QLineEdit*>(w.Control(kIdFilePath))->alignment() & Qt::AlignHorizontal_Mask,
             Qt::AlignRight);
    QVERIFY(static_cast<QTextEdit*>(w.Control(kIdTextPane))->isReadOnly());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget(), w.Control(kIdOpenFile));
    // Tab follows the resource: Get Device Info, then Download To  Device.
    QList<QWidget*> order;
    for (int i = 0; i < 5; ++i) {
      order << QApplication::focusWidget();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    const QList<QWidget*> expected = {w.Control(kIdOpenFile), w.Control(kIdFilePath),
                                      w.Control(kIdGetInfo), w.Control(kIdDownload),
                                      w.Control(kIdTextPane)};
    QCOMPARE(order, expected);
    QCOMPARE(QApplication::focusWidget(), w.Control(kIdOpenFile));  // and round again
  }

  void pane_data() {
    QTest::addColumn<std::wstring>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("CR LF") << std::wstring(L"x.bin\r\n\r\nDownload SUCCESS!\r\n")
                           << QStringList{"x.bin", "", "Download SUCCESS!", ""};
    QTest::newRow("lone CR and LF") << std::wstring(L"a\rb\nc") << QStringList{"a", "b", "c"};
    QTest::newRow("no markup") << std::wstring(L"<b>50%s</b> &amp;")
                               << QStringList{"<b>50%s</b> &amp;"};
  }
  void pane() {
    QFETCH(std::wstring, text);
    QFETCH(QStringList, lines);
    VantorToolWindow w;
    w.SetPaneText(L"something before");
    w.SetPaneText(text);  // the whole text is replaced
    auto* pane = static_cast<QTextEdit*>(w.Control(kIdTextPane));
    QCOMPARE(pane->toPlainText(), lines.join('\n'));
    int n = 0;
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next(), ++n) {
      QCOMPARE(b.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    }
    QCOMPARE(n, lines.size());
  }

  void aboutBox() {
    CAboutDlg about;
    const BaseUnits u = about.Units();
    QCOMPARE(about.windowTitle(), "About VantorTool");
    QCOMPARE(about.minimumSize(), DialogSize(u, 170, 62));
    QCOMPARE(about.maximumSize(), about.minimumSize());
    QCOMPARE(about.IconLabel()->pixmap().size(), QSize(32, 32));
    QCOMPARE(about.IconLabel()->pos(), DialogRect(u, 14, 14, 20, 20).topLeft());
    QCOMPARE(about.TitleLabel()->text(), "Orvane Tool ");
    QCOMPARE(about.TitleLabel()->geometry(), DialogRect(u, 42, 14, 114, 8));
    QCOMPARE(about.VersionLabel()->geometry(), DialogRect(u, 42, 26, 114, 8));
    QCOMPARE(about.OkButton()->geometry(), DialogRect(u, 113, 41, 50, 14));
    QVERIFY(about.OkButton()->isDefault());
    for (QLabel* l : {about.TitleLabel(), about.VersionLabel()}) {
      QVERIFY2(QFontMetrics(l->font()).horizontalAdvance(l->text()) <= l->width(),
               qPrintable(l->text()));
    }
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
      about.show();
      QVERIFY(QTest::qWaitForWindowExposed(&about));
      QTest::keyClick(&about, key);
      QVERIFY(!about.isVisible());
    }
  }

  void icon() {
    const QImage image(":/vantortool.png");
    QCOMPARE(image.size(), QSize(32, 32));
    QVERIFY(!image.hasAlphaChannel());  // 24 bits per pixel
    QVERIFY(AppIcon().availableSizes().contains(QSize(32, 32)));
  }
};

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"
