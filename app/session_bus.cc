#include "app/session_bus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace tevra {
namespace {

// Replies larger than this are no answer to our calls.
constexpr std::size_t kMaxMessage = std::size_t{1} << 20;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
    return (c | 0x20) - 'a' + 10;
  }
  return -1;
}

// An address value with its %XX escapes decoded.
std::string Unescape(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const int high = i + 2 < value.size() && value[i] == '%' ? HexDigit(value[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(value[i + 2]) : -1;
    if (low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

// The socket of one "unix:" entry of an address list; nothing for another
// transport, so autolaunch: and unixexec: never start a program.
std::optional<sockaddr_un> UnixSocketOf(std::string_view entry) {
  constexpr std::string_view kUnix = "unix:";
  if (!entry.starts_with(kUnix)) {
    return std::nullopt;
  }
  entry.remove_prefix(kUnix.size());
  while (!entry.empty()) {
    const std::string_view pair = entry.substr(0, entry.find(','));
    entry.remove_prefix(std::min(entry.size(), pair.size() + 1));
    const bool abstract = pair.starts_with("abstract=");
    if (!abstract && !pair.starts_with("path=")) {
      continue;
    }
    const std::string name = Unescape(pair.substr(pair.find('=') + 1));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with NUL
    if (name.empty() || name.size() + offset >= sizeof(address.sun_path)) {
      return std::nullopt;
    }
    std::memcpy(&address.sun_path[offset], name.data(), name.size());
    return address;
  }
  return std::nullopt;
}

std::vector<std::string> SessionBusAddresses() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread may set it
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') {
    std::vector<std::string> entries;
    std::string_view rest = address;
    while (!rest.empty()) {
      const std::string_view entry = rest.substr(0, rest.find(';'));
      entries.emplace_back(entry);
      rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
    }
    return entries;
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
  return {"unix:path=" + path};
}

UniqueFd ConnectTo(const sockaddr_un& address) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const std::size_t nameLength = address.sun_path[0] != '\0'
                                     ? std::strlen(&address.sun_path[0])
                                     : 1 + std::strlen(&address.sun_path[1]);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nameLength);
  // A Unix socket connects at once or fails (EAGAIN when its backlog is
  // full), so the connection itself never waits.
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-cstyle-cast): the sockets API's cast
  if (!fd.valid() ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return {};
  }
  return fd;
}

std::uint32_t ReadUint32(std::string_view data, std::size_t at, bool little) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint8_t>(data[little ? at + 3 - i : at + i]);
    value = (value << 8U) | byte;
  }
  return value;
}

constexpr std::size_t Align(std::size_t at, std::size_t alignment) {
  return (at + alignment - 1) / alignment * alignment;
}

struct Incoming {
  std::size_t size = 0;  // 0: not complete yet
  std::uint8_t type = 0;
  std::uint32_t replySerial = 0;
  bool malformed = false;
};

// The first message in data: its size, type and the serial it replies to.
Incoming FirstMessage(std::string_view data) {
  constexpr std::size_t kFixedHeader = 16;
  constexpr char kReplySerial = 5;
  Incoming message;
  if (data.size() < kFixedHeader) {
    return message;
  }
  const bool little = data[0] == 'l';
  const std::size_t fieldsEnd = kFixedHeader + ReadUint32(data, 12, little);
  const std::size_t size = Align(fieldsEnd, 8) + ReadUint32(data, 4, little);
  if (size > kMaxMessage || (!little && data[0] != 'B')) {
    message.malformed = true;
    return message;
  }
  if (data.size() < size) {
    return message;
  }
  message.size = size;
  message.type = static_cast<std::uint8_t>(data[1]);
  // Fields: (code, signature, value), each 8-aligned.
  for (std::size_t at = kFixedHeader; Align(at, 8) + 3 <= fieldsEnd;) {
    at = Align(at, 8);
    const char code = data[at];
    const auto typeLength = static_cast<std::uint8_t>(data[at + 1]);
    const char type = data[at + 2];
    at += 3 + typeLength;
    if (type == 'g' && at < fieldsEnd) {
      at += std::size_t{2} + static_cast<std::uint8_t>(data[at]);
    } else if ((type == 's' || type == 'o' || type == 'u') && Align(at, 4) + 4 <= fieldsEnd) {
      at = Align(at, 4);
      const std::uint32_t value = ReadUint32(data, at, little);
      at += type == 'u' ? 4 : std::size_t{4} + value + 1;
      if (code == kReplySerial) {
        message.replySerial = value;
      }
    } else {
      message.malformed = true;
      return message;
    }
  }
  return message;
}

// Milliseconds left until deadline, rounded up; 0 once it has passed.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) {
      return false;
    }
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, left);
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

SessionBus SessionBus::Connect(Deadline deadline) {
  for (const std::string& entry : SessionBusAddresses()) {
    const std::optional<sockaddr_un> address = UnixSocketOf(entry);
    if (!address) {
      continue;
    }
    SessionBus bus(ConnectTo(*address), deadline);
    if (!bus.connected()) {
      continue;
    }
    // The bus answers nothing before Hello; its reply comes before the
    // first call's, so nobody waits for it.
    const BusMessage hello("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "Hello", "");
    if (bus.Authenticate() && bus.Send(hello.Wire(++bus.lastSerial_))) {
      return bus;
    }
    return SessionBus({}, deadline);
  }
  return SessionBus({}, deadline);
}

bool SessionBus::Authenticate() {
  const std::string uid = std::to_string(::geteuid());
  std::string hex;
  for (const char digit : uid) {
    hex += "3";
    hex += digit;
  }
  if (!Send(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n")) {
    return false;
  }
  constexpr std::size_t kMaxLine = 512;
  std::size_t end = 0;
  while ((end = received_.find("\r\n")) == std::string::npos) {
    if (received_.size() > kMaxLine || !Receive()) {
      return false;
    }
  }
  const bool accepted = received_.starts_with("OK ");
  received_.erase(0, end + 2);
  return accepted && Send("BEGIN\r\n");
}

bool SessionBus::Call(const BusMessage& call) {
  if (!connected()) {
    return false;
  }
  const std::uint32_t serial = ++lastSerial_;
  if (!Send(call.Wire(serial))) {
    return false;
  }
  constexpr std::uint8_t kMethodReturn = 2;
  constexpr std::uint8_t kError = 3;
  for (;;) {
    const Incoming message = FirstMessage(received_);
    if (message.malformed) {
      return false;
    }
    if (message.size == 0) {
      if (!Receive()) {
        return false;
      }
      continue;
    }
    received_.erase(0, message.size);
    if ((message.type == kMethodReturn || message.type == kError) &&
        message.replySerial == serial) {
      return message.type == kMethodReturn;
    }
  }
}

bool SessionBus::Send(std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && errno == EAGAIN) {
      if (!WaitFor(fd_.get(), POLLOUT, deadline_)) {
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}

bool SessionBus::Receive() {
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = ::recv(fd_.get(), chunk.data(), chunk.size(), 0);
    if (got > 0) {
      received_.append(chunk.data(), static_cast<std::size_t>(got));
      return true;
    }
    if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      return false;
    }
    if (errno == EAGAIN && !WaitFor(fd_.get(), POLLIN, deadline_)) {
      return false;
    }
  }
}

}  // namespace tevra
