#include "private_module.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "port_path.h"

bool PrivateModule::start(const SimOptions& options, std::uint8_t port_number) {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvanta-ports-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  directory_ = pattern;
  if (::setenv("CORVANTA_PORTS", directory_.c_str(), 1) != 0) return false;
  entry_ = mapped_port_entry(port_number);
  module_ = std::make_unique<VirtualModule>(options);
  return module_->start() && module_->publish_as(port_number);
}

PrivateModule::~PrivateModule() {
  if (module_) module_->stop();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}
