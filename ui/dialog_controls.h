#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "res/dialog_template.h"
#include "ui/dialog_units.h"

class QComboBox;
class QDialog;

namespace tevra {

// The controls of one dialog, made from its template: caption, font, fixed
// client size and every control at its converted position, named after its
// id. Owns the controls; the dialog must outlive this object.
class DialogControls {
 public:
  DialogControls(QDialog& dialog, const res::DialogTemplate& tpl);
  DialogControls(const DialogControls&) = delete;
  DialogControls& operator=(const DialogControls&) = delete;
  ~DialogControls();

  // The control with the given id, or nullptr when there is none of type T.
  template <class T>
  T* Get(int id) const {
    return qobject_cast<T*>(Find(id));
  }
  QWidget* Find(int id) const;

  const DialogUnits& units() const { return m_units; }

 private:
  struct Control {
    int id;
    std::unique_ptr<QWidget> widget;
  };

  std::unique_ptr<QWidget> Create(QDialog& dialog, const res::ControlTemplate& ctl) const;
  static void DropSelectionOnEdit(QComboBox& combo);

  DialogUnits m_units;
  std::vector<Control> m_controls;
};

}  // namespace tevra
