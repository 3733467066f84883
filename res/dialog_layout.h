// The dialog templates of VantorTool.rc as a table, for the windows that
// are not built from the script: the Qt window makes its dialogs from it.
// tests/qt/window_test.cpp holds the script to it.
#pragma once

#include <cstddef>
#include <iterator>

#include "resource.h"
#include "vantor_version.h"

namespace vantor::res {

// A control as the script's statement makes it.
enum class ControlKind {
  kLabel,          // LTEXT
  kButton,         // PUSHBUTTON
  kDefaultButton,  // DEFPUSHBUTTON
  kEdit,           // EDITTEXT
  kMultiLineEdit,  // EDITTEXT with ES_MULTILINE
  kIcon,           // CONTROL of class Static with SS_ICON: the application icon
};

// A control: its ID (IDC_STATIC for labels and the icon), its caption ("" for
// none) and its place in dialog units.
struct DialogControl {
  ControlKind kind;
  int id;
  const char* caption;
  int x, y, cx, cy;
};

// A dialog: caption, font, size in dialog units and the controls in the
// script's order, which is also the Tab order.
struct DialogTemplate {
  const char* caption;
  const char* font;
  int pointSize;
  int cx, cy;
  const DialogControl* controls;
  std::size_t count;

  const DialogControl* begin() const { return controls; }
  const DialogControl* end() const { return controls + count; }
};

// IDD_VANTORTOOL_DIALOG.
inline constexpr DialogControl kMainControls[] = {
    {ControlKind::kLabel, IDC_STATIC, "File:", 7, 8, 14, 8},
    {ControlKind::kButton, IDC_OPEN_FILE, "Open File...", 194, 5, 74, 14},
    {ControlKind::kEdit, IDC_FILE_PATH, "", 25, 5, 167, 13},
    {ControlKind::kButton, IDC_GET_INFO, "Get Device Info", 194, 116, 74, 28},
    {ControlKind::kButton, IDC_DOWNLOAD, "Download To  Device", 194, 37, 74, 28},
    {ControlKind::kMultiLineEdit, IDC_TEXT_PANE, "", 7, 39, 185, 105},
};
inline constexpr DialogTemplate kMainDialog = {
    VANTORTOOL_CAPTION, "Microsoft Sans Serif",  18, 273, 151,
    kMainControls,      std::size(kMainControls)};

// IDD_ABOUTBOX.
inline constexpr DialogControl kAboutControls[] = {
    {ControlKind::kIcon, IDC_STATIC, "", 14, 14, 20, 20},
    {ControlKind::kLabel, IDC_STATIC, "Orvane Tool ", 42, 14, 114, 8},
    {ControlKind::kLabel, IDC_STATIC, VANTORTOOL_ABOUT_VERSION, 42, 26, 114, 8},
    {ControlKind::kDefaultButton, 1 /* IDOK */, "OK", 113, 41, 50, 14},
};
inline constexpr DialogTemplate kAboutDialog = {
    "About VantorTool", "MS Shell Dlg", 8, 170, 62, kAboutControls, std::size(kAboutControls)};

}  // namespace vantor::res
