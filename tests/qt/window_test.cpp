// What only the Qt window does: layout against the resource script, keys,
// boxes, menus, the cursor and the worker's hand-over to the window thread.
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>
#include <clocale>
#include <memory>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"
#include "app/local_path.h"

using namespace vantor;
using namespace vantor::qt;
using Box = QMessageBox;

namespace {

QStringList Lines(const char* path) {
  QFile file(QString(VANTOR_SOURCE_DIR "/") + path);
  return file.open(QIODevice::ReadOnly | QIODevice::Text) ? QString(file.readAll()).split('\n')
                                                          : QStringList();
}

// The statements of a DIALOGEX block, a line each: the first word, then the
// numbers and strings with the symbols resolved, and of the styles the two
// that make a control's kind.
QStringList FromScript(const QString& name) {
  QMap<QString, QString> symbols = {
      {"IDOK", "1"},
      {"ES_MULTILINE", "+ES_MULTILINE"},
      {"SS_ICON", "+SS_ICON"},
      {"VANTORTOOL_CAPTION", "\"" VANTORTOOL_CAPTION "\""},
      {"VANTORTOOL_ABOUT_VERSION", "\"" VANTORTOOL_ABOUT_VERSION "\""}};
  for (const QString& line : Lines("res/resource.h")) {
    const QStringList w = line.split(' ', Qt::SkipEmptyParts);
    if (w.size() == 3 && w[0] == "#define") symbols[w[1]] = QString(w[2]).remove('(').remove(')');
  }
  const QStringList script = Lines("res/VantorTool.rc");
  QStringList out;
  for (int i = script.indexOf(QRegularExpression(name + " DIALOGEX .*"));
       script.value(i, "END") != "END"; ++i) {
    QStringList kept;
    for (const auto& m : QRegularExpression(R"("[^"]*"|[-\w]+)").globalMatch(script[i])) {
      const QString word = symbols.value(m.captured(), m.captured());
      if (kept.isEmpty() || QString("\"+-0123456789").contains(word[0])) kept << word;
    }
    if (kept.size() > 1) out << (kept[0] == "FONT" ? kept.mid(0, 3) : kept).join(' ');
  }
  return out;
}

// The same from the table.
QStringList FromTable(int id, const res::DialogTemplate& t) {
  const char* const kinds[] = {"LTEXT \"$c\" $i $p",
                               "PUSHBUTTON \"$c\" $i $p",
                               "DEFPUSHBUTTON \"$c\" $i $p",
                               "EDITTEXT $i $p",
                               "EDITTEXT $i $p +ES_MULTILINE",
                               "CONTROL " QT_STRINGIFY(IDR_MAINFRAME) " $i \"Static\" +SS_ICON $p"};
  QStringList out = {QString::asprintf("%d 0 0 %d %d", id, t.cx, t.cy),
                     QString::asprintf("CAPTION \"%s\"", t.caption),
                     QString::asprintf("FONT %d \"%s\"", t.pointSize, t.font)};
  for (const auto& c : t) {
    out << QString(kinds[int(c.kind)])
               .replace("$i", QString::number(c.id))
               .replace("$p", QString::asprintf("%d %d %d %d", c.x, c.y, c.cx, c.cy))
               .replace("$c", c.caption);
  }
  return out;
}

// Caption, font, fixed size and each widget's place and caption in full.
void ExpectTemplate(const QWidget& dialog, const BaseUnits& u, const res::DialogTemplate& t,
                    const std::vector<QWidget*>& widgets) {
  QCOMPARE(dialog.windowTitle(), t.caption);
  QVERIFY(dialog.font().pointSize() == t.pointSize && !dialog.font().italic());
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
      QVERIFY(g.size() == QSize(32, 32) && qAbs(g.x() - c.x * sx) <= 1 &&
              qAbs(g.y() - c.y * sy) <= 1);
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

class WindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::unique_ptr<VantorToolWindow> w_;
  QStringList unexpectedBoxes_;

  void Write(const QString& name, const QByteArray& bytes) {
    QFile f(dir_.filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
  }
  QPushButton* Button(int id) { return static_cast<QPushButton*>(w_->Control(id)); }
  QLineEdit* Path() { return static_cast<QLineEdit*>(w_->Control(kIdFilePath)); }
  QTextEdit* PaneEdit() { return static_cast<QTextEdit*>(w_->Control(kIdTextPane)); }
  QString Pane() { return PaneEdit()->toPlainText(); }
  static constexpr int kControls[] = {kIdOpenFile, kIdFilePath, kIdGetInfo, kIdDownload};

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qputenv("VANTOR_READER_SIM", dir_.filePath("state.json").toLocal8Bit());
    QCoreApplication::setApplicationName("VantorTool");
  }

  void init() {
    w_ = std::make_unique<VantorToolWindow>();
    w_->SetMessageBoxRunner(
        [this](Box& box) { return unexpectedBoxes_ << box.text(), int(Box::No); });
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    QVERIFY(QTest::qWaitForWindowActive(w_.get()));
  }

  void cleanup() {
    w_.reset();
    QFile::remove(dir_.filePath("state.json"));
    QCOMPARE(std::exchange(unexpectedBoxes_, {}), QStringList());
  }

  void resourceScriptIsTheTable() {
    QCOMPARE(FromScript("IDD_VANTORTOOL_DIALOG"),
             FromTable(IDD_VANTORTOOL_DIALOG, res::kMainDialog));
    QCOMPARE(FromScript("IDD_ABOUTBOX"), FromTable(IDD_ABOUTBOX, res::kAboutDialog));
  }

  void mulDiv() {
    QCOMPARE(MulDiv(151, 27, 8), 510);  // 509.625 rounds down
    QCOMPARE(MulDiv(273, 14, 4), 956);  // 955.5 rounds up
  }

  void mainWindow() {
    VantorToolWindow& w = *w_;
    ExpectTemplate(w, w.Units(), res::kMainDialog, w.Items());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint) &&
            w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.width() <= 1100 && w.height() <= 640);  // fits a 1280 x 800 screen at 96 dpi
    QVERIFY(PaneEdit()->isReadOnly());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(32, 32)));
    // The focus starts on "Open File..." and Tab follows the template round.
    const QList<QWidget*> expected = {Button(kIdOpenFile), Path(),     Button(kIdGetInfo),
                                      Button(kIdDownload), PaneEdit(), Button(kIdOpenFile)};
    for (QWidget* next : expected) {
      QCOMPARE(QApplication::focusWidget(), next);
      QTest::keyClick(next, Qt::Key_Tab);
    }
  }

  // No caret with the focus; lines break at CR LF, CR or LF, centred, no
  // markup; a line without blanks wraps too.
  void pane() {
    const QImage unfocused = PaneEdit()->viewport()->grab().toImage();
    PaneEdit()->setFocus();
    QTRY_VERIFY(PaneEdit()->hasFocus());
    QCOMPARE(PaneEdit()->viewport()->grab().toImage(), unfocused);
    w_->SetPaneText(L"<b>50%s</b> &amp;\r\n\r\nb\rc\n");
    QCOMPARE(Pane(), "<b>50%s</b> &amp;\n\nb\nc\n");
    const QTextBlock last = PaneEdit()->document()->lastBlock();  // as every one before it
    QCOMPARE(last.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    w_->SetPaneText(std::wstring(200, L'x'));
    QVERIFY(PaneEdit()->document()->firstBlock().layout()->lineCount() > 1);
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

  // The real modal boxes, answered from the keyboard; type -1 is ShowAppMessageBox.
  void messageBoxes() {
    const struct {
      int type, buttons, icon, answer;
      Qt::Key key;
    } cases[] = {
        {kMbOk, Box::Ok, Box::NoIcon, kIdOk, Qt::Key_Return},
        {kMbYesNo, Box::Yes | Box::No, Box::NoIcon, kIdYes, Qt::Key_Return},
        {kMbYesNo, Box::Yes | Box::No, Box::NoIcon, kIdNo, Qt::Key_Escape},
        {-1, Box::Ok, Box::Warning, 0, Qt::Key_Return},
    };
    const std::wstring text = L"Short,\n line";  // narrower than the title
    VantorToolWindow w;                          // not shown: its boxes run modally
    for (const auto& c : cases) {
      QStringList seen;
      QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<Box*>(QApplication::activeModalWidget());
        seen << box->windowTitle() << box->text() << QString::number(box->standardButtons())
             << QString::number(box->icon()) << (box->parentWidget() == &w ? "owned" : "not owned");
        // Room for a title bar: the bold title beside an icon and three buttons.
        QFont bold = QApplication::font("QMdiSubWindowTitleBar");
        bold.setBold(true);
        const QFontMetrics title(bold);
        const int room = title.horizontalAdvance(box->windowTitle()) + 4 * title.height();
        seen << (box->width() >= room ? "title fits" : "too narrow");
        QTest::keyClick(box, c.key);
      });
      seen << QString::number(c.type < 0 ? (w.ShowAppMessageBox(text), 0)
                                         : w.ShowMessageBox(text, L"Info", c.type));
      QCOMPARE(seen, (QStringList{c.type < 0 ? "VantorTool" : "Info", QString::fromStdWString(text),
                                  QString::number(c.buttons), QString::number(c.icon), "owned",
                                  "title fits", QString::number(c.answer)}));
    }
  }

  // A cancelled dialog keeps the typed text; a chosen file reaches the OS
  // as Qt names it, whatever the C locale.
  void chooseFile() {
    const QString chosen = dir_.filePath(QString::fromUtf8("caf\u00e9 \u20ac.bin"));
    QString answer;
    w_->SetFileChooser([&](QWidget* parent, const QString& filter) {
      return parent == w_.get() && filter == "Bin Files (*.bin)" ? answer : "wrong call";
    });
    Path()->setText("typed by hand");
    QTest::mouseClick(Button(kIdOpenFile), Qt::LeftButton);
    QCOMPARE(Path()->text(), "typed by hand");
    answer = chosen;
    const std::string locale = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C");
    QTest::mouseClick(Button(kIdOpenFile), Qt::LeftButton);
    std::string opened = ToLocalPath(w_->Dlg().FilePath()) + "|";
    w_->Dlg().UpdateData(true);  // and again from the field
    opened += ToLocalPath(w_->Dlg().FilePath());
    std::setlocale(LC_CTYPE, locale.c_str());
    QCOMPARE(QByteArray::fromStdString(opened),
             QFile::encodeName(chosen) + "|" + QFile::encodeName(chosen));
  }

  // The worker's window operations run on the live window thread; the
  // controls are disabled and the window refuses to close meanwhile.
  void downloadWithLiveLoop() {
    Write("state.json", R"({"link_ms_per_report":4})");
    Write("slow.bin", "; slow\n" + QByteArray("00 B0 00 00\n").repeated(120));
    Path()->setText(dir_.filePath("slow.bin"));
    int ticks = 0, offThread = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    connect(PaneEdit(), &QTextEdit::textChanged, &timer,
            [&] { offThread |= QThread::currentThread() != qApp->thread(); });
    timer.start(10);
    Button(kIdDownload)->setFocus();
    QTest::keyClick(Button(kIdDownload), Qt::Key_Space);
    QTRY_VERIFY(Pane().endsWith('%'));
    for (int id : kControls) QVERIFY(!w_->Control(id)->isEnabled());
    QVERIFY(!w_->close());
    QTest::keyClick(w_.get(), Qt::Key_Escape);
    w_->accept();
    QVERIFY(w_->isVisible());
    w_->Dlg().OnDownload();  // ignored while one runs
    QTRY_VERIFY_WITH_TIMEOUT(w_->Dlg().CanClose(), 30000);
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));
    QVERIFY(!offThread);
    for (int id : kControls) QVERIFY(w_->Control(id)->isEnabled());
    QCOMPARE(w_->focusWidget(), Button(kIdDownload));  // the focus is back
    QVERIFY(w_->close());
  }

  // Each key from the focused control. Get Device Info shows the wait cursor
  // (an arrow over a box, none afterwards) and puts the path back.
  void keys_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<QKeyCombination>("key");
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QString>("effects");
    const QKeyCombination enter(Qt::Key_Return), menu(Qt::SHIFT | Qt::Key_F10),
        g(Qt::ALT | Qt::Key_G);
    const QByteArray ok = "{}", none = "no reader";
    QTest::newRow("Escape") << kIdOpenFile << QKeyCombination(Qt::Key_Escape) << ok << "closed 0";
    QTest::newRow("Enter in the path field") << kIdFilePath << enter << ok << "closed 1";
    QTest::newRow("Enter in the pane") << kIdTextPane << QKeyCombination(Qt::Key_Enter) << ok << "";
    QTest::newRow("Enter on a button") << kIdGetInfo << enter << ok << "wait: pane";
    QTest::newRow("Alt+G, no reader") << kIdFilePath << g << none << "wait: pane, arrow: box";
    QTest::newRow("Alt+O") << kIdFilePath << (Qt::ALT | Qt::Key_O) << ok << "file dialog";
    QTest::newRow("Alt+D, no such file") << kIdFilePath << (Qt::ALT | Qt::Key_D) << ok << "box";
    QTest::newRow("F1") << kIdTextPane << QKeyCombination(Qt::Key_F1) << ok << "about";
    QTest::newRow("Shift+F10 on a button") << kIdGetInfo << menu << ok << "window menu, about";
    QTest::newRow("Shift+F10 in the path field") << kIdFilePath << menu << ok << "other menu";
  }
  void keys() {
    QFETCH(int, focus);
    QFETCH(QKeyCombination, key);
    QFETCH(QByteArray, state);
    QFETCH(QString, effects);
    Write("state.json", state);
    QStringList seen;
    const auto note = [&](const QString& what) {
      const QCursor* over = QGuiApplication::overrideCursor();
      const QMap<int, QString> shapes = {{Qt::WaitCursor, "wait: "}, {Qt::ArrowCursor, "arrow: "}};
      const QString cursor = over ? shapes.value(over->shape(), "other: ") : "";
      if (seen.isEmpty() || seen.last() != cursor + what) seen << cursor + what;
    };
    w_->SetFileChooser([&](QWidget*, const QString&) { return note("file dialog"), QString(); });
    w_->SetMessageBoxRunner([&](Box&) { return note("box"), int(Box::Ok); });
    w_->SetAboutRunner([&](CAboutDlg& a) { note(a.parentWidget() == w_.get() ? "about" : "?"); });
    connect(PaneEdit(), &QTextEdit::textChanged, this, [&] { note("pane"); });
    QTimer poll;  // the window menu waits in a loop of its own, the field's does not
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      QAction* last = menu->actions().last();
      const bool windowMenu = last->text() == "&About VantorTool...";
      note(windowMenu ? "window menu" : "other menu");
      menu->close();
      if (windowMenu) last->trigger();
    });
    poll.start(10);
    const QString path = dir_.filePath("missing.bin");
    Path()->setText(path);
    w_->Control(focus)->setFocus();
    QTest::keyClick(w_->windowHandle(), key.key(), key.keyboardModifiers());
    if (!w_->isVisible()) note(QString("closed %1").arg(w_->result()));
    QTRY_COMPARE(seen.join(", "), effects);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QCOMPARE(Path()->text(), path);
    if (effects == "closed 1") QCOMPARE(QString::fromStdWString(w_->Dlg().FilePath()), path);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
