// The main window on Qt: a thin view over CVantorToolDlg. It lays out the
// controls of resource 102 in dialog units, forwards its three buttons to
// the handlers and carries out the window operations the handlers and the
// download worker ask for. No download or query logic lives here.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <functional>
#include <string>
#include <thread>

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

  CVantorToolDlg& Dlg() { return m_dlg; }
  // The control with the given ID (kIdOpenFile ... kIdTextPane), or null.
  QWidget* Control(int id) const;
  QLabel* FileLabel() const { return m_fileLabel; }
  const BaseUnits& Units() const { return m_units; }

  void SetMessageBoxRunner(MessageBoxRunner runner) { m_runBox = std::move(runner); }
  void SetFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
  void SetAboutRunner(AboutRunner runner) { m_runAbout = std::move(runner); }

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
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                     unsigned type) override;
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
  // Runs a message box of the window (through m_runBox).
  int RunBox(QMessageBox& box);

  CVantorToolDlg m_dlg{*this};
  BaseUnits m_units;

  QLabel* m_fileLabel = nullptr;
  QPushButton* m_openFile = nullptr;
  QLineEdit* m_path = nullptr;
  std::wstring m_pathExact;  // the path last set, while the field shows m_pathShown
  QString m_pathShown;
  QPushButton* m_getInfo = nullptr;
  QPushButton* m_download = nullptr;
  QTextEdit* m_pane = nullptr;

  // The control that lost the focus when a run disabled it, and the widget
  // that took it; the control gets it back when enabled again unless the
  // operator has moved the focus meanwhile.
  QWidget* m_focusLost = nullptr;
  QWidget* m_focusTakenBy = nullptr;

  MessageBoxRunner m_runBox;
  FileChooser m_chooseFile;
  AboutRunner m_runAbout;

  // The last download worker. Joined before the next one starts and when
  // the window goes; by then it has carried out its last window operation.
  std::thread m_worker;
};

}  // namespace vantor::qt
