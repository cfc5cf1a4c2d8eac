#include "app/bus_message.h"

namespace tevra {
namespace {

// Offsets count from the message's start, and the body starts 8-aligned,
// so aligning within either part aligns within the message.
void Pad(std::string* out, std::size_t alignment) {
  out->resize((out->size() + alignment - 1) / alignment * alignment, '\0');
}

void PutUint32(std::string* out, std::uint32_t value) {
  Pad(out, 4);
  for (int shift = 0; shift < 32; shift += 8) {
    out->push_back(static_cast<char>((value >> shift) & 0xffU));
  }
}

void PutString(std::string* out, std::string_view value) {
  PutUint32(out, static_cast<std::uint32_t>(value.size()));
  out->append(value);
  out->push_back('\0');
}

void PutSignature(std::string* out, std::string_view value) {
  out->push_back(static_cast<char>(value.size()));
  out->append(value);
  out->push_back('\0');
}

void PatchUint32(std::string* out, std::size_t at, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8, ++at) {
    (*out)[at] = static_cast<char>((value >> shift) & 0xffU);
  }
}

BusMessage::ArrayMark OpenArrayIn(std::string* out, std::size_t elementAlignment) {
  PutUint32(out, 0);
  const std::size_t lengthAt = out->size() - 4;
  Pad(out, elementAlignment);
  return {lengthAt, out->size()};
}

void CloseArrayIn(std::string* out, BusMessage::ArrayMark mark) {
  PatchUint32(out, mark.lengthAt, static_cast<std::uint32_t>(out->size() - mark.elementsAt));
}

// Header field codes.
constexpr char kPath = 1;
constexpr char kInterface = 2;
constexpr char kMember = 3;
constexpr char kDestination = 6;
constexpr char kSignature = 8;

void PutField(std::string* out, char code, std::string_view type, std::string_view value) {
  Pad(out, 8);
  out->push_back(code);
  PutSignature(out, type);
  if (type == "g") {
    PutSignature(out, value);
  } else {
    PutString(out, value);
  }
}

}  // namespace

BusMessage::BusMessage(std::string_view destination, std::string_view path,
                       std::string_view interface, std::string_view member,
                       std::string_view signature)
    : destination_(destination),
      path_(path),
      interface_(interface),
      member_(member),
      signature_(signature) {}

void BusMessage::AddByte(std::uint8_t value) {
  body_.push_back(static_cast<char>(value));
}

void BusMessage::AddInt32(std::int32_t value) {
  PutUint32(&body_, static_cast<std::uint32_t>(value));
}

void BusMessage::AddUint32(std::uint32_t value) {
  PutUint32(&body_, value);
}

void BusMessage::AddString(std::string_view value) {
  PutString(&body_, value);
}

void BusMessage::AddSignature(std::string_view value) {
  PutSignature(&body_, value);
}

BusMessage::ArrayMark BusMessage::OpenArray(std::size_t elementAlignment) {
  return OpenArrayIn(&body_, elementAlignment);
}

void BusMessage::CloseArray(ArrayMark mark) {
  CloseArrayIn(&body_, mark);
}

void BusMessage::OpenStruct() {
  Pad(&body_, 8);
}

std::string BusMessage::Wire(std::uint32_t serial) const {
  constexpr char kMethodCall = 1;
  constexpr char kProtocolVersion = 1;
  std::string out{'l', kMethodCall, '\0', kProtocolVersion};
  PutUint32(&out, static_cast<std::uint32_t>(body_.size()));
  PutUint32(&out, serial);
  const ArrayMark fields = OpenArrayIn(&out, 8);
  PutField(&out, kPath, "o", path_);
  PutField(&out, kInterface, "s", interface_);
  PutField(&out, kMember, "s", member_);
  PutField(&out, kDestination, "s", destination_);
  if (!signature_.empty()) {
    PutField(&out, kSignature, "g", signature_);
  }
  CloseArrayIn(&out, fields);
  Pad(&out, 8);
  return out + body_;
}

}  // namespace tevra
