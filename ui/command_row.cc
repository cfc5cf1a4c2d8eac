#include "ui/command_row.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tevra {

CommandRow::CommandRow(const QString& caption, const QString& command, QWidget* parent)
    : QWidget(parent) {
  setObjectName("commandRow");
  m_layout = std::make_unique<QVBoxLayout>(this);
  m_layout->setContentsMargins(0, 0, 0, 0);
  m_caption = std::make_unique<QLabel>(caption);
  m_caption->setTextFormat(Qt::PlainText);
  m_caption->setWordWrap(true);
  m_layout->addWidget(m_caption.get());
  if (command.isEmpty()) {
    return;
  }
  m_line = std::make_unique<QHBoxLayout>();
  m_command = std::make_unique<QLineEdit>(command);
  m_command->setObjectName("command");
  m_command->setReadOnly(true);
  m_command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_command->setCursorPosition(0);
  m_copy = std::make_unique<QPushButton>("Copy");
  m_copy->setObjectName("copy");
  m_copy->setAutoDefault(false);
  connect(m_copy.get(), &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(m_command->text()); });
  m_line->addWidget(m_command.get(), 1);
  m_line->addWidget(m_copy.get());
  m_layout->addLayout(m_line.get());
}

// The layouts go before the widgets they arrange; Qt deletes neither twice.
CommandRow::~CommandRow() = default;

QString CommandRow::command() const {
  return m_command != nullptr ? m_command->text() : QString();
}

}  // namespace tevra
