#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tevra {

// One D-Bus method call in the wire format (little-endian), its arguments
// added in the order of its signature. Only what the updater sends over the
// session bus: no file descriptors, no replies.
class BusMessage {
 public:
  BusMessage(std::string_view destination, std::string_view path, std::string_view interface,
             std::string_view member, std::string_view signature);

  void AddByte(std::uint8_t value);
  void AddInt32(std::int32_t value);
  void AddUint32(std::uint32_t value);
  // Valid UTF-8 without NUL: the bus disconnects a sender of anything else.
  void AddString(std::string_view value);
  // A signature, also the type that opens a variant.
  void AddSignature(std::string_view value);

  // Elements are added between OpenArray and CloseArray.
  struct ArrayMark {
    std::size_t lengthAt;
    std::size_t elementsAt;
  };
  ArrayMark OpenArray(std::size_t elementAlignment);
  void CloseArray(ArrayMark mark);
  // A struct or a dict entry.
  void OpenStruct();

  // The whole message; serial is non-zero and unique on its connection.
  std::string Wire(std::uint32_t serial) const;

 private:
  std::string destination_;
  std::string path_;
  std::string interface_;
  std::string member_;
  std::string signature_;
  std::string body_;
};

}  // namespace tevra
