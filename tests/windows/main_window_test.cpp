// The running Win32 window, driven by keys from a second thread. Needs a
// display (Wine on X); skipped without one.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "res/dialog_layout.h"
#include "test_util.h"
#include "ui/win32/MainWindow.h"

namespace vantor::win32 {
namespace {

HWND WaitFor(const std::function<HWND()>& found) {
  for (int i = 0; i < 500; ++i) {
    if (HWND window = found()) return window;
    Sleep(20);
  }
  return nullptr;
}

HWND VisibleTopLevel(const char* windowClass, const char* title) {
  HWND window = FindWindowA(windowClass, title);
  return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

void Press(const std::vector<BYTE>& chord) {
  for (const BYTE key : chord) keybd_event(key, 0, 0, 0);
  for (auto key = chord.rbegin(); key != chord.rend(); ++key)
    keybd_event(*key, 0, KEYEVENTF_KEYUP, 0);
  Sleep(50);
}

// A right click on the window as the system reports it: at a point of the screen.
void RightClick(HWND window) {
  RECT frame;
  GetWindowRect(window, &frame);
  PostMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window),
               MAKELPARAM(frame.left + 100, frame.top + 60));
}

// Closes the About box over owner; false when none came.
bool CloseAboutBox(HWND owner) {
  HWND about = WaitFor([] { return VisibleTopLevel(nullptr, res::kAboutDialog.caption); });
  if (about == nullptr) return false;
  const bool owned = GetWindow(about, GW_OWNER) == owner;
  Press({VK_RETURN});
  return WaitFor([about] { return IsWindow(about) ? nullptr : about; }) != nullptr && owned;
}

class MainWindowRun : public ::testing::Test {
 protected:
  void SetUp() override {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                 nullptr);
    if (probe == nullptr) GTEST_SKIP() << "no display to show windows on";
    DestroyWindow(probe);
  }

  // Shows the window on this thread while drive(window) runs on another.
  void Run(const std::function<void(HWND)>& drive) {
    CMainWindow window(GetModuleHandleW(nullptr), L"VantorTool");
    std::thread driver([&] {
      HWND main = WaitFor([] { return VisibleTopLevel("#32770", res::kMainDialog.caption); });
      if (main == nullptr) return;
      SetForegroundWindow(main);
      WaitFor([main] { return GetForegroundWindow() == main ? main : nullptr; });
      Sleep(100);
      drive(main);
      // Nothing modal may stay open, or the window cannot end.
      if (HWND about = FindWindowA(nullptr, res::kAboutDialog.caption))
        PostMessageW(about, WM_COMMAND, IDOK, 0);
      if (VisibleTopLevel("#32768", nullptr)) Press({VK_ESCAPE});
      PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    });
    window.DoModal();
    driver.join();
  }

  test::TempDir dir_;
  test::ScopedEnv sim_{"VANTOR_READER_SIM", dir_.File("state.json").c_str()};
};

// The window menu (right button or Shift+F10) does what the system menu
// does; F1 opens the About box from any control.
TEST_F(MainWindowRun, WindowMenuAndF1) {
  enum Effect { kAbout, kMinimized, kClosed };
  const struct {
    std::vector<BYTE> keys;  // none: a right click
    int focus;
    BYTE choose;  // the menu item's underlined letter
    Effect effect;
  } cases[] = {
      {{}, IDC_OPEN_FILE, 'A', kAbout},
      {{}, IDC_OPEN_FILE, 'N', kMinimized},
      {{VK_SHIFT, VK_F10}, IDC_OPEN_FILE, 'C', kClosed},
      {{VK_F1}, IDC_FILE_PATH, 0, kAbout},
      {{VK_F1}, IDC_TEXT_PANE, 0, kAbout},
  };
  for (const auto& c : cases) {
    Run([&](HWND main) {
      SCOPED_TRACE(testing::Message() << "case " << &c - cases);
      SendMessageW(main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(main, c.focus)), TRUE);
      c.keys.empty() ? RightClick(main) : Press(c.keys);
      if (c.choose) {
        EXPECT_TRUE(WaitFor([] { return VisibleTopLevel("#32768", nullptr); }));
        Sleep(200);  // the menu's own message loop takes the keys that follow
        Press({c.choose});
      }
      const auto done = [&] {
        return (c.effect == kMinimized ? IsIconic(main) : !IsWindow(main)) ? main : nullptr;
      };
      EXPECT_TRUE(c.effect == kAbout ? CloseAboutBox(main) : WaitFor(done) != nullptr);
    });
  }
}

// A long path shows its end once the window has set it (after Get Device Info).
TEST_F(MainWindowRun, PathFieldShowsTheEnd) {
  const std::wstring path = L"C:\\" + std::wstring(60, L'd') + L"\\scripts\\offline-data.bin";
  Run([&](HWND main) {
    HWND field = GetDlgItem(main, IDC_FILE_PATH);
    SetWindowTextW(field, path.c_str());
    SendMessageW(GetDlgItem(main, IDC_GET_INFO), BM_CLICK, 0, 0);
    RECT client;  // left is 0
    GetClientRect(field, &client);
    const auto x = [field](std::size_t at) {
      return static_cast<short>(LOWORD(SendMessageW(field, EM_POSFROMCHAR, at, 0)));
    };
    const int first = x(0), end = x(path.size() - 1);
    EXPECT_TRUE(first < 0 && end >= 0 && end < client.right) << first << " " << end;
  });
}

}  // namespace
}  // namespace vantor::win32
