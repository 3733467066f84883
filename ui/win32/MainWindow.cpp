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
  WaitCursor() : m_previous(SetCursor(LoadCursor(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(m_previous); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR m_previous;
};

}  // namespace

CMainWindow::CMainWindow(HINSTANCE instance, std::wstring appName)
    : m_instance(instance), m_appName(std::move(appName)), m_dlg(*this) {
  m_hIcon = LoadIconW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CMainWindow::~CMainWindow() { JoinWorker(); }

INT_PTR CMainWindow::DoModal() {
  m_windowThread = GetCurrentThreadId();
  const INT_PTR result = DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_VANTORTOOL_DIALOG),
                                         nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  JoinWorker();
  return result;
}

INT_PTR CALLBACK CMainWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
  auto* self = reinterpret_cast<CMainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CMainWindow*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->m_hWnd = hwnd;
  }
  return self ? self->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CMainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam);
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_HELP:
      // F1 anywhere in the window; not while a box of it is open (the
      // system passes the key on to the box's owner, this window).
      if (IsWindowEnabled(m_hWnd)) CAboutDlg(m_instance).DoModal(m_hWnd);
      return TRUE;
    case WM_CONTEXTMENU:
      OnContextMenu(lParam);
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case kRunOnWindowThread:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL CMainWindow::OnInitDialog() {
  if (HMENU menu = GetSystemMenu(m_hWnd, FALSE)) {
    const std::wstring about = LoadText(m_instance, IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  Center(m_hWnd, nullptr);
  m_dlg.OnInitDialog();
  return TRUE;  // the focus goes to the first tab stop, "Open File..."
}

BOOL CMainWindow::OnSysCommand(WPARAM id) {
  if (IsAboutCommand(id)) {
    CAboutDlg(m_instance).DoModal(m_hWnd);
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
    GetWindowRect(focus != nullptr && IsChild(m_hWnd, focus) ? focus : m_hWnd, &rect);
    at = {rect.left + (rect.right - rect.left) / 2, rect.top + (rect.bottom - rect.top) / 2};
  }
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  AppendMenuW(menu, MF_STRING, SC_MINIMIZE, L"Mi&nimize");
  AppendMenuW(menu, MF_STRING, SC_CLOSE, L"&Close");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, LoadText(m_instance, IDS_ABOUTBOX).c_str());
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, m_hWnd, nullptr));
  DestroyMenu(menu);
  // As if chosen in the system menu: Close refuses while a download runs.
  if (chosen != 0) SendMessageW(m_hWnd, WM_SYSCOMMAND, chosen, 0);
}

BOOL CMainWindow::OnPaint() {
  if (!IsIconic(m_hWnd)) return FALSE;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const Point at = IconOrigin(client.right - client.left, client.bottom - client.top,
                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, at.x, at.y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return TRUE;
}

void CMainWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_OPEN_FILE:
      if (code == BN_CLICKED) m_dlg.OnOpenFile();
      break;
    case IDC_GET_INFO:
      if (code == BN_CLICKED) {
        const WaitCursor wait;
        m_dlg.OnGetDeviceInfo();
      }
      break;
    case IDC_DOWNLOAD:
      if (code == BN_CLICKED) m_dlg.OnDownload();
      break;
    case IDOK:
      // Enter where no button takes it.
      if (m_dlg.CanClose()) m_dlg.UpdateData(true);
      EndIfIdle(IDOK);
      break;
    case IDCANCEL:
      // Escape, the close box, Alt+F4, the system menu's Close.
      EndIfIdle(IDCANCEL);
      break;
    default:
      break;
  }
}

void CMainWindow::EndIfIdle(int result) {
  // The worker uses the window's state until its last step: the window
  // stays while it runs.
  if (!m_dlg.CanClose()) {
    MessageBeep(MB_OK);
    return;
  }
  EndDialog(m_hWnd, result);
}

std::wstring CMainWindow::GetPathFieldText() {
  HWND field = GetDlgItem(m_hWnd, IDC_FILE_PATH);
  const int length = GetWindowTextLengthW(field);
  if (length <= 0) return std::wstring();
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1);
  const int got = GetWindowTextW(field, text.data(), length + 1);
  return std::wstring(text.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

void CMainWindow::SetPathFieldText(const std::wstring& text) {
  SetDlgItemTextW(m_hWnd, IDC_FILE_PATH, text.c_str());
  // The edit control shows the start of a new text; a long path shows its
  // end, the file name, instead.
  ShowPathFieldEnd();
}

void CMainWindow::ShowPathFieldEnd() {
  HWND field = GetDlgItem(m_hWnd, IDC_FILE_PATH);
  const LRESULT end = GetWindowTextLengthW(field);
  SendMessageW(field, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(field, EM_SCROLLCARET, 0, 0);
}

void CMainWindow::SetPaneText(const std::wstring& text) {
  SetDlgItemTextW(m_hWnd, IDC_TEXT_PANE, text.c_str());
}

void CMainWindow::EnableControl(int id, bool enable) {
  HWND control = GetDlgItem(m_hWnd, id);
  // A disabled control loses the keyboard focus, and nothing would have
  // it after the run: it gets it back when it is enabled again.
  if (!enable && GetFocus() == control) m_focusBeforeDisable = control;
  EnableWindow(control, enable ? TRUE : FALSE);
  if (enable && control == m_focusBeforeDisable) {
    m_focusBeforeDisable = nullptr;
    if (GetFocus() == nullptr) {
      SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
  }
}

int CMainWindow::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                unsigned type) {
  return MessageBoxW(m_hWnd, text.c_str(), caption.c_str(), type);
}

void CMainWindow::ShowAppMessageBox(const std::wstring& text) {
  MessageBoxW(m_hWnd, text.c_str(), m_appName.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

bool CMainWindow::ChooseFile(std::wstring* path) {
  // Room for the longest path the system allows.
  std::vector<wchar_t> file(32768, L'\0');
  const std::wstring filter = FileDialogFilter();
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = m_hWnd;
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
  if (GetCurrentThreadId() == m_windowThread) {
    op();
    return;
  }
  SendMessageW(m_hWnd, kRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&op));
}

void CMainWindow::StartWorker(std::function<void()> work) {
  // The previous worker has carried out its last step already.
  JoinWorker();
  m_worker = std::thread(std::move(work));
}

void CMainWindow::JoinWorker() {
  if (m_worker.joinable()) m_worker.join();
}

INT_PTR CAboutDlg::DoModal(HWND owner) {
  return DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, DialogProc, 0);
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      Center(hwnd, GetWindow(hwnd, GW_OWNER));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace vantor::win32
