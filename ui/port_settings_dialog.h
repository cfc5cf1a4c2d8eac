#pragma once

#include <QDialog>

#include "platform/port_resolver.h"
#include "ui/dialog_controls.h"

namespace tevra {

// Lets the user pick the port and the rate. The indexes go in and come back
// out (-1 for a box with no selected row); the state only goes in. Each
// port row's tooltip says what that number is (ports.Describe); nothing here
// opens a device, since opening a tty toggles DTR and resets some boards.
class PortSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  PortSettingsDialog(int portIndex, int baudIndex, int state, QWidget* parent = nullptr);
  PortSettingsDialog(int portIndex, int baudIndex, int state, PortResolver ports,
                     QWidget* parent = nullptr);

  int portIndex() const { return m_portIndex; }
  int baudIndex() const { return m_baudIndex; }

 private:
  bool OnInitDialog();
  void OnOK();

  DialogControls m_controls;
  int m_portIndex;
  int m_baudIndex;
  int m_state;
  PortResolver m_ports;
};

}  // namespace tevra
