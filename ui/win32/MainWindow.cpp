#include "MainWindow.h"

#include <commdlg.h>

#include <utility>
#include <vector>

#include "resource.h"
#include "WindowLogic.h"

namespace vantor::win32 {
namespace {

// Both templates place their window at (0, 0); the window is shown
// centred over its owner, or on the screen's work area when it has none.
void Center(HWND window, HWND owner) {
  RECT area;
  if (owner != nullptr) {
    GetWindowRect(owner, &area);
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    area = monitor.rcWork;
  }
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  const int x = area.left + (area.right - area.left - width) / 2;
  const int y = area.top + (area.bottom - area.top - height) / 2;
  SetWindowPos(window, nullptr, x > 0 ? x : 0, y > 0 ? y : 0, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// A string of the string table ("" when it is missing).
std::wstring LoadText(HINSTANCE instance, UINT id) {
  const wchar_t* text = nullptr;
  const int length = LoadStringW(instance, id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 && text != nullptr ? std::wstring(text, static_cast<std::size_t>(length))
                                       : std::wstring();
}

// The wait cursor while it lives: Get Device Info holds the window thread
// until the reader answers or its read times out, and no WM_SETCURSOR
// comes meanwhile to change it back.
class WaitCursor {
 public:
  WaitCursor() : previous_(SetCursor(LoadCursor(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(previous_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR previous_;
};

}  // namespace

CMainWindow::CMainWindow(HINSTANCE instance, std::wstring appName)
    : instance_(instance), appName_(std::move(appName)), dlg_(*this) {
  hIcon_ = LoadIconW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CMainWindow::~CMainWindow() { JoinWorker(); }

INT_PTR CMainWindow::DoModal() {
  windowThread_ = GetCurrentThreadId();
  const INT_PTR result = DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_VANTORTOOL_DIALOG),
                                         nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  JoinWorker();
  return result;
}

INT_PTR CALLBACK CMainWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CMainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CMainWindow*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hWnd_ = hwnd;
  }
  return self ? self->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CMainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_SYSCOMMAND: return OnSysCommand(wParam);
    case WM_PAINT: return OnPaint();
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(hIcon_);
    case WM_HELP:
      // F1 anywhere in the window; not while a box of it is open (the
      // system passes the key on to the box's owner, this window).
      if (IsWindowEnabled(hWnd_)) CAboutDlg(instance_).DoModal(hWnd_);
      return TRUE;
    case WM_CONTEXTMENU: OnContextMenu(lParam); return TRUE;
    case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
    case kRunOnWindowThread:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    default: return FALSE;
  }
}

BOOL CMainWindow::OnInitDialog() {
  if (HMENU menu = GetSystemMenu(hWnd_, FALSE)) {
    const std::wstring about = LoadText(instance_, IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  SendMessageW(hWnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon_));
  SendMessageW(hWnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon_));
  Center(hWnd_, nullptr);
  dlg_.OnInitDialog();
  return TRUE;  // the focus goes to the first tab stop, "Open File..."
}

BOOL CMainWindow::OnSysCommand(WPARAM id) {
  if (IsAboutCommand(id)) {
    CAboutDlg(instance_).DoModal(hWnd_);
    return TRUE;
  }
  return FALSE;  // the system's own handling
}

void CMainWindow::OnContextMenu(LPARAM where) {
  // The window menu: the system menu's commands that apply to this window,
  // also when a window manager draws the frame and its system menu.
  POINT at{static_cast<short>(LOWORD(where)), static_cast<short>(HIWORD(where))};
  if (where == static_cast<LPARAM>(-1)) {
    // Shift+F10 or the Menu key: at the focused control.
    HWND focus = GetFocus();
    RECT rect;
    GetWindowRect(focus != nullptr && IsChild(hWnd_, focus) ? focus : hWnd_, &rect);
    at = {rect.left + (rect.right - rect.left) / 2, rect.top + (rect.bottom - rect.top) / 2};
  }
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  AppendMenuW(menu, MF_STRING, SC_MINIMIZE, L"Mi&nimize");
  AppendMenuW(menu, MF_STRING, SC_CLOSE, L"&Close");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, LoadText(instance_, IDS_ABOUTBOX).c_str());
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, hWnd_, nullptr));
  DestroyMenu(menu);
  // As if chosen in the system menu: Close refuses while a download runs.
  if (chosen != 0) SendMessageW(hWnd_, WM_SYSCOMMAND, chosen, 0);
}

BOOL CMainWindow::OnPaint() {
  if (!IsIconic(hWnd_)) return FALSE;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hWnd_, &paint);
  SendMessageW(hWnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hWnd_, &client);
  const Point at = IconOrigin(client.right - client.left, client.bottom - client.top,
                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, at.x, at.y, hIcon_);
  EndPaint(hWnd_, &paint);
  return TRUE;
}

void CMainWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_OPEN_FILE:
      if (code == BN_CLICKED) dlg_.OnOpenFile();
      break;
    case IDC_GET_INFO:
      if (code == BN_CLICKED) {
        const WaitCursor wait;
        dlg_.OnGetDeviceInfo();
      }
      break;
    case IDC_DOWNLOAD:
      if (code == BN_CLICKED) dlg_.OnDownload();
      break;
    case IDOK:
      // Enter where no button takes it.
      if (dlg_.CanClose()) dlg_.UpdateData(true);
      EndIfIdle(IDOK);
      break;
    case IDCANCEL:
      // Escape, the close box, Alt+F4, the system menu's Close.
      EndIfIdle(IDCANCEL);
      break;
    default: break;
  }
}

