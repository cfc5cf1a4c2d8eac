#include "app/desktop_notification.h"

#include <cstdint>

#include "app/build_info.h"
#include "app/bus_message.h"
#include "app/session_bus.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

// As the desktop entry names the updater.
constexpr char kAppName[] = "Tevra dongle updater";
constexpr char kSummary[] = "The updater window cannot start";
// Critical: the notification stays until it is read.
constexpr std::uint8_t kUrgencyCritical = 2;
constexpr std::int32_t kServerDefaultTimeout = -1;

}  // namespace

bool DesktopNotification::ShowStartFailure(std::string_view cause) {
  SessionBus bus = SessionBus::Connect(std::chrono::steady_clock::now() + kGiveUp);
  if (!bus.connected()) {
    return false;
  }
  BusMessage notify("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                    "org.freedesktop.Notifications", "Notify", "susssasa{sv}i");
  notify.AddString(kAppName);
  notify.AddUint32(0);  // a new notification, replacing none
  notify.AddString(kDesktopAppId);
  notify.AddString(kSummary);
  // Printable: the bus accepts nothing but valid UTF-8.
  notify.AddString(Printable(cause));
  notify.CloseArray(notify.OpenArray(4));  // no actions
  const BusMessage::ArrayMark hints = notify.OpenArray(8);
  notify.OpenStruct();
  notify.AddString("urgency");
  notify.AddSignature("y");
  notify.AddByte(kUrgencyCritical);
  notify.CloseArray(hints);
  notify.AddInt32(kServerDefaultTimeout);
  return bus.Call(notify);
}

}  // namespace tevra
