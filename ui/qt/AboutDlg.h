// The About box: icon, product line, version line and OK, laid out in
// dialog units of its 8-point shell font.
#pragma once

#include <QDialog>

#include "DialogUnits.h"

class QLabel;
class QPushButton;

namespace vantor::qt {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  const BaseUnits& Units() const { return units_; }
  QLabel* IconLabel() const { return icon_; }
  QLabel* TitleLabel() const { return title_; }
  QLabel* VersionLabel() const { return version_; }
  QPushButton* OkButton() const { return ok_; }

 private:
  BaseUnits units_;
  QLabel* icon_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* version_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace vantor::qt
