// The running Win32 window, driven from a second thread as an operator
// drives it: keys and the right mouse button go in through SendInput, the
// window runs modally on the test's thread. Needs a display (Wine on X);
// skipped without one.
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

// Polls for about ten seconds until found() gives a window.
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

// Presses the keys in order and lets them go in reverse order.
void Press(const std::vector<WORD>& chord) {
  std::vector<INPUT> inputs(2 * chord.size());
  for (std::size_t i = 0; i < chord.size(); ++i) {
    INPUT& up = inputs[inputs.size() - 1 - i];
    inputs[i].type = up.type = INPUT_KEYBOARD;
    inputs[i].ki.wVk = up.ki.wVk = chord[i];
    up.ki.dwFlags = KEYEVENTF_KEYUP;
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  Sleep(50);
}

// A right click at a point of the window's client area, in dialog units.
void RightClick(HWND window, int x, int y) {
  RECT units{x, y, 0, 0};
  MapDialogRect(window, &units);
  POINT at{units.left, units.top};
  ClientToScreen(window, &at);
  // The pointer must be there, over the window itself, before the click.
  WaitFor([&] {
    SetCursorPos(at.x, at.y);
    POINT now;
    return GetCursorPos(&now) && now.x == at.x && now.y == at.y && WindowFromPoint(at) == window
               ? window
               : nullptr;
  });
  INPUT clicks[2] = {};
  clicks[0].type = clicks[1].type = INPUT_MOUSE;
  clicks[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
  clicks[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
  SendInput(2, clicks, sizeof(INPUT));
}

// The items of the open popup menu ("" for a separator), or none.
std::vector<std::wstring> OpenMenuItems() {
  HWND popup = WaitFor([] { return VisibleTopLevel("#32768", nullptr); });
  if (popup == nullptr) return {};
  Sleep(200);  // the menu's own message loop takes the keys that follow
  auto* menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  std::vector<std::wstring> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
    items.emplace_back(text);
  }
  return items;
}

// The About box over the window, which it closes; false when none came.
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

  // Shows the window on this thread while drive(window) runs on another;
  // then closes it unless drive did. Returns how the window ended.
  INT_PTR Run(const std::function<void(HWND)>& drive) {
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
    const INT_PTR result = window.DoModal();
    driver.join();
    return result;
  }

  test::TempDir dir_;
  test::ScopedEnv sim_{"VANTOR_READER_SIM", dir_.File("state.json").c_str()};
};

// The window menu, from the right mouse button and from Shift+F10: the
// system menu's commands, each doing what it does there. F1 opens the
// About box from any control; the window waits for it.
TEST_F(MainWindowRun, WindowMenuAndF1) {
  const std::vector<std::wstring> kItems = {L"Mi&nimize", L"&Close", L"", L"&About VantorTool..."};
  enum Opener { kRightButton, kShiftF10, kF1 };
  enum Effect { kAbout, kMinimized, kClosed };
  const struct {
    const char* what;
    Opener opener;
    int focus;    // the control with the focus
    WORD choose;  // the menu item's underlined letter
    Effect effect;
  } cases[] = {
      {"right button, About", kRightButton, IDC_OPEN_FILE, 'A', kAbout},
      {"Shift+F10, About", kShiftF10, IDC_OPEN_FILE, 'A', kAbout},
      {"right button, Minimize", kRightButton, IDC_OPEN_FILE, 'N', kMinimized},
      {"Shift+F10, Close", kShiftF10, IDC_OPEN_FILE, 'C', kClosed},
      {"F1 on a button", kF1, IDC_OPEN_FILE, 0, kAbout},
      {"F1 in the path field", kF1, IDC_FILE_PATH, 0, kAbout},
      {"F1 in the pane", kF1, IDC_TEXT_PANE, 0, kAbout},
  };
  for (const auto& c : cases) {
    Run([&](HWND main) {
      SendMessageW(main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(main, c.focus)), TRUE);
      switch (c.opener) {
        case kRightButton: RightClick(main, 100, 28); break;  // between the path field and the pane
        case kShiftF10: Press({VK_SHIFT, VK_F10}); break;
        case kF1: Press({VK_F1}); break;
      }
      if (c.choose) {
        EXPECT_EQ(OpenMenuItems(), kItems) << c.what;
        Press({c.choose});
      }
      switch (c.effect) {
        case kAbout: EXPECT_TRUE(CloseAboutBox(main)) << c.what; break;
        case kMinimized:
          EXPECT_TRUE(WaitFor([main] { return IsIconic(main) ? main : nullptr; })) << c.what;
          break;
        case kClosed:
          EXPECT_TRUE(WaitFor([main] { return IsWindow(main) ? nullptr : main; })) << c.what;
          break;
      }
    });
  }
}

// A long path in the path field shows its end (the file name) once the
// window has set it, here after Get Device Info.
TEST_F(MainWindowRun, PathFieldShowsTheEnd) {
  const std::wstring path = L"C:\\" + std::wstring(60, L'd') + L"\\scripts\\offline-data.bin";
  Run([&](HWND main) {
    HWND field = GetDlgItem(main, IDC_FILE_PATH);
    SetWindowTextW(field, path.c_str());
    SendMessageW(GetDlgItem(main, IDC_GET_INFO), BM_CLICK, 0, 0);
    EXPECT_GT(GetWindowTextLengthW(GetDlgItem(main, IDC_TEXT_PANE)), 0);
    RECT client;
    GetClientRect(field, &client);
    const auto x = [field](std::size_t at) {
      return static_cast<short>(LOWORD(SendMessageW(field, EM_POSFROMCHAR, at, 0)));
    };
    EXPECT_LT(x(0), client.left);  // the start is scrolled out
    EXPECT_GE(x(path.size() - 1), client.left);
    EXPECT_LT(x(path.size() - 1), client.right);
  });
}

}  // namespace
}  // namespace vantor::win32
