#include "ui/about_dialog.h"

#include <QPushButton>

#include "res/resource.h"

namespace tevra {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), m_controls(*this, res::AboutBoxTemplate()) {
  connect(m_controls.Get<QPushButton>(res::IDOK), &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tevra
