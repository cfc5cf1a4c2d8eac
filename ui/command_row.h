#pragma once

#include <QWidget>
#include <memory>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace tevra {

// One command for a terminal under its caption, with a Copy button of its
// own: pasting runs exactly that command, never the next one too.
class CommandRow : public QWidget {
  Q_OBJECT

 public:
  // An empty command shows the caption alone (a way out with no command).
  CommandRow(const QString& caption, const QString& command, QWidget* parent = nullptr);
  CommandRow(const CommandRow&) = delete;
  CommandRow& operator=(const CommandRow&) = delete;
  ~CommandRow() override;

  QString command() const;

 private:
  // Owned here and gone before the row, so none is deleted twice.
  std::unique_ptr<QVBoxLayout> m_layout;
  std::unique_ptr<QLabel> m_caption;
  std::unique_ptr<QHBoxLayout> m_line;
  std::unique_ptr<QLineEdit> m_command;
  std::unique_ptr<QPushButton> m_copy;
};

}  // namespace tevra
