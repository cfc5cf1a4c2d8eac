#include "app/desktop_notification.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/bounded_child.h"
#include "app/build_info.h"
#include "app/dbus_library.h"
#include "platform/diagnostics.h"

namespace tevra {
namespace {

using Deadline = BoundedChild::Deadline;

// As the desktop entry names the updater.
constexpr char kAppName[] = "Tevra dongle updater";
constexpr char kSummary[] = "The updater window cannot start";
// Critical: the notification stays until it is read.
constexpr std::uint8_t kUrgencyCritical = 2;
constexpr std::int32_t kServerDefaultTimeout = -1;
constexpr std::uint32_t kReplacesNone = 0;
constexpr char kBus[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
// Messages larger than this are no answer to ours.
constexpr long kMaxMessage = 1L << 20;

// Only unix: entries that name a socket: autolaunch: and unixexec: would
// start a program, tcp: could wait on the network.
bool NamesUnixSocket(std::string_view entry) {
  constexpr std::string_view kUnix = "unix:";
  if (!entry.starts_with(kUnix)) {
    return false;
  }
  entry.remove_prefix(kUnix.size());
  while (!entry.empty()) {
    const std::string_view pair = entry.substr(0, entry.find(','));
    if (pair.starts_with("path=") || pair.starts_with("abstract=")) {
      return true;
    }
    entry.remove_prefix(std::min(entry.size(), pair.size() + 1));
  }
  return false;
}

// A value in a D-Bus address: any byte but [-0-9A-Za-z_/.*] as %XX.
std::string AddressValue(std::string_view value) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::string_view("-_/.*").find(c) != std::string_view::npos;
    if (plain) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += {'%', kHex[byte >> 4U], kHex[byte & 0xfU]};
    }
  }
  return out;
}

// The session bus's address list, reduced to the entries we may connect to;
// empty when there is no session bus. A bus is never started.
std::string SessionBusAddress() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread may set it
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') {
    std::string usable;
    std::string_view rest = address;
    while (!rest.empty()) {
      const std::string_view entry = rest.substr(0, rest.find(';'));
      if (NamesUnixSocket(entry)) {
        usable += (usable.empty() ? "" : ";") + std::string(entry);
      }
      rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
    }
    return usable;
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): as above
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') {
    return {};
  }
  const std::string path = std::string(runtime) + "/bus";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    return {};
  }
  return "unix:path=" + AddressValue(path);
}

// The body is markup (servers may take a subset of HTML): escaped, a path
// with "&" or a cause with "<b>" shows as it is.
std::string MarkupEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// Notify(susssasa{sv}i); null when libdbus refuses an argument.
DbusLibrary::MessagePtr NotifyCall(const DbusLibrary& dbus, const std::string& body) {
  using L = DbusLibrary;
  L::MessagePtr call =
      dbus.NewMethodCall(kNotifications, kNotificationsPath, kNotifications, "Notify");
  if (!call) {
    return call;
  }
  const L::Calls& c = dbus.calls();
  const auto basic = [&c](L::Iter* iter, int type, const void* value) {
    return c.messageIterAppendBasic(iter, type, value) != 0;
  };
  const auto text = [&basic](L::Iter* iter, const char* value) {
    return basic(iter, L::kTypeString, static_cast<const void*>(&value));
  };
  const auto open = [&c](L::Iter* iter, int type, const char* signature, L::Iter* sub) {
    return c.messageIterOpenContainer(iter, type, signature, sub) != 0;
  };
  const auto close = [&c](L::Iter* iter, L::Iter* sub) {
    return c.messageIterCloseContainer(iter, sub) != 0;
  };
  L::Iter args;
  L::Iter actions;
  L::Iter hints;
  L::Iter hint;
  L::Iter urgency;
  c.messageIterInitAppend(call.get(), &args);
  // app_name, replaces_id, app_icon, summary, body
  bool built = text(&args, kAppName) && basic(&args, L::kTypeUint32, &kReplacesNone) &&
               text(&args, kDesktopAppId) && text(&args, kSummary) && text(&args, body.c_str());
  // actions: none
  built = built && open(&args, L::kTypeArray, "s", &actions) && close(&args, &actions);
  // hints: {"urgency": <byte>}
  built = built && open(&args, L::kTypeArray, "{sv}", &hints) &&
          open(&hints, L::kTypeDictEntry, nullptr, &hint) && text(&hint, "urgency") &&
          open(&hint, L::kTypeVariant, "y", &urgency) &&
          basic(&urgency, L::kTypeByte, &kUrgencyCritical) && close(&hint, &urgency) &&
          close(&hints, &hint) && close(&args, &hints);
  // expire_timeout
  built = built && basic(&args, L::kTypeInt32, &kServerDefaultTimeout);
  if (!built) {
    call.reset();
  }
  return call;
}

// Greets the bus at address and calls Notify; true when the call's reply is
// no error.
bool Notify(const DbusLibrary& dbus, const std::string& address, const std::string& body,
            Deadline deadline) {
  const DbusLibrary::Calls& c = dbus.calls();
  const DbusLibrary::ConnectionPtr bus = dbus.OpenPrivate(address.c_str());
  if (!bus) {
    return false;
  }
  c.connectionSetExitOnDisconnect(bus.get(), 0);
  c.connectionSetMaxMessageSize(bus.get(), kMaxMessage);
  // The bus answers nothing before Hello; its reply comes before the call's,
  // so nobody waits for it.
  const DbusLibrary::MessagePtr hello = dbus.NewMethodCall(kBus, kBusPath, kBus, "Hello");
  const DbusLibrary::MessagePtr notify = NotifyCall(dbus, body);
  std::uint32_t serial = 0;
  if (!hello || !notify || c.connectionSend(bus.get(), hello.get(), nullptr) == 0 ||
      c.connectionSend(bus.get(), notify.get(), &serial) == 0) {
    return false;
  }
  // The clock is read on every turn: a bus that keeps sending never lets a
  // read wait, and each message is dropped as soon as it is read.
  for (;;) {
    const int left = BoundedChild::MillisecondsLeft(deadline);
    if (left == 0 || c.connectionReadWrite(bus.get(), left) == 0) {
      return false;
    }
    while (const DbusLibrary::MessagePtr message = dbus.PopMessage(bus.get())) {
      const int type = c.messageGetType(message.get());
      if ((type == DbusLibrary::kMethodReturn || type == DbusLibrary::kError) &&
          c.messageGetReplySerial(message.get()) == serial) {
        return type == DbusLibrary::kMethodReturn;
      }
    }
  }
}

}  // namespace

bool DesktopNotification::ShowStartFailure(std::string_view cause) {
  const Deadline deadline = std::chrono::steady_clock::now() + kGiveUp;
  const std::string address = SessionBusAddress();
  if (address.empty()) {
    return false;
  }
  const std::optional<DbusLibrary> dbus = DbusLibrary::Load();
  if (!dbus) {
    return false;
  }
  // Printable: libdbus takes nothing but valid UTF-8.
  const std::string body = MarkupEscaped(Printable(cause));
  // libdbus bounds the reads above, but not its connect: the child is
  // killed at the deadline wherever it waits.
  return BoundedChild::Run(deadline, [&] { return Notify(*dbus, address, body, deadline); });
}

}  // namespace tevra
