// The window's look: the dialog templates of the resource script are the
// table both dialogs are made from, in proportion at a fixed size, with
// captions that fit; keyboard order, the pane's text and the icon.
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"

using namespace vantor;
using namespace vantor::qt;

namespace {

// A dialog as "caption|font points|cx cy", then a line per control:
// "statement ID "caption" x y cx cy".
QStringList FromTable(const res::DialogTemplate& t) {
  const char* const kinds[] = {
      "LTEXT",          "PUSHBUTTON", "DEFPUSHBUTTON", "EDITTEXT", "EDITTEXT+ES_MULTILINE",
      "CONTROL+SS_ICON"};
  QStringList out = {
      QString::asprintf("%s|%s %d|%d %d", t.caption, t.font, t.pointSize, t.cx, t.cy)};
  for (const auto& c : t) {
    out << QString::asprintf("%s %d \"%s\" %d %d %d %d", kinds[int(c.kind)], c.id, c.caption, c.x,
                             c.y, c.cx, c.cy);
  }
  return out;
}

QStringList Lines(const char* path) {
  QFile file(QString(VANTOR_SOURCE_DIR "/") + path);
  return file.open(QIODevice::ReadOnly | QIODevice::Text) ? QString(file.readAll()).split('\n')
                                                          : QStringList();
}

// The same from the resource script's DIALOGEX block of that name. Fields
// are split at commas (no caption holds one); names get their values.
QStringList FromScript(const QString& name) {
  QMap<QString, QString> symbols = {
      {"IDOK", "1"},
      {"VANTORTOOL_CAPTION", "\"" VANTORTOOL_CAPTION "\""},
      {"VANTORTOOL_ABOUT_VERSION", "\"" VANTORTOOL_ABOUT_VERSION "\""}};
  for (const QString& line : Lines("res/resource.h")) {
    const QStringList w = line.split(' ', Qt::SkipEmptyParts);
    if (w.size() == 3 && w[0] == "#define") symbols[w[1]] = QString(w[2]).remove('(').remove(')');
  }
  const QStringList script = Lines("res/VantorTool.rc");
  QStringList out = {""};
  QString caption, font;
  for (int i = script.indexOf(QRegularExpression(name + " DIALOGEX .*"));
       i >= 0 && script[i] != "END"; ++i) {
    const QString line = script[i].trimmed(), statement = line.section(' ', 0, 0);
    QStringList f;
    for (const QString& field : line.section(' ', 1).split(',')) {
      f << symbols.value(field.trimmed(), field.trimmed());
    }
    const QString text = f[0].startsWith('"') ? f[0].mid(1, f[0].size() - 2) : "";
    if (statement == name) {
      out[0] = f.mid(2).join(' ');
    } else if (statement == "CAPTION") {
      caption = text;
    } else if (statement == "FONT") {
      font = f[1].mid(1, f[1].size() - 2) + " " + f[0];
    } else if (statement != "STYLE" && statement != "EXSTYLE" && statement != "BEGIN") {
      // The ID first or after the caption, the place at the first number after it.
      const int id = statement == "EDITTEXT" ? 0 : 1;
      int at = id + 1;
      while (at < f.size() && f[at].toInt() == 0 && f[at] != "0") ++at;
      const QString kind = statement + (line.contains("ES_MULTILINE") ? "+ES_MULTILINE" : "") +
                           (line.contains("SS_ICON") ? "+SS_ICON" : "");
      out << QString("%1 %2 \"%3\" %4").arg(kind, f.value(id), text, f.mid(at, 4).join(' '));
    }
  }
  out[0] = caption + "|" + font + "|" + out[0];
  return out;
}

// The dialog has the template's size and cannot be resized; every widget's
// edges lie within rounding of where the template puts them, in proportion
// to the dialog, and it shows its caption in full.
void ExpectTemplate(const QWidget& dialog, const BaseUnits& u, const res::DialogTemplate& t,
                    const std::vector<QWidget*>& widgets) {
  QVERIFY(u.x >= 4 && u.y >= 8);
  QCOMPARE(dialog.windowTitle(), t.caption);
  QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
  QVERIFY(qAbs(dialog.width() * 4.0 / u.x - t.cx) <= 0.5 &&
          qAbs(dialog.height() * 8.0 / u.y - t.cy) <= 0.5);
  const double sx = dialog.width() / double(t.cx), sy = dialog.height() / double(t.cy);
  QCOMPARE(widgets.size(), t.count);
  for (std::size_t i = 0; i < t.count; ++i) {
    const res::DialogControl& c = t.controls[i];
    const QRect g = widgets[i]->geometry();
    const QString caption = c.caption, what = QString::number(i) + " " + caption;
    if (c.kind == res::ControlKind::kIcon) {
      // The picture at its own size at the icon's place.
      QCOMPARE(g.size(), QSize(32, 32));
      QVERIFY(qAbs(g.x() - c.x * sx) <= 1 && qAbs(g.y() - c.y * sy) <= 1);
      continue;
    }
    for (double off : {g.left() - c.x * sx, g.top() - c.y * sy, g.right() + 1 - (c.x + c.cx) * sx,
                       g.bottom() + 1 - (c.y + c.cy) * sy}) {
      QVERIFY2(qAbs(off) <= 1.5, qPrintable(what));
    }
    if (caption.isEmpty()) continue;
    QCOMPARE(widgets[i]->property("text").toString(), caption);
    const int frame = qobject_cast<const QPushButton*>(widgets[i]) ? 6 : 0;
    QVERIFY2(QFontMetrics(widgets[i]->font()).horizontalAdvance(caption) <= g.width() - frame,
             qPrintable(what));
  }
}

}  // namespace

class LayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void resourceScriptIsTheTable() {
    QCOMPARE(FromScript("IDD_VANTORTOOL_DIALOG"), FromTable(res::kMainDialog));
    QCOMPARE(FromScript("IDD_ABOUTBOX"), FromTable(res::kAboutDialog));
  }

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
    ExpectTemplate(w, w.Units(), res::kMainDialog, w.Items());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint) &&
            w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.width() <= 1100 && w.height() <= 640);  // fits a 1280 x 800 screen at 96 dpi
    QVERIFY(static_cast<QTextEdit*>(w.Control(kIdTextPane))->isReadOnly());
    // The application icon: 32 x 32, 24 bits per pixel.
    const QImage image(":/vantortool.png");
    QVERIFY(image.size() == QSize(32, 32) && !image.hasAlphaChannel());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(32, 32)));
    // The focus starts on "Open File..." and Tab follows the template's
    // order, round to the start.
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QList<QWidget*> order, expected;
    for (const res::DialogControl& c : res::kMainDialog) {
      if (c.id != IDC_STATIC) expected << w.Control(c.id);
    }
    for (int i = 0; i <= expected.size(); ++i) {
      order << QApplication::focusWidget();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, expected << expected.front());
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
    ExpectTemplate(about, about.Units(), res::kAboutDialog, about.Items());
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
