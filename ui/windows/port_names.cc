#include "ui/windows/port_names.h"

#include "ui/windows/windows_api.h"
// clang-format off: initguid.h must come first to define the class's GUID.
#include <devguid.h>
#include <initguid.h>
// clang-format on
#include <setupapi.h>

#include <array>
#include <string>
#include <vector>

namespace tevra::win32 {

namespace {

constexpr std::size_t kMaxText = 512;

// A registry string value: its characters up to the first terminator (a
// driver's value need not carry one).
std::optional<std::wstring> StringValue(HKEY key, const wchar_t* name) {
  std::array<wchar_t, kMaxText> text{};
  DWORD type = 0;
  DWORD bytes = (text.size() - 1) * sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  return std::wstring(text.data());
}

std::wstring DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  std::array<wchar_t, kMaxText> text{};
  DWORD type = 0;
  if (SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                        reinterpret_cast<BYTE*>(text.data()),
                                        (text.size() - 1) * sizeof(wchar_t), nullptr) == FALSE ||
      type != REG_SZ) {
    return {};
  }
  return text.data();
}

// The ports class of the device manager: the devices present, by the port
// name their driver took.
void AddPortsClass(std::map<unsigned, std::wstring>& names) {
  HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    return;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device) != FALSE; ++i) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
      continue;
    }
    const std::optional<std::wstring> portName = StringValue(key, L"PortName");
    (void)RegCloseKey(key);
    const std::optional<unsigned> number =
        portName ? PortNames::ComNumber(*portName) : std::nullopt;
    if (!number) {
      continue;
    }
    std::wstring name = DeviceProperty(devices, device, SPDRP_FRIENDLYNAME);
    if (name.empty()) {
      name = DeviceProperty(devices, device, SPDRP_DEVICEDESC);
    }
    const std::wstring maker = DeviceProperty(devices, device, SPDRP_MFG);
    if (!maker.empty()) {
      name += (name.empty() ? L"" : L" - ") + maker;
    }
    if (!name.empty()) {
      names.emplace(*number, name);
    }
  }
  (void)SetupDiDestroyDeviceInfoList(devices);
}

// The serial port map: the driver's device for each port it serves.
void AddSerialCommMap(std::map<unsigned, std::wstring>& names) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    std::array<wchar_t, kMaxText> device{};
    std::array<wchar_t, kMaxText> port{};
    DWORD deviceLength = device.size();
    DWORD portBytes = (port.size() - 1) * sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS status = RegEnumValueW(key, i, device.data(), &deviceLength, nullptr, &type,
                                         reinterpret_cast<BYTE*>(port.data()), &portBytes);
    if (status == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
      continue;
    }
    if (const std::optional<unsigned> number = PortNames::ComNumber(port.data())) {
      names.emplace(*number, device.data());  // a device-manager name stays first
    }
  }
  (void)RegCloseKey(key);
}

}  // namespace

PortNames PortNames::OfThisSystem() {
  PortNames ports;
  AddPortsClass(ports.names_);
  AddSerialCommMap(ports.names_);
  return ports;
}

std::wstring PortNames::Describe(unsigned portNumber) const {
  const auto it = names_.find(portNumber);
  return it == names_.end() ? L"no device" : it->second;
}

std::optional<unsigned> PortNames::ComNumber(std::wstring_view name) {
  constexpr std::wstring_view kPrefix = L"COM";
  constexpr unsigned kMaxPort = 9999;
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 4) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    if ((name[i] & ~0x20U) != kPrefix[i]) {
      return std::nullopt;
    }
  }
  if (name[kPrefix.size()] == L'0') {
    return std::nullopt;
  }
  unsigned number = 0;
  for (const wchar_t c : name.substr(kPrefix.size())) {
    if (c < L'0' || c > L'9') {
      return std::nullopt;
    }
    number = number * 10 + static_cast<unsigned>(c - L'0');
  }
  return number <= kMaxPort ? std::optional<unsigned>(number) : std::nullopt;
}

}  // namespace tevra::win32
