#include "ui/dialog_controls.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <algorithm>

#include "res/app_icon.h"
#include "res/resource.h"

namespace tevra {

namespace {

constexpr int kIconSize = 32;  // icon controls take the icon's size, not the template's

QFont DialogFont(const res::DialogTemplate& tpl) {
  QFont font(QString::fromUtf8(tpl.fontFamily));
  font.setPointSize(tpl.pointSize);
  return font;
}

bool Has(const res::ControlTemplate& ctl, res::Style style) {
  return (ctl.style & style) != 0;
}

}  // namespace

DialogControls::DialogControls(QDialog& dialog, const res::DialogTemplate& tpl)
    : m_units(DialogFont(tpl)) {
  dialog.setWindowTitle(QString::fromUtf8(tpl.caption));
  dialog.setFont(DialogFont(tpl));
  dialog.setFixedSize(m_units.ToPixels(tpl.w, tpl.h));
  // Created in template order, which makes Qt's focus chain the tab order.
  m_controls.reserve(tpl.controls.size());
  for (const res::ControlTemplate& ctl : tpl.controls) {
    m_controls.push_back({ctl.id, Create(dialog, ctl)});
  }
}

// The controls go before the dialog does, so none is deleted twice.
DialogControls::~DialogControls() = default;

QWidget* DialogControls::Find(int id) const {
  const auto it = std::find_if(m_controls.begin(), m_controls.end(),
                               [id](const Control& c) { return c.id == id; });
  return it == m_controls.end() ? nullptr : it->widget.get();
}

std::unique_ptr<QWidget> DialogControls::Create(QDialog& dialog,
                                                const res::ControlTemplate& ctl) const {
  const QString text = QString::fromUtf8(ctl.text);
  QRect geometry = m_units.ToPixels(ctl.x, ctl.y, ctl.w, ctl.h);
  std::unique_ptr<QWidget> widget;

  switch (ctl.kind) {
    case res::ControlKind::kStatic: {
      auto label = std::make_unique<QLabel>(text);
      label->setWordWrap(true);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      widget = std::move(label);
      break;
    }
    case res::ControlKind::kIcon: {
      auto label = std::make_unique<QLabel>();
      label->setPixmap(res::LoadAppIcon().pixmap(kIconSize, kIconSize));
      geometry.setSize({kIconSize, kIconSize});
      widget = std::move(label);
      break;
    }
    case res::ControlKind::kPushButton: {
      auto button = std::make_unique<QPushButton>(text);
      // Enter presses the focused button; otherwise it goes to the dialog's
      // default command, IDOK, whose button (where the dialog has one) is the
      // default one.
      button->setAutoDefault(true);
      button->setDefault(Has(ctl, res::kDefPushButton) && ctl.id == res::IDOK);
      widget = std::move(button);
      break;
    }
    case res::ControlKind::kComboBox: {
      auto combo = std::make_unique<QComboBox>();
      QStringList entries;
      for (const char* entry : ctl.entries) {
        entries.push_back(QString::fromUtf8(entry));
      }
      if (Has(ctl, res::kSorted)) {
        entries.sort();
      }
      combo->addItems(entries);
      if (Has(ctl, res::kDropDown)) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setCompleter(nullptr);
        DropSelectionOnEdit(*combo);
      }
      combo->setCurrentIndex(-1);
      // The template's height includes the dropped-down list.
      const int fieldHeight = combo->sizeHint().height();
      combo->setMaxVisibleItems(
          std::max(1, (geometry.height() - fieldHeight) / m_units.charHeight()));
      geometry.setHeight(fieldHeight);
      widget = std::move(combo);
      break;
    }
    case res::ControlKind::kEdit: {
      auto edit = std::make_unique<QPlainTextEdit>(text);
      // In a dialog, Tab moves on to the next control instead of typing a tab.
      edit->setTabChangesFocus(true);
      edit->setVerticalScrollBarPolicy(Has(ctl, res::kVScroll) ? Qt::ScrollBarAlwaysOn
                                                               : Qt::ScrollBarAsNeeded);
      edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      edit->setFrameShape(Has(ctl, res::kBorder) ? QFrame::StyledPanel : QFrame::NoFrame);
      widget = std::move(edit);
      break;
    }
    case res::ControlKind::kProgress: {
      auto progress = std::make_unique<QProgressBar>();
      progress->setTextVisible(false);
      widget = std::move(progress);
      break;
    }
  }

  widget->setObjectName(QString::fromUtf8(ctl.idName));
  if (!Has(ctl, res::kTabStop) && widget->focusPolicy() != Qt::NoFocus) {
    widget->setFocusPolicy(Qt::ClickFocus);
  }
  widget->setParent(&dialog);
  widget->setGeometry(geometry);
  return widget;
}

// In a drop-down box, typed text is not a choice: editing drops the selected
// row (the box then reads -1) and keeps the text as typed. Qt would pick the
// row whose text matches once editing ends; that is cut off here.
void DialogControls::DropSelectionOnEdit(QComboBox& combo) {
  QComboBox* box = &combo;
  QObject::disconnect(combo.lineEdit(), &QLineEdit::editingFinished, box, nullptr);
  QObject::connect(combo.lineEdit(), &QLineEdit::textEdited, box, [box](const QString& typed) {
    if (box->currentIndex() < 0) {
      return;
    }
    QLineEdit* line = box->lineEdit();
    const int cursor = line->cursorPosition();
    box->setCurrentIndex(-1);
    line->setText(typed);
    line->setCursorPosition(cursor);
  });
}

}  // namespace tevra
