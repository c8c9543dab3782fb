#include "serial/com_ports_win32.h"

#include <windows.h>
// After windows.h: the device setup API needs its types.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <map>

#include "serial/port_name.h"

namespace zarvek {
namespace {

// The COM names of the system's port registry, which every serial driver
// (motherboard UART, USB adapter, Wine's pinned ports) writes.
std::vector<std::string> registeredPorts() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    char value[256];
    BYTE data[256];
    DWORD valueSize = sizeof value, dataSize = sizeof data - 1, type = 0;
    const LONG got = RegEnumValueA(key, i, value, &valueSize, nullptr, &type, data, &dataSize);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    const std::string name(reinterpret_cast<const char*>(data));
    if (comNumber(name)) names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

// COM name -> the device's name as Device Manager shows it ("USB Serial Port
// (COM7)"), for the ports class's devices present now.
std::map<std::string, std::string> friendlyNames() {
  std::map<std::string, std::string> names;
  const HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port[64];
    DWORD size = sizeof port - 1, type = 0;
    const bool named = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size) ==
                           ERROR_SUCCESS && type == REG_SZ;
    RegCloseKey(key);
    if (!named) continue;
    port[size] = 0;
    char friendly[256];
    if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(friendly), sizeof friendly, nullptr)) {
      names[port] = friendly;
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return names;
}

}  // namespace

std::vector<ComPort> presentComPorts() {
  std::vector<std::string> names = registeredPorts();
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return *comNumber(a) < *comNumber(b); });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  const std::map<std::string, std::string> friendly = friendlyNames();
  std::vector<ComPort> ports;
  for (const std::string& name : names) {
    const auto it = friendly.find(name);
    ports.push_back({name, it == friendly.end() ? std::string() : it->second});
  }
  return ports;
}

}  // namespace zarvek
