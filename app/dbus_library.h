#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace tevra {

// The few calls of the system's libdbus-1 that the updater makes, loaded at
// run time: every desktop has the library (the window's Qt needs it), the
// updater runs without it, and the build needs none of its headers. Its
// types stay opaque; the codes below are the D-Bus protocol's own.
class DbusLibrary {
 public:
  struct Connection;
  struct Message;
  // Room for libdbus's DBusMessageIter, which callers allocate: 16 pointers
  // on any platform.
  struct Iter {
    alignas(void*) std::array<std::byte, 16 * sizeof(void*)> storage{};
  };

  static constexpr int kTypeByte = 'y';
  static constexpr int kTypeInt32 = 'i';
  static constexpr int kTypeUint32 = 'u';
  static constexpr int kTypeString = 's';
  static constexpr int kTypeArray = 'a';
  static constexpr int kTypeVariant = 'v';
  static constexpr int kTypeDictEntry = 'e';
  static constexpr int kMethodReturn = 2;
  static constexpr int kError = 3;

  using Bool = std::uint32_t;  // dbus_bool_t
  // dbus_connection_open_private is connectionOpenPrivate, and so on.
  struct Calls {
    Connection* (*connectionOpenPrivate)(const char* address, void* error);
    void (*connectionSetExitOnDisconnect)(Connection*, Bool exit);
    void (*connectionSetMaxMessageSize)(Connection*, long size);
    Bool (*connectionSend)(Connection*, Message*, std::uint32_t* serial);
    Bool (*connectionReadWrite)(Connection*, int timeoutMilliseconds);
    Message* (*connectionPopMessage)(Connection*);
    void (*connectionClose)(Connection*);
    void (*connectionUnref)(Connection*);
    Message* (*messageNewMethodCall)(const char* destination, const char* path,
                                     const char* interface, const char* method);
    int (*messageGetType)(Message*);
    std::uint32_t (*messageGetReplySerial)(Message*);
    void (*messageUnref)(Message*);
    void (*messageIterInitAppend)(Message*, Iter*);
    Bool (*messageIterAppendBasic)(Iter*, int type, const void* value);
    Bool (*messageIterOpenContainer)(Iter*, int type, const char* signature, Iter* sub);
    Bool (*messageIterCloseContainer)(Iter*, Iter* sub);
  };

  // Closes and drops a private connection.
  struct ConnectionCloser {
    void (*close)(Connection*);
    void (*unref)(Connection*);
    void operator()(Connection* connection) const {
      close(connection);
      unref(connection);
    }
  };
  struct MessageUnref {
    void (*unref)(Message*);
    void operator()(Message* message) const { unref(message); }
  };
  using ConnectionPtr = std::unique_ptr<Connection, ConnectionCloser>;
  using MessagePtr = std::unique_ptr<Message, MessageUnref>;

  // Nothing when libdbus-1.so.3 or one of the calls is missing.
  static std::optional<DbusLibrary> Load();

  const Calls& calls() const { return calls_; }

  // Connects to address (a D-Bus address list; the first entry that
  // connects), never shared with another user of libdbus in the process.
  ConnectionPtr OpenPrivate(const char* address) const;
  MessagePtr NewMethodCall(const char* destination, const char* path, const char* interface,
                           const char* method) const;
  // The next message read and queued; null when none is.
  MessagePtr PopMessage(Connection* connection) const;

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  explicit DbusLibrary(std::unique_ptr<void, Closer> handle) : handle_(std::move(handle)) {}

  std::unique_ptr<void, Closer> handle_;
  Calls calls_{};
};

}  // namespace tevra
