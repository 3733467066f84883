// The window's flows against the emulated reader, with the file dialog and
// the message boxes replaced: what the operator sees in the pane and in the
// boxes, which controls can be used, and when the window may close.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "ui/qt/AboutDlg.h"
#include "ui/qt/VantorToolWindow.h"

using namespace vantor;
using vantor::qt::VantorToolWindow;

namespace {
const QString kQuestion =
    "Info|This file is Update the Device Firmware, \n please confirm!|Yes,No|no icon";
const QString kNoReaderBox = "Info|Open Device Error!|Ok|no icon";
}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::unique_ptr<VantorToolWindow> w_;
  QStringList boxes_;    // caption|text|buttons|icon of every box shown
  QList<Qt::Key> answers_;  // the key that answers each Yes/No box
  QStringList filters_;  // filters the file dialog was given
  QString chosen_;       // the file dialog's answer ("" = cancel)
  QStringList panes_;    // every text the pane showed

  void Write(const QString& name, const QByteArray& bytes) {
    QFile f(dir_.filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  // The reader's state as last saved, below path ("firmware/blocks").
  QString StateAt(const QString& path) {
    w_->Dlg().CloseReader();
    QFile f(dir_.filePath("state.json"));
    if (!f.open(QIODevice::ReadOnly)) return "no state";
    QJsonValue v = QJsonDocument::fromJson(f.readAll()).object();
    for (const QString& key : path.split('/')) v = v.toObject().value(key);
    const QJsonDocument doc = v.isArray() ? QJsonDocument(v.toArray())
                                          : QJsonDocument(QJsonArray{v});
    return QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
  }
  QPushButton* Button(int id) { return static_cast<QPushButton*>(w_->Control(id)); }
  QLineEdit* Path() { return static_cast<QLineEdit*>(w_->Control(kIdFilePath)); }
  QString Pane() { return static_cast<QTextEdit*>(w_->Control(kIdTextPane))->toPlainText(); }
  void ExpectControlsEnabled(bool enabled) {
    for (int id : {kIdOpenFile, kIdFilePath, kIdGetInfo, kIdDownload}) {
      QVERIFY2(w_->Control(id)->isEnabled() == enabled, qPrintable(QString::number(id)));
    }
  }
  void SetPathTo(const QString& name) { Path()->setText(name.isEmpty() ? "" : dir_.filePath(name)); }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qputenv("VANTOR_READER_SIM", dir_.filePath("state.json").toLocal8Bit());
    qputenv("VANTOR_READ_TIMEOUT_MS", "300");
    qputenv("VANTOR_CODEPAGE", "CP1252");
    QCoreApplication::setApplicationName("VantorTool");
  }

  void init() {
    w_ = std::make_unique<VantorToolWindow>();
    w_->SetMessageBoxRunner([this](QMessageBox& box) {
      const bool yesNo = box.standardButtons() == (QMessageBox::Yes | QMessageBox::No);
      const QString icon = box.icon() == QMessageBox::NoIcon    ? "no icon"
                           : box.icon() == QMessageBox::Warning ? "warning"
                                                                : "other";
      boxes_ << box.windowTitle() + "|" + box.text() + "|" + (yesNo ? "Yes,No" : "Ok") + "|" + icon;
      if (box.standardButtons() == QMessageBox::Ok) return int(QMessageBox::Ok);
      box.show();  // the real box answers the key
      QTest::keyClick(&box, answers_.isEmpty() ? Qt::Key_Escape : answers_.takeFirst());
      return int(box.standardButton(box.clickedButton()));
    });
    w_->SetFileChooser([this](QWidget* parent, const QString& filter) {
      filters_ << filter;
      return parent == w_.get() ? chosen_ : "wrong parent";
    });
    connect(static_cast<QTextEdit*>(w_->Control(kIdTextPane)), &QTextEdit::textChanged, this,
            [this] { panes_ << Pane(); });
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
  }

  void cleanup() {
    w_.reset();
    boxes_.clear();
    answers_.clear();
    filters_.clear();
    panes_.clear();
    QFile::remove(dir_.filePath("state.json"));
  }

  void chooseFile_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("shown");
    const QString longPath = "/home/operator/" + QString(30, 'd') + "/scripts/offline-data-v2.bin";
    QTest::newRow("chosen") << "typed" << longPath << longPath;
    QTest::newRow("cancelled keeps the typed text") << "typed by hand" << "" << "typed by hand";
  }
  void chooseFile() {
    QFETCH(QString, typed);
    QFETCH(QString, chosen);
    QFETCH(QString, shown);
    Path()->setText(typed);
    Path()->setCursorPosition(0);
    chosen_ = chosen;
    Button(kIdOpenFile)->click();
    QCOMPARE(filters_, QStringList{"Bin Files (*.bin)"});
    QCOMPARE(Path()->text(), shown);
    QCOMPARE(QString::fromStdWString(w_->Dlg().FilePath()), shown);
    if (!chosen.isEmpty()) {
      // The caret is at the end and in sight: the field shows the file name.
      Path()->repaint();
      QCOMPARE(Path()->cursorPosition(), shown.size());
      QVERIFY(Path()->inputMethodQuery(Qt::ImCursorRectangle).toRect().right() <= Path()->width());
    }
  }

  // Downloads that reach the worker, and firmware downloads not confirmed.
  void download_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<Qt::Key>>("answers");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("progress");  // a pane text seen during the run
    QTest::addColumn<QString>("pane");      // the pane at the end
    QTest::addColumn<QString>("state");     // path in the reader's state
    QTest::addColumn<QString>("value");     // its value there
    const QByteArray fw = ";FW=F1 ProductType=22 ProductNum=33\n0102\n03 04\n";
    QTest::newRow("offline script")
        << "x.bin" << QByteArray("; offline data\r\n00 a4 04 00\r\nreset\r\nC-APDU 00 B0\r\n")
        << QList<Qt::Key>{} << QStringList{} << "Loading...\n75%" << "x.bin\n\nDownload SUCCESS!\n"
        << "offline_file_name" << R"(["782E62696E"])";
    QTest::newRow("firmware, Enter is Yes")
        << "fw.bin" << fw << QList<Qt::Key>{Qt::Key_Return} << QStringList{kQuestion}
        << "Loading...\n66%" << "fw.bin\n\nDownload SUCCESS!\n" << "firmware/blocks"
        << R"(["0102","0304"])";
    QTest::newRow("firmware, Escape is No") << "fw.bin" << fw << QList<Qt::Key>{Qt::Key_Escape}
                                            << QStringList{kQuestion} << "" << "" << "log" << "[]";
    QTest::newRow("nothing to send") << "e.bin" << QByteArray(";x=E0\n00 11\n") << QList<Qt::Key>{}
                                     << QStringList{} << "" << "Loading...\n" << "log" << "[]";
  }
  void download() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QList<Qt::Key>, answers);
    QFETCH(QStringList, boxes);
    QFETCH(QString, progress);
    QFETCH(QString, pane);
    answers_ = answers;
    Write(name, content);
    SetPathTo(name);
    Button(kIdDownload)->click();
    QTRY_VERIFY_WITH_TIMEOUT(w_->Dlg().CanClose(), 20000);
    QCOMPARE(boxes_, boxes);
    if (!progress.isEmpty()) QVERIFY2(panes_.contains(progress), qPrintable(panes_.join(" / ")));
    QCOMPARE(Pane(), pane);
    // The status text keeps its CR LF; the pane shows it as line breaks.
    QCOMPARE(qt::PaneTextForQt(w_->Dlg().StatusText()), pane);
    ExpectControlsEnabled(true);
    QFETCH(QString, state);
    QFETCH(QString, value);
    QCOMPARE(StateAt(state), value);
  }

  // Commands that end before a worker starts: a box, and nothing sent.
  void downloadRefused_data() {
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QString>("name");  // "" = no file chosen
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("pane");
    QTest::newRow("no file chosen") << QByteArray() << "" << QByteArray()
                                    << "Info|Please Open File !|Ok|no icon" << "";
    QTest::newRow("missing file") << QByteArray() << "missing.bin" << QByteArray()
                                  << "VantorTool|Open File Error!|Ok|warning" << "";
    QTest::newRow("line error") << QByteArray() << "bad.bin" << QByteArray(";h\n00\n0G\n11\n")
                                << "VantorTool|File 2 Line Error,Please Check!|Ok|warning" << "";
    QTest::newRow("no reader") << QByteArray("this is not json") << "x.bin" << QByteArray("00\n")
                               << kNoReaderBox << "Open Device Error!";
  }
  void downloadRefused() {
    QFETCH(QByteArray, state);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, box);
    QFETCH(QString, pane);
    if (!state.isEmpty()) Write("state.json", state);
    if (!content.isEmpty()) Write(name, content);
    SetPathTo(name);
    Button(kIdDownload)->click();
    QVERIFY(w_->Dlg().CanClose());  // no worker
    QCOMPARE(boxes_, QStringList{box});
    QCOMPARE(Pane(), pane);
    ExpectControlsEnabled(true);
    const QString log = StateAt("log");  // no state: the reader was not opened
    if (state.isEmpty()) QVERIFY2(log == "[]" || log == "no state", qPrintable(log));
  }

  void deviceInfo_data() {
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QString>("pane");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("version and file")
        << QByteArray(R"({"firmware_version":"V2.05","offline_file_name":"612E62696E"})")
        << "Firmware Version: V2.05\n\nOffline File: a.bin\n" << QStringList{};
    QTest::newRow("no offline file") << QByteArray(R"({"firmware_version":"V1"})")
                                     << "Firmware Version: V1\n\nNo Offline File!\n" << QStringList{};
    QTest::newRow("version fails")
        << QByteArray(R"({"faults":[{"code":137,"nth":1,"action":"status","status":3}]})")
        << "Get Device Firmware Version Error!" << QStringList{};
    QTest::newRow("no reader") << QByteArray("this is not json") << "Open Device Error!"
                               << QStringList{kNoReaderBox};
  }
  void deviceInfo() {
    QFETCH(QByteArray, state);
    QFETCH(QString, pane);
    QFETCH(QStringList, boxes);
    Write("state.json", state);
    Path()->setText("typed by the operator");
    Button(kIdGetInfo)->click();
    QCOMPARE(Pane(), pane);
    QCOMPARE(boxes_, boxes);
    QCOMPARE(Path()->text(), "typed by the operator");
    QVERIFY(w_->Dlg().ReaderHandle() <= 0);  // closed, or none found
  }

  // A slow reader: the window keeps working, the controls are disabled, and
  // the window refuses to close until the worker has ended.
  void duringARun() {
    Write("state.json", R"({"link_ms_per_report":4})");
    QByteArray content = "; slow\n";
    for (int i = 0; i < 120; ++i) content += "00 B0 00 00\n";
    Write("slow.bin", content);
    SetPathTo("slow.bin");
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start(10);
    Button(kIdDownload)->setFocus();
    Button(kIdDownload)->click();
    QTRY_VERIFY(Pane().endsWith('%'));
    ExpectControlsEnabled(false);
    QVERIFY(!w_->close());
    QTest::keyClick(w_.get(), Qt::Key_Escape);
    w_->accept();
    QVERIFY(w_->isVisible());
    w_->Dlg().OnDownload();  // a second download does not start
    QTRY_VERIFY_WITH_TIMEOUT(w_->Dlg().CanClose(), 30000);
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));  // the loop kept turning
    QCOMPARE(Pane(), "slow.bin\n\nDownload SUCCESS!\n");
    ExpectControlsEnabled(true);
    QCOMPARE(w_->focusWidget(), Button(kIdDownload));  // the focus is back
    QCOMPARE(StateAt("buzzer"), "[0]");  // one run only
    QVERIFY(w_->close());
  }

  void closing_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("key");  // 0: the close box
    QTest::addColumn<bool>("closes");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("pane");
    QTest::newRow("Escape") << kIdOpenFile << int(Qt::Key_Escape) << true << int(QDialog::Rejected) << "";
    QTest::newRow("close box") << kIdOpenFile << 0 << true << int(QDialog::Rejected) << "";
    QTest::newRow("Enter in the path field")
        << kIdFilePath << int(Qt::Key_Return) << true << int(QDialog::Accepted) << "";
    QTest::newRow("Enter on a button clicks it")
        << kIdGetInfo << int(Qt::Key_Return) << false << 0
        << "Firmware Version: VR-0205 V2.05\n\nNo Offline File!\n";
    QTest::newRow("Enter in the pane") << kIdTextPane << int(Qt::Key_Enter) << false << 0 << "";
  }
  void closing() {
    QFETCH(int, focus);
    QFETCH(int, key);
    QFETCH(bool, closes);
    QFETCH(int, result);
    QFETCH(QString, pane);
    Path()->setText("typed.bin");
    QWidget* target = w_->Control(focus);
    target->setFocus();
    if (key != 0) {
      QTest::keyClick(target, Qt::Key(key));
    } else {
      w_->close();
    }
    QCOMPARE(w_->isVisible(), !closes);
    if (closes) QCOMPARE(w_->result(), result);
    QCOMPARE(Pane(), pane);
    // Enter in the path field hands its text over as the file path.
    if (result == QDialog::Accepted) QCOMPARE(QString::fromStdWString(w_->Dlg().FilePath()), "typed.bin");
  }

  void about() {
    QStringList seen;
    w_->SetAboutRunner([&](qt::CAboutDlg& about) {
      seen << about.windowTitle() + "|" + about.TitleLabel()->text();
      QCOMPARE(about.parentWidget(), w_.get());
    });
    const std::unique_ptr<QMenu> menu(w_->CreateWindowMenu());
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.size() >= 2);
    QVERIFY(actions[actions.size() - 2]->isSeparator());
    QCOMPARE(actions.last()->text(), "&About VantorTool...");
    actions.last()->trigger();
    QTest::keyClick(w_->windowHandle(), Qt::Key_F1);
    QCOMPARE(seen, QStringList(2, "About VantorTool|Orvane Tool "));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
