#include "ui/port_settings_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "res/resource.h"

namespace tevra {

namespace {

constexpr int kStateOpen = 1;

}  // namespace

PortSettingsDialog::PortSettingsDialog(int portIndex, int baudIndex, int state, QWidget* parent)
    : QDialog(parent),
      m_controls(*this, res::PortSettingsTemplate()),
      m_portIndex(portIndex),
      m_baudIndex(baudIndex),
      m_state(state) {
  connect(m_controls.Get<QPushButton>(res::IDOK), &QPushButton::clicked, this,
          &PortSettingsDialog::OnOK);
  OnInitDialog();
}

bool PortSettingsDialog::OnInitDialog() {
  m_controls.Get<QComboBox>(res::IDC_BAUD_RATE)->setCurrentIndex(m_baudIndex);
  m_controls.Get<QComboBox>(res::IDC_PORT_NUMBER)->setCurrentIndex(m_portIndex);
  m_controls.Get<QLabel>(res::IDC_PORT_STATE)
      ->setText(m_state == kStateOpen ? QStringLiteral("Open") : QStringLiteral("Close"));
  return true;
}

// Only the selected rows count; text typed into a box is never read.
void PortSettingsDialog::OnOK() {
  m_portIndex = m_controls.Get<QComboBox>(res::IDC_PORT_NUMBER)->currentIndex();
  m_baudIndex = m_controls.Get<QComboBox>(res::IDC_BAUD_RATE)->currentIndex();
  accept();
}

}  // namespace tevra
