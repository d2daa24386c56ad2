#include <windows.h>

#include <algorithm>

#include "port_list.h"
#include "port_name.h"

std::vector<std::string> present_ports(const std::string&) {
  std::vector<std::uint16_t> numbers;
  std::vector<std::string> others;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  // Each value names a device ("\Device\Serial0") and holds its port's name.
  for (DWORD index = 0;; ++index) {
    char device[256];
    DWORD device_size = sizeof device;
    char data[256] = {};
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG result = ::RegEnumValueA(key, index, device, &device_size, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &data_size);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    PortName port;
    if (parse_port_name(data, port) && port.kind == PortKind::com) {
      numbers.push_back(port.number);
    } else if (data[0] != '\0') {
      others.push_back(data);
    }
  }
  ::RegCloseKey(key);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::sort(others.begin(), others.end());
  std::vector<std::string> ports;
  for (std::uint16_t n : numbers) ports.push_back(port_name_text(com_port(n)));
  ports.insert(ports.end(), others.begin(), others.end());
  return ports;
}
