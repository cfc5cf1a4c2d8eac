#include "app/dbus_library.h"

#include <dlfcn.h>

namespace tevra {
namespace {

// POSIX allows the cast from dlsym's result to a function pointer.
template <typename Function>
bool Resolve(void* handle, const char* name, Function** call) {
  *call = reinterpret_cast<Function*>(::dlsym(handle, name));  // NOLINT
  return *call != nullptr;
}

}  // namespace

void DbusLibrary::Closer::operator()(void* handle) const {
  ::dlclose(handle);
}

std::optional<DbusLibrary> DbusLibrary::Load() {
  // The system's own: the portable updater leaves it to the system, and a
  // process whose Qt already uses it gets that same copy.
  std::unique_ptr<void, Closer> handle(::dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    return std::nullopt;
  }
  void* h = handle.get();
  DbusLibrary library(std::move(handle));
  Calls& c = library.calls_;
  const bool complete =
      Resolve(h, "dbus_connection_open_private", &c.connectionOpenPrivate) &&
      Resolve(h, "dbus_connection_set_exit_on_disconnect", &c.connectionSetExitOnDisconnect) &&
      Resolve(h, "dbus_connection_set_max_message_size", &c.connectionSetMaxMessageSize) &&
      Resolve(h, "dbus_connection_send", &c.connectionSend) &&
      Resolve(h, "dbus_connection_read_write", &c.connectionReadWrite) &&
      Resolve(h, "dbus_connection_pop_message", &c.connectionPopMessage) &&
      Resolve(h, "dbus_connection_close", &c.connectionClose) &&
      Resolve(h, "dbus_connection_unref", &c.connectionUnref) &&
      Resolve(h, "dbus_message_new_method_call", &c.messageNewMethodCall) &&
      Resolve(h, "dbus_message_get_type", &c.messageGetType) &&
      Resolve(h, "dbus_message_get_reply_serial", &c.messageGetReplySerial) &&
      Resolve(h, "dbus_message_unref", &c.messageUnref) &&
      Resolve(h, "dbus_message_iter_init_append", &c.messageIterInitAppend) &&
      Resolve(h, "dbus_message_iter_append_basic", &c.messageIterAppendBasic) &&
      Resolve(h, "dbus_message_iter_open_container", &c.messageIterOpenContainer) &&
      Resolve(h, "dbus_message_iter_close_container", &c.messageIterCloseContainer);
  if (!complete) {
    return std::nullopt;
  }
  return library;
}

DbusLibrary::ConnectionPtr DbusLibrary::OpenPrivate(const char* address) const {
  // No DBusError: why it failed changes nothing for the caller.
  return {calls_.connectionOpenPrivate(address, nullptr),
          ConnectionCloser{calls_.connectionClose, calls_.connectionUnref}};
}

DbusLibrary::MessagePtr DbusLibrary::NewMethodCall(const char* destination, const char* path,
                                                   const char* interface,
                                                   const char* method) const {
  return {calls_.messageNewMethodCall(destination, path, interface, method),
          MessageUnref{calls_.messageUnref}};
}

DbusLibrary::MessagePtr DbusLibrary::PopMessage(Connection* connection) const {
  return {calls_.connectionPopMessage(connection), MessageUnref{calls_.messageUnref}};
}

}  // namespace tevra
