#pragma once
// One loaded device-driver plug-in (a ".drv" shared library) and its factory.
#include <memory>
#include <string>

#include "strata/IDeviceDriver.h"

namespace VESK::daqsvc {

class DriverModule {
 public:
  // dlopen with every symbol bound at once (a plug-in whose symbols do not
  // resolve is refused here, not at its first call) and look up the factory.
  // Null, with an ERROR line naming the file, when either fails.
  static std::shared_ptr<DriverModule> Load(const std::string& path);

  // A new driver from the factory; null (logged) when the factory fails.
  // Every driver must be released before the module: the module's code runs
  // the driver's destructor.
  std::shared_ptr<DAQ::IDeviceDriver> Create() const;
  const std::string& Path() const { return _path; }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  DriverModule(std::string path, std::unique_ptr<void, Closer> handle, DAQ::CreateDeviceDriverFunc factory);

  std::string _path;
  std::unique_ptr<void, Closer> _handle;  // closed when the last holder lets go
  DAQ::CreateDeviceDriverFunc _factory;
};

}  // namespace VESK::daqsvc
