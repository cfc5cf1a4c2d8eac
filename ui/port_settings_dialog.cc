#include "ui/port_settings_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <utility>

#include "res/resource.h"

namespace tevra {

namespace {

constexpr int kStateOpen = 1;

}  // namespace

PortSettingsDialog::PortSettingsDialog(int portIndex, int baudIndex, int state, QWidget* parent)
    : PortSettingsDialog(portIndex, baudIndex, state, PortResolver::ForThisUser(), parent) {}

PortSettingsDialog::PortSettingsDialog(int portIndex, int baudIndex, int state, PortResolver ports,
                                       QWidget* parent)
    : QDialog(parent),
      m_controls(*this, res::PortSettingsTemplate()),
      m_portIndex(portIndex),
      m_baudIndex(baudIndex),
      m_state(state),
      m_ports(std::move(ports)) {
  connect(m_controls.Get<QPushButton>(res::IDOK), &QPushButton::clicked, this,
          &PortSettingsDialog::OnOK);
  OnInitDialog();
}

bool PortSettingsDialog::OnInitDialog() {
  m_controls.Get<QComboBox>(res::IDC_BAUD_RATE)->setCurrentIndex(m_baudIndex);
  auto* ports = m_controls.Get<QComboBox>(res::IDC_PORT_NUMBER);
  ports->setCurrentIndex(m_portIndex);
  for (int row = 0; row < ports->count(); ++row) {
    bool ok = false;
    const unsigned n = ports->itemText(row).mid(3).toUInt(&ok);
    if (ok) {
      // A tooltip takes what looks like markup as markup; the adapter's
      // strings are the device's own words.
      ports->setItemData(row, Qt::convertFromPlainText(QString::fromStdString(m_ports.Describe(n))),
                         Qt::ToolTipRole);
    }
  }
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
