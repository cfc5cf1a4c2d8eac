#pragma once

#include <QDialog>
#include <QProcess>
#include <memory>
#include <string>
#include <vector>

#include "access/grant_request.h"
#include "platform/port_access.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tevra {

class CommandRow;

// Shown when the port did not open because this user may not use the
// device: which adapter it is, who may use it and why the user may not.
// "Allow access" (the default) asks polkit, through pkexec and the
// desktop's own password prompt, for the grant PlanGrant chooses (the
// installed updater's step, or setfacl for this time); the dialog is
// accepted once it granted. When no grant can be asked for, pkexec is
// missing, the prompt is refused or dismissed, or the grant fails, it shows
// the commands for a terminal instead, each with a Copy button, and stays
// open; for a port no grant can help (a pseudo-terminal) it offers only the
// commands that can work. Cancel changes nothing. Every text from the device
// or the system is shown as plain text.
class PortAccessDialog : public QDialog {
  Q_OBJECT

 public:
  // adapter: "FTDI FT232R USB UART (serial A50285BI) at /dev/ttyUSB0";
  // model: the USB ids "0403:6001", the check box for a rule is offered
  // only with them; program: this updater's own path (PlanGrant's self).
  PortAccessDialog(const PortAccess& access, const std::string& adapter, const std::string& model,
                   std::string program, QWidget* parent = nullptr);
  PortAccessDialog(const PortAccessDialog&) = delete;
  PortAccessDialog& operator=(const PortAccessDialog&) = delete;
  ~PortAccessDialog() override;

  // How the last grant ended; kFailed until one ran.
  GrantResult result() const { return m_result; }
  // The commands shown for a terminal, one a line; empty while hidden.
  QString commands() const;

 private:
  void OnAllow();
  // said: what pkexec and the step wrote on standard error.
  void OnGrantEnded(GrantResult result, const std::string& said);

  void ShowCommands(const QString& status, const std::vector<std::string>& ruleCommands);

  PortAccess m_access;
  std::string m_program;
  bool m_usb = false;  // a USB adapter's grant also ends when it is unplugged
  GrantRequest m_request;
  GrantResult m_result = GrantResult::kFailed;
  QProcess m_grant;
  // Owned here and gone before the dialog, so none is deleted twice; the
  // buttons belong to their box.
  std::unique_ptr<QVBoxLayout> m_layout;
  std::unique_ptr<QLabel> m_explanation;
  std::unique_ptr<QCheckBox> m_always;
  std::unique_ptr<QLabel> m_status;
  std::unique_ptr<QLabel> m_ask;
  std::vector<std::unique_ptr<CommandRow>> m_rows;
  std::unique_ptr<QDialogButtonBox> m_buttons;
  QPushButton* m_allow = nullptr;
  QPushButton* m_cancel = nullptr;
};

}  // namespace tevra
