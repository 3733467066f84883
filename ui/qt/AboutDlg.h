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

  const BaseUnits& Units() const { return m_units; }
  QLabel* IconLabel() const { return m_icon; }
  QLabel* TitleLabel() const { return m_title; }
  QLabel* VersionLabel() const { return m_version; }
  QPushButton* OkButton() const { return m_ok; }

 private:
  BaseUnits m_units;
  QLabel* m_icon = nullptr;
  QLabel* m_title = nullptr;
  QLabel* m_version = nullptr;
  QPushButton* m_ok = nullptr;
};

}  // namespace vantor::qt
