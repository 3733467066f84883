#include "VantorToolWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSpacerItem>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextOption>
#include <QThread>
#include <QWindow>
#include <memory>

#include "AboutDlg.h"
#include "local_path.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

// Resources live in this static library; register them once before use.
static void InitVantorResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(qt);
    return true;
  }();
  (void)done;
}

namespace vantor::qt {
namespace {

// Qt's libraries are not built for ThreadSanitizer, so it cannot see the
// hand-over of a blocking queued call. These mark it: everything a thread
// did before HandOver(key) happens before what another thread does after
// TakeOver(key).
#if defined(__SANITIZE_THREAD__)
void HandOver(const void* key) { __tsan_release(const_cast<void*>(key)); }
void TakeOver(const void* key) { __tsan_acquire(const_cast<void*>(key)); }
#else
void HandOver(const void*) {}
void TakeOver(const void*) {}
#endif

// The wait cursor over the whole application while it lives: the query
// blocks the window thread until the reader answers or its read times out.
class WaitCursor {
 public:
  WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// The narrowest a message box with this title is shown, so that a window
// manager's title bar shows the title in full: window managers draw it in
// a font of their own, often bold, beside an icon and up to three buttons.
int MessageBoxMinimumWidth(const QString& title) {
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  const QFontMetrics metrics(font);
  return metrics.horizontalAdvance(title) + 8 * metrics.height();
}

}  // namespace

QIcon AppIcon() {
  InitVantorResources();
  return QIcon(QStringLiteral(":/vantortool.png"));
}

QString PaneTextForQt(const std::wstring& text) {
  QString out = QString::fromStdWString(text);
  out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return out;
}

VantorToolWindow::VantorToolWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  runBox_ = [](QMessageBox& box) { return box.exec(); };
  chooseFile_ = [](QWidget* owner, const QString& filter) {
    return QFileDialog::getOpenFileName(owner, QString(), QString(), filter);
  };
  runAbout_ = [](CAboutDlg& about) { about.exec(); };

  setWindowIcon(AppIcon());
  BuildControls();

  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &VantorToolWindow::OnAbout);
  // Shift+F10 does what the Menu key does: the focused control's context
  // menu, which for the buttons is the window menu.
  auto* menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this);
  connect(menuKey, &QShortcut::activated, this, [this] {
    QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(), QPoint());
    QCoreApplication::sendEvent(windowHandle(), &keyboard);
  });

  connect(openFile_, &QPushButton::clicked, this, [this] { dlg_.OnOpenFile(); });
  connect(getInfo_, &QPushButton::clicked, this, [this] {
    const WaitCursor wait;
    dlg_.OnGetDeviceInfo();
  });
  connect(download_, &QPushButton::clicked, this, [this] { dlg_.OnDownload(); });

  dlg_.OnInitDialog();
  openFile_->setFocus();
}

void VantorToolWindow::BuildControls() {
  // Made in the template's order, which is the Tab order: "Download To
  // Device" comes after "Get Device Info" although it stands above it.
  items_ = BuildDialog(*this, res::kMainDialog, &units_);
  openFile_ = qobject_cast<QPushButton*>(Control(kIdOpenFile));
  path_ = qobject_cast<QLineEdit*>(Control(kIdFilePath));
  getInfo_ = qobject_cast<QPushButton*>(Control(kIdGetInfo));
  download_ = qobject_cast<QPushButton*>(Control(kIdDownload));
  pane_ = qobject_cast<QTextEdit*>(Control(kIdTextPane));

  // Alt and the caption's first letter press a button, also from the path
  // field, which would otherwise take the letter.
  openFile_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_O));
  getInfo_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_G));
  download_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_D));
  path_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  // The pane centres every line. Long lines wrap, and a scroll bar comes up
  // when the text is taller than the pane, so no message is ever cut off.
  pane_->setReadOnly(true);
  pane_->setAcceptRichText(false);
  pane_->setUndoRedoEnabled(false);
  pane_->setTabChangesFocus(true);
  pane_->setFocusPolicy(Qt::StrongFocus);
  pane_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // Read-only: the text can be selected from the keyboard, but no caret
  // blinks in it (the focus rests here while a download runs).
  pane_->setCursorWidth(0);
  pane_->setLineWrapMode(QTextEdit::WidgetWidth);
  pane_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  pane_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

VantorToolWindow::~VantorToolWindow() {
  // A worker that still runs needs this thread for its last window
  // operations; serve them until it is done, then collect the thread.
  while (!dlg_.CanClose()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  if (worker_.joinable()) worker_.join();
}

QWidget* VantorToolWindow::Control(int id) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (id != IDC_STATIC && res::kMainDialog.controls[i].id == id) return items_[i];
  }
  return nullptr;
}

QMenu* VantorToolWindow::CreateWindowMenu() {
  auto* menu = new QMenu(this);
  menu->addAction(tr("Mi&nimize"), this, &QWidget::showMinimized);
  menu->addAction(tr("&Close"), this, &QWidget::close);
  menu->addSeparator();
  menu->addAction(QStringLiteral("&About VantorTool..."), this, &VantorToolWindow::OnAbout);
  return menu;
}

