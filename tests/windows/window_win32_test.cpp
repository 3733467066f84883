// The Win32 window's dialog templates as windres built them into
// VantorTool.exe: styles, IDs, classes, texts, positions and Tab order.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "res/resource.h"

namespace vantor::win32 {
namespace {

// A resource of VantorTool.exe, loaded as data: the program does not run.
const std::uint8_t* Resource(const char* type, int id) {
  static const HMODULE exe = [] {
    std::string path = VANTOR_GUI_PATH;
    if (path[0] == '/') path = "Z:" + path;  // Wine's view of the build tree
    return LoadLibraryExA(path.c_str(), nullptr,
                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }();
  const HRSRC info = FindResourceA(exe, MAKEINTRESOURCEA(id), type);
  if (!info) return nullptr;
  return static_cast<const std::uint8_t*>(LockResource(LoadResource(exe, info)));
}

// Window style bits, shown in hex.
struct Style {
  Style(DWORD b) : bits(b) {}  // implicit: the tables give plain DWORDs
  bool operator==(const Style& other) const { return bits == other.bits; }
  friend void PrintTo(const Style& s, std::ostream* os) { *os << std::hex << s.bits << std::dec; }
  DWORD bits;
};

// The dialog or one of its controls: extended style, style, x, y, width,
// height, ID, class (the dialog: its font) and text ("#n": the ordinal n).
using Item = std::tuple<Style, Style, int, int, int, int, int, std::wstring, std::wstring>;

// An extended dialog template (DLGTEMPLATEEX, then a DLGITEMTEMPLATEEX for
// each control): the dialog first, then the controls in Tab order.
std::vector<Item> ReadTemplate(const std::uint8_t* base) {
  const std::uint8_t* p = base;
  auto read = [&p](auto v) {
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
  };
  auto word = [&] { return static_cast<int>(read(std::uint16_t{})); };
  auto coord = [&] { return static_cast<int>(read(std::int16_t{})); };
  auto text = [&] {
    if (word() == 0xFFFF) return L"#" + std::to_wstring(word());
    p -= 2;
    std::wstring s;
    for (int c; (c = word()) != 0;) s += static_cast<wchar_t>(c);
    return s;
  };
  auto upper = [](std::wstring s) { return CharUpperW(&s[0]), s; };
  const wchar_t* const kAtoms[] = {L"BUTTON", L"EDIT", L"STATIC"};  // 0x80 to 0x82

  if (word() != 1 || word() != 0xFFFF) return {};  // not an extended template
  read(DWORD{});                                   // help ID
  const DWORD exStyle = read(DWORD{}), style = read(DWORD{});
  const int count = word(), x = coord(), y = coord(), cx = coord(), cy = coord();
  const std::wstring menu = text(), windowClass = text(), caption = text();
  if (!menu.empty() || !windowClass.empty() || !(style & DS_SETFONT)) return {};
  const int points = word(), weight = word(), italic = read(std::uint8_t{});
  const int charset = read(std::uint8_t{});
  wchar_t font[64];  // typeface, point size, weight, italic, charset
  swprintf(font, 64, L" %dpt %d %d %d", points, weight, italic, charset);
  std::vector<Item> items = {{exStyle, style, x, y, cx, cy, 0, text() + font, caption}};
  for (int n = 0; n < count; ++n) {
    p = base + ((p - base + 3) & ~3);
    read(DWORD{});  // help ID
    // A braced list is read from left to right.
    Item c{read(DWORD{}),
           read(DWORD{}),
           coord(),
           coord(),
           coord(),
           coord(),
           static_cast<int>(read(DWORD{})),
           upper(text()),
           text()};
    std::wstring& kind = std::get<7>(c);  // a class name in any case, or its atom
    for (int a = 0; a < 3; ++a)
      if (kind == L"#" + std::to_wstring(0x80 + a)) kind = kAtoms[a];
    p += word();  // creation data
    items.push_back(c);
  }
  return items;
}

TEST(Win32Resources, DialogTemplates) {
  constexpr DWORD kChild = WS_CHILD | WS_VISIBLE, kLabel = kChild | WS_GROUP | SS_LEFT,
                  kButton = kChild | WS_TABSTOP | BS_PUSHBUTTON,
                  kEdit = kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
  const std::pair<int, std::vector<Item>> templates[] = {
      {IDD_VANTORTOOL_DIALOG,
       {{WS_EX_APPWINDOW,
         DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
             WS_MINIMIZEBOX,
         0, 0, 273, 151, 0, L"Microsoft Sans Serif 18pt 400 0 0", L"Orvane V1.0.0.6"},
        {0, kLabel, 7, 8, 14, 8, -1, L"STATIC", L"File:"},
        {0, kButton, 194, 5, 74, 14, IDC_OPEN_FILE, L"BUTTON", L"Open File..."},
        {0, kEdit | ES_RIGHT, 25, 5, 167, 13, IDC_FILE_PATH, L"EDIT", L""},
        {0, kButton, 194, 116, 74, 28, IDC_GET_INFO, L"BUTTON", L"Get Device Info"},
        {0, kButton, 194, 37, 74, 28, IDC_DOWNLOAD, L"BUTTON", L"Download To  Device"},
        {0, kEdit | ES_CENTER | ES_MULTILINE | ES_READONLY | ES_WANTRETURN, 7, 39, 185, 105,
         IDC_TEXT_PANE, L"EDIT", L""}}},
      {IDD_ABOUTBOX,
       {{0, DS_SHELLFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 170, 62, 0,
         L"MS Shell Dlg 8pt 0 0 1", L"About VantorTool"},
        {0, kChild | SS_ICON, 14, 14, 20, 20, -1, L"STATIC", L"#" + std::to_wstring(IDR_MAINFRAME)},
        {0, kLabel | SS_NOPREFIX, 42, 14, 114, 8, -1, L"STATIC", L"Orvane Tool "},
        {0, kLabel, 42, 26, 114, 8, -1, L"STATIC", L"Version 1.0.0.6"},
        {0, kChild | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 113, 41, 50, 14, IDOK, L"BUTTON",
         L"OK"}}},
  };
  for (const auto& [id, items] : templates) {
    const std::uint8_t* data = Resource(RT_DIALOG, id);
    ASSERT_NE(data, nullptr) << id;
    EXPECT_EQ(ReadTemplate(data), items) << "dialog " << id;
  }
}

}  // namespace
}  // namespace vantor::win32
