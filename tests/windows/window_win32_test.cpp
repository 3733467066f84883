// The Win32 window's resources as they are built into VantorTool.exe,
// read without running it: dialog templates, string, icon, manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "res/resource.h"

namespace vantor::win32 {
namespace {

// VantorTool.exe's resources, read without running it.
class Resources : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = VANTOR_GUI_PATH;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine's view of the build tree
    module_ = LoadLibraryExA(path.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << path << " error " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  // type: 5 dialog, 14 icon group, 24 manifest.
  const std::uint8_t* Resource(int type, int id, std::size_t* size = nullptr) {
    HRSRC info = FindResourceW(module_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
    if (!info) return nullptr;
    if (size) *size = SizeofResource(module_, info);
    return static_cast<const std::uint8_t*>(LockResource(LoadResource(module_, info)));
  }
  HMODULE module_ = nullptr;
};

struct Control {
  DWORD exStyle;
  DWORD style;
  short x, y, cx, cy;
  int id;
  int classAtom;  // 0x80 button, 0x81 edit, 0x82 static
  std::wstring text;
  int iconId;     // text given as a resource ordinal (the icon), else 0
};

struct Dialog {
  DWORD exStyle;
  DWORD style;
  short x, y, cx, cy;
  std::wstring caption;
  int pointSize, weight, italic, charset;
  std::wstring font;
  std::vector<Control> controls;
};

// Reads an extended dialog template (DLGTEMPLATEEX and DLGITEMTEMPLATEEX).
class TemplateReader {
 public:
  explicit TemplateReader(const std::uint8_t* p) : base_(p), p_(p) {}

  Dialog Read() {
    Dialog d{};
    EXPECT_EQ(Word(), 1);       // dlgVer
    EXPECT_EQ(Word(), 0xFFFF);  // signature
    Dword();                    // helpID
    d.exStyle = Dword();
    d.style = Dword();
    const int count = Word();
    d.x = Short(), d.y = Short(), d.cx = Short(), d.cy = Short();
    int ordinal;
    EXPECT_EQ(SzOrOrd(&ordinal), L"");  // no menu
    EXPECT_EQ(ordinal, 0);
    EXPECT_EQ(SzOrOrd(&ordinal), L"");  // the standard dialog class
    d.caption = String();
    if (d.style & (DS_SETFONT | DS_SHELLFONT)) {
      d.pointSize = Word();
      d.weight = Word();
      d.italic = *p_++;
      d.charset = *p_++;
      d.font = String();
    }
    for (int i = 0; i < count; ++i) {
      Align();
      Control c{};
      Dword();  // helpID
      c.exStyle = Dword();
      c.style = Dword();
      c.x = Short(), c.y = Short(), c.cx = Short(), c.cy = Short();
      c.id = static_cast<int>(Dword());
      // A class given by name counts as its predefined atom.
      const std::wstring className = SzOrOrd(&c.classAtom);
      if (_wcsicmp(className.c_str(), L"Button") == 0) c.classAtom = 0x80;
      if (_wcsicmp(className.c_str(), L"Edit") == 0) c.classAtom = 0x81;
      if (_wcsicmp(className.c_str(), L"Static") == 0) c.classAtom = 0x82;
      c.text = SzOrOrd(&c.iconId);
      p_ += Word();  // creation data
      d.controls.push_back(c);
    }
    return d;
  }

 private:
  int Word() {
    std::uint16_t v;
    std::memcpy(&v, p_, 2);
    p_ += 2;
    return v;
  }
  short Short() { return static_cast<short>(Word()); }
  DWORD Dword() {
    DWORD v;
    std::memcpy(&v, p_, 4);
    p_ += 4;
    return v;
  }
  std::wstring String() {
    std::wstring s;
    for (int c; (c = Word()) != 0;) s += static_cast<wchar_t>(c);
    return s;
  }
  std::wstring SzOrOrd(int* ordinal) {
    *ordinal = 0;
    std::uint16_t first;
    std::memcpy(&first, p_, 2);
    if (first == 0xFFFF) {
      p_ += 2;
      *ordinal = Word();
      return L"";
    }
    return String();
  }
  void Align() { p_ = base_ + ((p_ - base_ + 3) & ~3); }

  const std::uint8_t* base_;
  const std::uint8_t* p_;
};

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr int kButton = 0x80, kEdit = 0x81, kStatic = 0x82;

void ExpectControls(const std::vector<Control>& got, const std::vector<Control>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    const Control& g = got[i];
    const Control& w = want[i];
    EXPECT_EQ(g.id, w.id) << "control " << i;
    EXPECT_EQ(g.classAtom, w.classAtom) << "control " << i;
    EXPECT_EQ(g.text, w.text) << "control " << i;
    EXPECT_EQ(g.iconId, w.iconId) << "control " << i;
    EXPECT_EQ(g.style, w.style) << "control " << i << std::hex << " got " << g.style << " want " << w.style;
    EXPECT_EQ(g.exStyle, w.exStyle) << "control " << i;
    EXPECT_EQ((std::vector<int>{g.x, g.y, g.cx, g.cy}), (std::vector<int>{w.x, w.y, w.cx, w.cy}))
        << "control " << i;
  }
}

TEST_F(Resources, MainWindowTemplate) {
  const std::uint8_t* data = Resource(5, IDD_VANTORTOOL_DIALOG);
  ASSERT_NE(data, nullptr);
  const Dialog d = TemplateReader(data).Read();
  EXPECT_EQ(d.style, static_cast<DWORD>(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE |
                                        WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
  EXPECT_EQ(d.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
  EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{0, 0, 273, 151}));
  EXPECT_EQ(d.caption, L"Orvane V1.0.0.6");
  EXPECT_EQ(d.font, L"Microsoft Sans Serif");
  EXPECT_EQ((std::vector<int>{d.pointSize, d.weight, d.italic, d.charset}),
            (std::vector<int>{18, 400, 0, 0}));
  // Template order is the Tab order.
  const DWORD button = kChild | WS_TABSTOP | BS_PUSHBUTTON;
  ExpectControls(d.controls, {
      {0, kChild | WS_GROUP | SS_LEFT, 7, 8, 14, 8, -1, kStatic, L"File:", 0},
      {0, button, 194, 5, 74, 14, IDC_OPEN_FILE, kButton, L"Open File...", 0},
      {0, kChild | WS_BORDER | WS_TABSTOP | ES_RIGHT | ES_AUTOHSCROLL, 25, 5, 167, 13,
       IDC_FILE_PATH, kEdit, L"", 0},
      {0, button, 194, 116, 74, 28, IDC_GET_INFO, kButton, L"Get Device Info", 0},
      {0, button, 194, 37, 74, 28, IDC_DOWNLOAD, kButton, L"Download To  Device", 0},
      {0, kChild | WS_BORDER | WS_TABSTOP | ES_CENTER | ES_MULTILINE | ES_AUTOHSCROLL |
              ES_READONLY | ES_WANTRETURN,
       7, 39, 185, 105, IDC_TEXT_PANE, kEdit, L"", 0},
  });
}

TEST_F(Resources, AboutBoxTemplate) {
  const std::uint8_t* data = Resource(5, IDD_ABOUTBOX);
  ASSERT_NE(data, nullptr);
  const Dialog d = TemplateReader(data).Read();
  EXPECT_EQ(d.style, static_cast<DWORD>(DS_SHELLFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION |
                                        WS_SYSMENU));
  EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{0, 0, 170, 62}));
  EXPECT_EQ(d.caption, L"About VantorTool");
  EXPECT_EQ(d.font, L"MS Shell Dlg");
  EXPECT_EQ(d.pointSize, 8);
  ExpectControls(d.controls, {
      {0, kChild | SS_ICON, 14, 14, 20, 20, -1, kStatic, L"", IDR_MAINFRAME},
      {0, kChild | WS_GROUP | SS_LEFT | SS_NOPREFIX, 42, 14, 114, 8, -1, kStatic, L"Orvane Tool ", 0},
      {0, kChild | WS_GROUP | SS_LEFT, 42, 26, 114, 8, -1, kStatic, L"Version 1.0.0.6", 0},
      {0, kChild | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 113, 41, 50, 14, IDOK, kButton, L"OK", 0},
  });
}

TEST_F(Resources, StringIconAndManifest) {
  wchar_t text[64] = {};
  ASSERT_GT(LoadStringW(module_, IDS_ABOUTBOX, text, 64), 0);
  EXPECT_STREQ(text, L"&About VantorTool...");

  // The icon group: one image, 32 x 32, 24 bits per pixel.
  const std::uint8_t* group = Resource(14, IDR_MAINFRAME);
  ASSERT_NE(group, nullptr);
  std::uint16_t count, bits;
  std::memcpy(&count, group + 4, 2);
  std::memcpy(&bits, group + 6 + 6, 2);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(group[6], 32);  // width
  EXPECT_EQ(group[7], 32);  // height
  EXPECT_EQ(bits, 24);

  std::size_t size = 0;
  const std::uint8_t* manifest = Resource(24, 1, &size);
  ASSERT_NE(manifest, nullptr);
  const std::string xml(reinterpret_cast<const char*>(manifest), size);
  for (const char* part :
       {R"(level="asInvoker")", R"(uiAccess="false")", R"(name="Microsoft.Windows.Common-Controls")",
        R"(version="6.0.0.0")", R"(processorArchitecture="x86")",
        R"(publicKeyToken="6595b64144ccf1df")"}) {
    EXPECT_NE(xml.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace vantor::win32
