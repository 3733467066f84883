// The About box: icon, product line, version line and OK, made from
// res::kAboutDialog.
#pragma once

#include <QDialog>
#include <vector>

#include "DialogUnits.h"

namespace vantor::qt {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  const BaseUnits& Units() const { return units_; }
  // The widgets of res::kAboutDialog, in its order: icon, two lines, OK.
  const std::vector<QWidget*>& Items() const { return items_; }

 private:
  BaseUnits units_;
  std::vector<QWidget*> items_;
};

}  // namespace vantor::qt
