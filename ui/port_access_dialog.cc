#include "ui/port_access_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "access/serial_node.h"
#include "platform/diagnostics.h"
#include "ui/command_row.h"

namespace tevra {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(Printable(text));
}

QString Explanation(const PortAccess& access, const std::string& adapter, bool usb) {
  QString text = QString("You may not use %1.\n\n").arg(Text(adapter));
  text += QString("It belongs to the user %1 and the group %2 (%3). ")
              .arg(Text(access.owner), Text(access.group), Text(access.Ownership()));
  switch (access.verdict) {
    case PortAccess::Verdict::kNotInGroup:
      text += QString("Only they may read and write it, and you (%1) are not in the %2 group.")
                  .arg(Text(access.user), Text(access.group));
      break;
    case PortAccess::Verdict::kGroupNotInSession:
      text += QString(
                  "You (%1) are in the %2 group, but only since this session began: it "
                  "counts once you log out and in again.")
                  .arg(Text(access.user), Text(access.group));
      break;
    case PortAccess::Verdict::kOwnerOnly:
    case PortAccess::Verdict::kAllowed:
    case PortAccess::Verdict::kMissing:
      text += QString("Only %1 may read and write it.").arg(Text(access.owner));
      break;
  }
  if (access.noGrant.empty()) {
    text += QString(
                "\n\nAllow access lets you use this adapter %1. Your desktop asks for an "
                "administrator's password first.")
                .arg(QString::fromStdString(GrantLasts(usb)));
  }
  return text;
}

}  // namespace

PortAccessDialog::PortAccessDialog(const PortAccess& access, const std::string& adapter,
                                   const std::string& model, std::string program, QWidget* parent)
    : QDialog(parent), m_access(access), m_program(std::move(program)), m_usb(!model.empty()) {
  setWindowTitle("Allow access to the serial port");
  setObjectName("PortAccessDialog");
  m_layout = std::make_unique<QVBoxLayout>(this);
  m_layout->setSizeConstraint(QLayout::SetMinimumSize);
  // The adapter's name is the device's own words: never markup.
  m_explanation = std::make_unique<QLabel>(Explanation(access, adapter, !model.empty()));
  m_explanation->setObjectName("explanation");
  m_explanation->setTextFormat(Qt::PlainText);
  m_explanation->setWordWrap(true);
  m_explanation->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_layout->addWidget(m_explanation.get());
  if (!model.empty()) {
    m_always = std::make_unique<QCheckBox>(
        QString("Allow every adapter of this model (%1) whenever it is plugged in")
            .arg(Text(model)));
    m_always->setObjectName("always");
    m_layout->addWidget(m_always.get());
  }
  m_status = std::make_unique<QLabel>();
  m_status->setObjectName("status");
  m_status->setTextFormat(Qt::PlainText);
  m_status->setWordWrap(true);
  m_status->hide();
  m_layout->addWidget(m_status.get());
  m_ask = std::make_unique<QLabel>(
      "If you are not this computer's administrator, ask whoever looks after it to run:");
  m_ask->setObjectName("ask");
  m_ask->setTextFormat(Qt::PlainText);
  m_ask->setWordWrap(true);
  m_ask->hide();
  m_layout->addWidget(m_ask.get());

  m_buttons = std::make_unique<QDialogButtonBox>();
  m_allow = m_buttons->addButton("Allow access", QDialogButtonBox::AcceptRole);
  m_allow->setObjectName("allow");
  m_allow->setDefault(true);
  m_cancel = m_buttons->addButton(QDialogButtonBox::Cancel);
  m_cancel->setObjectName("cancel");
  m_layout->addWidget(m_buttons.get());
  // The accept role would close the dialog at once: it closes once granted.
  disconnect(m_buttons.get(), &QDialogButtonBox::accepted, nullptr, nullptr);
  connect(m_allow, &QPushButton::clicked, this, &PortAccessDialog::OnAllow);
  connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(&m_grant, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
    const std::string said = m_grant.readAllStandardError().toStdString();
    DiagnosePkexec(said);
    OnGrantEnded(status == QProcess::NormalExit ? GrantResultOf(m_request, code, said)
                                                : GrantResult::kFailed,
                 said);
  });
  connect(&m_grant, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) {
      OnGrantEnded(GrantResult::kNoPkexec, {});
    }
  });
  // The step's one line says why it refused or failed; the person sees it here.
  m_grant.setProcessChannelMode(QProcess::SeparateChannels);
  m_grant.setStandardInputFile(QProcess::nullDevice());
  // Wide enough for the adapter's name and the commands on a line each.
  m_explanation->setMinimumWidth(fontMetrics().averageCharWidth() * 64);
  if (!access.noGrant.empty()) {
    // No grant can work here: only the ways that can are offered.
    m_allow->hide();
    if (m_always != nullptr) {
      m_always->hide();
    }
    ShowCommands(QString("No grant can help here: %1.").arg(Text(access.noGrant)), {});
  }
}