void CMainWindow::EndIfIdle(int result) {
  // The worker uses the window's state until its last step: the window
  // stays while it runs.
  if (!dlg_.CanClose()) {
    MessageBeep(MB_OK);
    return;
  }
  EndDialog(hWnd_, result);
}

std::wstring CMainWindow::GetPathFieldText() {
  HWND field = GetDlgItem(hWnd_, IDC_FILE_PATH);
  const int length = GetWindowTextLengthW(field);
  if (length <= 0) return std::wstring();
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1);
  const int got = GetWindowTextW(field, text.data(), length + 1);
  return std::wstring(text.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

void CMainWindow::SetPathFieldText(const std::wstring& text) {
  SetDlgItemTextW(hWnd_, IDC_FILE_PATH, text.c_str());
  // The edit control shows the start of a new text; a long path shows its
  // end, the file name, instead.
  ShowPathFieldEnd();
}

void CMainWindow::ShowPathFieldEnd() {
  HWND field = GetDlgItem(hWnd_, IDC_FILE_PATH);
  const LRESULT end = GetWindowTextLengthW(field);
  SendMessageW(field, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(field, EM_SCROLLCARET, 0, 0);
}

void CMainWindow::SetPaneText(const std::wstring& text) {
  SetDlgItemTextW(hWnd_, IDC_TEXT_PANE, text.c_str());
}

void CMainWindow::EnableControl(int id, bool enable) {
  HWND control = GetDlgItem(hWnd_, id);
  // A disabled control loses the keyboard focus, and nothing would have
  // it after the run: it gets it back when it is enabled again.
  if (!enable && GetFocus() == control) focusBeforeDisable_ = control;
  EnableWindow(control, enable ? TRUE : FALSE);
  if (enable && control == focusBeforeDisable_) {
    focusBeforeDisable_ = nullptr;
    if (GetFocus() == nullptr) {
      SendMessageW(hWnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
  }
}

int CMainWindow::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                unsigned type) {
  return MessageBoxW(hWnd_, text.c_str(), caption.c_str(), type);
}

void CMainWindow::ShowAppMessageBox(const std::wstring& text) {
  MessageBoxW(hWnd_, text.c_str(), appName_.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

bool CMainWindow::ChooseFile(std::wstring* path) {
  // Room for the longest path the system allows.
  std::vector<wchar_t> file(32768, L'\0');
  const std::wstring filter = FileDialogFilter();
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hWnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetOpenFileNameW(&ofn)) return false;
  *path = file.data();
  return true;
}

void CMainWindow::RunOnWindowThread(const std::function<void()>& op) {
  if (GetCurrentThreadId() == windowThread_) {
    op();
    return;
  }
  SendMessageW(hWnd_, kRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&op));
}

void CMainWindow::StartWorker(std::function<void()> work) {
  // The previous worker has carried out its last step already.
  JoinWorker();
  worker_ = std::thread(std::move(work));
}

void CMainWindow::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

INT_PTR CAboutDlg::DoModal(HWND owner) {
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, DialogProc, 0);
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: Center(hwnd, GetWindow(hwnd, GW_OWNER)); return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

}  // namespace vantor::win32
