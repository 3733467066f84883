// What the Qt window adds to the handlers: the buttons and keys that reach
// them, the real message boxes, the file dialog's answer, the worker's window
// operations carried out on the window thread, closing, the About box, the
// keys and the wait cursor.
// The handlers' texts and sequences are checked in controller_test.cpp.
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>
#include <clocale>
#include <memory>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"
#include "app/local_path.h"

using namespace vantor;
using vantor::qt::VantorToolWindow;
using Box = QMessageBox;

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
    // No flow below shows a box; one that does fails instead of waiting.
    w_->SetMessageBoxRunner([this](Box& box) {
      unexpectedBoxes_ << box.text();
      return int(Box::No);
    });
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    QVERIFY(QTest::qWaitForWindowActive(w_.get()));  // the window's shortcuts need it
  }

  void cleanup() {
    w_.reset();
    QFile::remove(dir_.filePath("state.json"));
    QCOMPARE(std::exchange(unexpectedBoxes_, {}), QStringList());
  }

  // The real modal boxes over the window, answered from the keyboard.
  // Type -1: the application's box, which answers nothing.
  void messageBoxes() {
    const struct {
      int type;
      Qt::Key key;
      QString caption;
      int buttons;
      int icon;
      int answer;
    } cases[] = {
        {kMbOk, Qt::Key_Return, "Info", Box::Ok, Box::NoIcon, kIdOk},
        {kMbYesNo, Qt::Key_Return, "Info", Box::Yes | Box::No, Box::NoIcon, kIdYes},
        {kMbYesNo, Qt::Key_Escape, "Info", Box::Yes | Box::No, Box::NoIcon, kIdNo},
        {-1, Qt::Key_Return, "VantorTool", Box::Ok, Box::Warning, 0},
    };
    const std::wstring text = L"Short,\n line";  // narrower than the title
    VantorToolWindow w;                          // its boxes run modally, as in the application
    for (const auto& c : cases) {
      QStringList seen;
      QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<Box*>(QApplication::activeModalWidget());
        seen << box->windowTitle() << box->text() << QString::number(box->standardButtons())
             << QString::number(box->icon()) << (box->parentWidget() == &w ? "owned" : "not owned");
        // Wide enough for a window manager's title bar: the title in bold
        // beside an icon and three buttons, each about a line high.
        QFont bold = QApplication::font("QMdiSubWindowTitleBar");
        bold.setBold(true);
        const QFontMetrics title(bold);
        seen << (box->width() >= title.horizontalAdvance(box->windowTitle()) + 4 * title.height()
                     ? "title fits"
                     : "too narrow");
        QTest::keyClick(box, c.key);
      });
      const int got =
          c.type < 0 ? (w.ShowAppMessageBox(text), 0) : w.ShowMessageBox(text, L"Info", c.type);
      QCOMPARE(seen,
               (QStringList{c.caption, QString::fromStdWString(text), QString::number(c.buttons),
                            QString::number(c.icon), "owned", "title fits"}));
      QCOMPARE(got, c.answer);
    }
  }

  // "Open File...": a cancelled dialog keeps the typed text; a chosen file
  // replaces it, and a long path shows its end.
  void chooseFile() {
    const QString longPath = "/home/operator/" + QString(30, 'd') + "/scripts/offline-data-v2.bin";
    QString answer;
    QStringList asked;
    w_->SetFileChooser([&](QWidget* parent, const QString& filter) {
      asked << filter;
      return parent == w_.get() ? answer : "wrong parent";
    });
    Path()->setText("typed by hand");
    QTest::mouseClick(Button(kIdOpenFile), Qt::LeftButton);
    QCOMPARE(Path()->text(), "typed by hand");
    answer = longPath;
    Path()->setCursorPosition(0);
    QTest::mouseClick(Button(kIdOpenFile), Qt::LeftButton);
    QCOMPARE(asked, QStringList(2, "Bin Files (*.bin)"));
    QCOMPARE(Path()->text(), longPath);
    Path()->repaint();
    QCOMPARE(Path()->cursorPosition(), longPath.size());
    QVERIFY(Path()->inputMethodQuery(Qt::ImCursorRectangle).toRect().right() <= Path()->width());
  }

  // The chosen file's path reaches the OS as Qt names the file, whatever
  // the C library's locale would make of it.
  void chosenPathKeepsItsBytes() {
    const QString chosen = dir_.filePath(QString::fromUtf8("caf\u00e9 \u20ac.bin"));
    w_->SetFileChooser([&](QWidget*, const QString&) { return chosen; });
    const std::string locale = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C");
    QTest::mouseClick(Button(kIdOpenFile), Qt::LeftButton);
    const std::string opened = ToLocalPath(w_->Dlg().FilePath());
    w_->Dlg().UpdateData(true);
    const std::string again = ToLocalPath(w_->Dlg().FilePath());
    std::setlocale(LC_CTYPE, locale.c_str());
    QCOMPARE(QByteArray::fromStdString(opened), QFile::encodeName(chosen));
    QCOMPARE(QByteArray::fromStdString(again), QFile::encodeName(chosen));
  }

  // A download on a slow reader. The worker's window operations are carried
  // out on the window thread while its event loop keeps turning; meanwhile
  // the controls are disabled and the window refuses to close.
  void downloadWithLiveLoop() {
    Write("state.json", R"({"link_ms_per_report":4})");
    Write("slow.bin", "; slow\n" + QByteArray("00 B0 00 00\n").repeated(120));
    Path()->setText(dir_.filePath("slow.bin"));
    int ticks = 0;
    bool offThread = false;
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
    w_->Dlg().OnDownload();  // ignored: starting a second worker would wait for this one
    QTRY_VERIFY_WITH_TIMEOUT(w_->Dlg().CanClose(), 30000);
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));
    QVERIFY(!offThread);
    QCOMPARE(Pane(), "slow.bin\n\nDownload SUCCESS!\n");
    for (int id : kControls) QVERIFY(w_->Control(id)->isEnabled());
    QCOMPARE(w_->focusWidget(), Button(kIdDownload));  // the focus is back
    QVERIFY(w_->close());
  }

  void keys_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");  // -1: the window stays
    QTest::addColumn<QString>("pane");
    QTest::newRow("Escape") << kIdOpenFile << int(Qt::Key_Escape) << int(QDialog::Rejected) << "";
    QTest::newRow("Enter in the path field")
        << kIdFilePath << int(Qt::Key_Return) << int(QDialog::Accepted) << "";
    QTest::newRow("Enter on a button clicks it")
        << kIdGetInfo << int(Qt::Key_Return) << -1
        << "Firmware Version: VR-0205 V2.05\n\nNo Offline File!\n";
    QTest::newRow("Enter in the pane") << kIdTextPane << int(Qt::Key_Enter) << -1 << "";
  }
  void keys() {
    QFETCH(int, focus);
    QFETCH(int, key);
    QFETCH(int, result);
    Path()->setText("typed.bin");
    w_->Control(focus)->setFocus();
    QTest::keyClick(w_->Control(focus), Qt::Key(key));
    QCOMPARE(w_->isVisible(), result == -1);
    if (result != -1) QCOMPARE(w_->result(), result);
    QTEST(Pane(), "pane");
    // Enter in the path field hands its text over as the file path.
    if (result == QDialog::Accepted)
      QCOMPARE(QString::fromStdWString(w_->Dlg().FilePath()), "typed.bin");
  }

  // Get Device Info blocks the window thread until the reader answers: the
  // wait cursor is up from the first question to the last step, also when
  // a step fails, and gone afterwards; a box over it has the normal cursor.
  // The path field shows the end of the path the handler puts back.
  void getDeviceInfoWaitCursor() {
    const struct {
      QByteArray state;
      QStringList seen;
    } cases[] = {
        {R"({"firmware_version": "V2"})",
         {"wait: Firmware Version: V2\n\n", "wait: Firmware Version: V2\n\nNo Offline File!\n"}},
        {R"({"faults": [{"code": 137, "nth": 1, "action": "status", "status": 3}]})",
         {"wait: Get Device Firmware Version Error!"}},
        {"no reader", {"wait: Open Device Error!", "arrow: box"}},
    };
    const QString longPath = "/home/operator/" + QString(40, 'd') + "/offline-data.bin";
    for (const auto& c : cases) {
      Write("state.json", c.state);
      QStringList seen;
      const auto cursor = [] {
        const QCursor* over = QGuiApplication::overrideCursor();
        return !over                              ? "none"
               : over->shape() == Qt::WaitCursor  ? "wait"
               : over->shape() == Qt::ArrowCursor ? "arrow"
                                                  : "other";
      };
      const auto see = [&](const QString& what) {
        const QString entry = cursor() + QString(": ") + what;
        if (seen.isEmpty() || seen.last() != entry)
          seen << entry;  // a text may come in several changes
      };
      QMetaObject::Connection watch =
          connect(PaneEdit(), &QTextEdit::textChanged, this, [&] { see(Pane()); });
      w_->SetMessageBoxRunner([&](Box&) {
        see("box");
        return int(Box::Ok);
      });
      Path()->setText(longPath);
      Path()->setCursorPosition(0);
      QTest::mouseClick(Button(kIdGetInfo), Qt::LeftButton);
      disconnect(watch);
      QCOMPARE(seen, c.seen);
      QCOMPARE(QString(cursor()), "none");
      QCOMPARE(Path()->cursorPosition(), longPath.size());
    }
  }

  // Alt and a button's first letter press it, also from the path field,
  // which keeps its text.
  void buttonKeys() {
    const struct {
      Qt::Key key;
      QString effect;
    } cases[] = {
        {Qt::Key_O, "file dialog"},
        {Qt::Key_G, "pane Firmware Version: VR-0205 V2.05\n\nNo Offline File!\n"},
        {Qt::Key_D, "box Open File Error!"},
    };
    for (const auto& c : cases) {
      QStringList effects;
      w_->SetFileChooser([&](QWidget*, const QString&) {
        effects << "file dialog";
        return QString();
      });
      w_->SetMessageBoxRunner([&](Box& box) {
        effects << "box " + box.text();
        return int(Box::Ok);
      });
      QMetaObject::Connection watch = connect(PaneEdit(), &QTextEdit::textChanged, this, [&] {
        if (!Pane().isEmpty()) effects << "pane " + Pane();
      });
      Path()->setText(dir_.filePath("missing.bin"));
      Path()->setFocus();
      QTest::keyClick(Path(), c.key, Qt::AltModifier);
      QTRY_VERIFY(!effects.isEmpty());
      QCOMPARE(effects.last(), c.effect);
      QCOMPARE(Path()->text(), dir_.filePath("missing.bin"));
      disconnect(watch);
      PaneEdit()->clear();
    }
  }

  // Shift+F10 opens the context menu of the focused control, as the Menu
  // key does: the window menu from a button, the field's own in the field.
  void shiftF10() {
    const struct {
      int focus;
      bool windowMenu;
    } cases[] = {{kIdGetInfo, true}, {kIdFilePath, false}};
    for (const auto& c : cases) {
      w_->activateWindow();  // again after the last menu
      QVERIFY(QTest::qWaitForWindowActive(w_.get()));
      w_->Control(c.focus)->setFocus();
      QString last;
      QTimer poll;  // the window menu waits in a loop of its own, the field's does not
      connect(&poll, &QTimer::timeout, this, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        last = menu->actions().last()->text();
        menu->close();
        poll.stop();
      });
      poll.start(10);
      QTest::keyClick(w_->windowHandle(), Qt::Key_F10, Qt::ShiftModifier);
      QTRY_VERIFY(!last.isEmpty());
      QCOMPARE(last == "&About VantorTool...", c.windowMenu);
    }
  }

  // The read-only pane shows no caret when it has the focus.
  void paneWithoutCaret() {
    QWidget* view = PaneEdit()->viewport();
    const QImage unfocused = view->grab().toImage();
    PaneEdit()->setFocus();
    QTRY_VERIFY(PaneEdit()->hasFocus());
    QCOMPARE(view->grab().toImage(), unfocused);
  }

  // The About box, from the window menu and from F1, over the window.
  void about() {
    int shown = 0;
    w_->SetAboutRunner([&](qt::CAboutDlg& about) { shown += about.parentWidget() == w_.get(); });
    const std::unique_ptr<QMenu> menu(w_->CreateWindowMenu());
    QCOMPARE(menu->actions().last()->text(), "&About VantorTool...");
    menu->actions().last()->trigger();
    QTest::keyClick(w_->windowHandle(), Qt::Key_F1);
    QCOMPARE(shown, 2);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