// A prompt still open goes with the dialog; nothing was granted.
PortAccessDialog::~PortAccessDialog() {
  if (m_grant.state() != QProcess::NotRunning) {
    m_grant.kill();
    m_grant.waitForFinished();
  }
}

QString PortAccessDialog::commands() const {
  QString text;
  for (const std::unique_ptr<CommandRow>& row : m_rows) {
    if (!row->command().isEmpty()) {
      text += row->command() + "\n";
    }
  }
  return text;
}

void PortAccessDialog::OnAllow() {
  if (m_grant.state() != QProcess::NotRunning) {
    return;
  }
  const GrantPlan plan =
      PlanGrant(m_program, m_access.node, m_always != nullptr && m_always->isChecked());
  const std::string node = Printable(m_access.node);
  if (!plan.cause.empty()) {
    Diagnose("access to " + node + ": " + Printable(plan.cause));
  }
  if (!plan.request) {
    m_result = plan.refusal;
    Diagnose("access to " + node + " not granted: " + Describe(plan.refusal));
    ShowCommands(QString("Access was not granted: %1.\n%2")
                     .arg(QString::fromStdString(Describe(plan.refusal)), Text(plan.cause)),
                 plan.ruleCommands);
    return;
  }
  m_request = *plan.request;
  QStringList args;
  for (const std::string& arg : m_request.Arguments()) {
    args << QString::fromStdString(arg);
  }
  const QString pkexec = args.takeFirst();
  m_allow->setEnabled(false);
  m_status->setText("Waiting for the administrator's password...");
  m_status->show();
  m_grant.start(pkexec, args);
}

void PortAccessDialog::OnGrantEnded(GrantResult result, const std::string& said) {
  const std::string node = Printable(m_access.node);
  // setfacl says nothing of what it did: the node says it.
  if (result == GrantResult::kGranted && m_request.program.empty() &&
      ExaminePortAccess(m_access.node).verdict != PortAccess::Verdict::kAllowed) {
    result = GrantResult::kFailed;
  }
  m_result = result;
  if (result == GrantResult::kGranted) {
    accept();
    return;
  }
  Diagnose("access to " + node + " not granted: " + Describe(result));
  QString text =
      QString("Access was not granted: %1.").arg(QString::fromStdString(Describe(result)));
  // The step's own reason (a refusal, a failure) is worth reading here.
  if (!said.empty() && (result == GrantResult::kRefused || result == GrantResult::kFailed)) {
    text += "\n" + Text(said);
  }
  ShowCommands(text, {});
}

void PortAccessDialog::ShowCommands(const QString& status,
                                    const std::vector<std::string>& ruleCommands) {
  m_status->setText(status);
  m_status->show();
  m_rows.clear();
  const auto add = [this](const QString& caption, const std::string& command) {
    m_rows.push_back(std::make_unique<CommandRow>(caption, Text(command)));
    m_layout->insertWidget(m_layout->indexOf(m_buttons.get()), m_rows.back().get());
    // Now, not on the next turn of the loop: adjustSize below must count it.
    m_rows.back()->show();
  };
  if (const std::string now = m_access.ThisTimeCommand(); !now.empty()) {
    add(QString("For this time only (%1):").arg(QString::fromStdString(GrantLasts(m_usb))), now);
  }
  QString rule = "For every adapter of this model, whenever it is plugged in:";
  for (const std::string& command : ruleCommands) {
    add(rule, command);
    rule = "then:";
  }
  if (const std::string command = m_access.ForGoodCommand(); !command.empty()) {
    add("For good (from your next login: log out and in again):", command);
  } else if (const std::string lasting = m_access.ForGood(); !lasting.empty()) {
    add(QString("For good: %1.").arg(Text(lasting)), {});
  }
  m_ask->setVisible(!commands().isEmpty());
  m_allow->setEnabled(true);
  m_cancel->setText("Close");
  adjustSize();  // room for the commands without squeezing the explanation
}

}  // namespace tevra
