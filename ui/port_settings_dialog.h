#pragma once

#include <QDialog>

#include "ui/dialog_controls.h"

namespace tevra {

// Lets the user pick the port and the rate. The indexes go in and come back
// out (-1 for a box with no selected row); the state only goes in.
class PortSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  PortSettingsDialog(int portIndex, int baudIndex, int state, QWidget* parent = nullptr);

  int portIndex() const { return m_portIndex; }
  int baudIndex() const { return m_baudIndex; }

 private:
  bool OnInitDialog();
  void OnOK();

  DialogControls m_controls;
  int m_portIndex;
  int m_baudIndex;
  int m_state;
};

}  // namespace tevra
