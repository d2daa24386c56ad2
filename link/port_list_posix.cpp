#include <algorithm>
#include <filesystem>

#include "port_list.h"
#include "port_name.h"
#include "port_path.h"

std::vector<std::string> present_ports(const std::string& adapters_directory) {
  namespace fs = std::filesystem;
  std::vector<std::uint16_t> numbers;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(ports_directory(), error)) {
    // Only "comN": the directory also keeps the virtual module's owner files.
    const std::string name = entry.path().filename().string();
    PortName port;
    if (name.rfind("com", 0) == 0 && parse_port_name(name, port) && port.kind == PortKind::com)
      numbers.push_back(port.number);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> ports;
  for (std::uint16_t n : numbers) ports.push_back(port_name_text(com_port(n)));
  std::vector<std::string> adapters;
  for (const auto& entry : fs::directory_iterator(adapters_directory, error)) adapters.push_back(entry.path().string());
  std::sort(adapters.begin(), adapters.end());
  ports.insert(ports.end(), adapters.begin(), adapters.end());
  return ports;
}
