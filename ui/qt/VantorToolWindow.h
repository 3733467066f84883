// The main window on Qt: a thin view over CVantorToolDlg. It makes the
// controls of resource 102 from res::kMainDialog, forwards its three buttons to
// the handlers and carries out the window operations the handlers and the
// download worker ask for. No download or query logic lives here.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "VantorToolDlg.h"
#include "WindowHost.h"
#include "DialogUnits.h"

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;

namespace vantor::qt {

class CAboutDlg;

// The application's icon (resource 128).
QIcon AppIcon();

// The pane's text as Qt shows it: CR LF (and a lone CR or LF) breaks lines.
QString PaneTextForQt(const std::wstring& text);

class VantorToolWindow : public QDialog, public WindowHost {
  Q_OBJECT

 public:
  // Runs a message box that is ready to show and returns the button
  // pressed (a QMessageBox::StandardButton). The default runs it modally.
  using MessageBoxRunner = std::function<int(QMessageBox&)>;
  // Asks for an existing file to open; the empty string when cancelled.
  using FileChooser = std::function<QString(QWidget* parent, const QString& filter)>;
  // Runs the About box. The default runs it modally.
  using AboutRunner = std::function<void(CAboutDlg&)>;

  explicit VantorToolWindow(QWidget* parent = nullptr);
  ~VantorToolWindow() override;

  CVantorToolDlg& Dlg() { return dlg_; }
  // The control with the given ID (kIdOpenFile ... kIdTextPane), or null.
  QWidget* Control(int id) const;
  // The widgets of res::kMainDialog, in its order.
  const std::vector<QWidget*>& Items() const { return items_; }
  const BaseUnits& Units() const { return units_; }

  void SetMessageBoxRunner(MessageBoxRunner runner) { runBox_ = std::move(runner); }
  void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
  void SetAboutRunner(AboutRunner runner) { runAbout_ = std::move(runner); }

  // The window menu that the right mouse button opens; the caller owns it.
  QMenu* CreateWindowMenu();
  // Shows the About box (window menu, F1).
  void OnAbout();

  // WindowHost.
  std::wstring GetPathFieldText() override;
  void SetPathFieldText(const std::wstring& text) override;
  void ShowPathFieldEnd() override;
  void SetPaneText(const std::wstring& text) override;
  void EnableControl(int id, bool enable) override;
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type) override;
  void ShowAppMessageBox(const std::wstring& text) override;
  bool ChooseFile(std::wstring* path) override;
  void RunOnWindowThread(const std::function<void()>& op) override;
  void StartWorker(std::function<void()> work) override;

 public slots:
  // Enter in the path field: the path field's text becomes the file path
  // and the window closes. Both refuse while a download runs.
  void accept() override;
  // Escape, the close box and Alt+F4.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void BuildControls();
  bool RefuseWhileRunning();
  // Runs a message box of the window (through runBox_).
  int RunBox(QMessageBox& box);

  CVantorToolDlg dlg_{*this};
  BaseUnits units_;

  std::vector<QWidget*> items_;
  QPushButton* openFile_ = nullptr;
  QLineEdit* path_ = nullptr;
  std::wstring pathExact_;  // the path last set, while the field shows pathShown_
  QString pathShown_;
  QPushButton* getInfo_ = nullptr;
  QPushButton* download_ = nullptr;
  QTextEdit* pane_ = nullptr;

  // The control that lost the focus when a run disabled it, and the widget
  // that took it; the control gets it back when enabled again unless the
  // operator has moved the focus meanwhile.
  QWidget* focusLost_ = nullptr;
  QWidget* focusTakenBy_ = nullptr;

  MessageBoxRunner runBox_;
  FileChooser chooseFile_;
  AboutRunner runAbout_;

  // The last download worker. Joined before the next one starts and when
  // the window goes; by then it has carried out its last window operation.
  std::thread worker_;
};

}  // namespace vantor::qt