void VantorToolWindow::OnAbout() {
  CAboutDlg about(this);
  runAbout_(about);
}

void VantorToolWindow::contextMenuEvent(QContextMenuEvent* event) {
  const std::unique_ptr<QMenu> menu(CreateWindowMenu());
  menu->exec(event->globalPos());
}

bool VantorToolWindow::RefuseWhileRunning() {
  if (dlg_.CanClose()) return false;
  // The worker uses the window's state until it ends; the window stays.
  QApplication::beep();
  return true;
}

void VantorToolWindow::accept() {
  if (RefuseWhileRunning()) return;
  dlg_.UpdateData(true);
  QDialog::accept();
}

void VantorToolWindow::reject() {
  if (RefuseWhileRunning()) return;
  QDialog::reject();
}

void VantorToolWindow::closeEvent(QCloseEvent* event) {
  if (RefuseWhileRunning()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void VantorToolWindow::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers();
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (mods == Qt::NoModifier || mods == Qt::KeypadModifier)) {
    // A focused button takes Enter; the pane swallows it; anywhere else
    // (the path field) it closes the window.
    QWidget* focus = focusWidget();
    if (auto* pressed = qobject_cast<QPushButton*>(focus)) {
      if (pressed->isEnabled()) pressed->click();
    } else if (focus != pane_) {
      accept();
    }
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);  // Escape: reject()
}

// The path field holds text; the path behind it is the bytes Qt names the
// file with (QFile::encodeName). A path set from the handlers is kept as
// given while the field still shows it, so no byte of it is lost in a
// QString.
std::wstring VantorToolWindow::GetPathFieldText() {
  const QString text = path_->text();
  if (text == pathShown_) return pathExact_;
  return FromLocalPath(QFile::encodeName(text).toStdString());
}

void VantorToolWindow::SetPathFieldText(const std::wstring& text) {
  pathExact_ = text;
  pathShown_ = QString::fromStdWString(ShownPath(text));
  path_->setText(pathShown_);
}

void VantorToolWindow::ShowPathFieldEnd() { path_->end(false); }

void VantorToolWindow::SetPaneText(const std::wstring& text) {
  pane_->setPlainText(PaneTextForQt(text));
  QTextCursor all(pane_->document());
  all.select(QTextCursor::Document);
  QTextBlockFormat centred;
  centred.setAlignment(Qt::AlignHCenter);
  all.mergeBlockFormat(centred);
}

void VantorToolWindow::EnableControl(int id, bool enable) {
  QWidget* control = Control(id);
  if (!control) return;
  const bool hadFocus = focusWidget() == control;
  control->setEnabled(enable);
  if (!enable && hadFocus) {
    // Qt hands the focus on; remember where it was, to give it back.
    if (!focusLost_) focusLost_ = control;
    focusTakenBy_ = focusWidget();
  } else if (enable && control == focusLost_) {
    if (focusWidget() == focusTakenBy_) control->setFocus();
    focusLost_ = nullptr;
    focusTakenBy_ = nullptr;
  }
}

int VantorToolWindow::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                     unsigned type) {
  const bool yesNo = type == kMbYesNo;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdWString(caption),
                  QString::fromStdWString(text),
                  yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  if (yesNo) {
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  }
  const int pressed = RunBox(box);
  if (!yesNo) return kIdOk;
  // Only an explicit Yes confirms.
  return pressed == QMessageBox::Yes ? kIdYes : kIdNo;
}

void VantorToolWindow::ShowAppMessageBox(const std::wstring& text) {
  QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                  QString::fromStdWString(text), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  RunBox(box);
}

int VantorToolWindow::RunBox(QMessageBox& box) {
  // QMessageBox sizes itself to its text; a spacer across its grid keeps
  // it wide enough for the title.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(MessageBoxMinimumWidth(box.windowTitle()), 0,
                                  QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  // The box waits for the operator: the normal cursor, also when it comes
  // up during a query that shows the wait cursor.
  const bool waiting = QGuiApplication::overrideCursor() != nullptr;
  if (waiting) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
  const int pressed = runBox_(box);
  if (waiting) QGuiApplication::restoreOverrideCursor();
  return pressed;
}

bool VantorToolWindow::ChooseFile(std::wstring* path) {
  const QString chosen = chooseFile_(this, QStringLiteral("Bin Files (*.bin)"));
  if (chosen.isEmpty()) return false;
  *path = FromLocalPath(QFile::encodeName(QDir::toNativeSeparators(chosen)).toStdString());
  return true;
}

void VantorToolWindow::RunOnWindowThread(const std::function<void()>& op) {
  if (QThread::currentThread() == thread()) {
    op();
    return;
  }
  // The worker waits here until the window thread has carried op out.
  HandOver(&op);
  [[maybe_unused]] const bool delivered = QMetaObject::invokeMethod(
      this,
      [&op] {
        TakeOver(&op);
        op();
        HandOver(&op);
      },
      Qt::BlockingQueuedConnection);
  Q_ASSERT(delivered);
  TakeOver(&op);
}

void VantorToolWindow::StartWorker(std::function<void()> work) {
  // The previous worker has carried out its last window operation (no
  // download starts before that), so it has ended or is about to.
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread(std::move(work));
}

}  // namespace vantor::qt
