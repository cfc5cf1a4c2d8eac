#pragma once

#include <QDialog>

#include "ui/dialog_controls.h"

namespace tevra {

// The about box: the icon, one line of text and OK.
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

 private:
  DialogControls m_controls;
};

}  // namespace tevra
