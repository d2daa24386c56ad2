#pragma once
// A virtual module for one run of a program: a ports directory of its own,
// named in $CORVANTA_PORTS for this process, maps COMn to the module's
// pseudo-terminal, so nothing outside the run changes. Both are removed when
// the run ends.
#include <cstdint>
#include <memory>
#include <string>

#include "virtual_module.h"

class PrivateModule {
 public:
  PrivateModule() = default;
  ~PrivateModule();  // stops the module, removes the directory
  PrivateModule(const PrivateModule&) = delete;
  PrivateModule& operator=(const PrivateModule&) = delete;

  bool start(const SimOptions& options, std::uint8_t port_number);
  bool has_module() const { return module_ != nullptr; }
  VirtualModule& module() { return *module_; }
  const std::string& ports_directory() const { return directory_; }
  // <ports>/comN, the one entry in the directory.
  const std::string& port_entry() const { return entry_; }

 private:
  std::unique_ptr<VirtualModule> module_;
  std::string directory_;
  std::string entry_;
};
