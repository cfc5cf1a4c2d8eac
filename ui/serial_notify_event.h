#pragma once

#include <QEvent>
#include <cstdint>

namespace tevra {

// A notification of the serial workers, posted to the window's thread.
class SerialNotifyEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 1);

  SerialNotifyEvent(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
      : QEvent(kType), m_msg(msg), m_wParam(wParam), m_lParam(lParam) {}

  std::uint32_t msg() const { return m_msg; }
  std::uintptr_t wParam() const { return m_wParam; }
  std::intptr_t lParam() const { return m_lParam; }

 private:
  std::uint32_t m_msg;
  std::uintptr_t m_wParam;
  std::intptr_t m_lParam;
};

}  // namespace tevra
