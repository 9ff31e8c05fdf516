#pragma once
// A device's work log: operator-facing notes about one device, written as
// INFO lines "Device '<name>' : <text>" through the host's logger.
#include <string>

namespace VESK::DAQ {

class WorkLogProxy {
 public:
  explicit WorkLogProxy(std::string device) : _device(std::move(device)) {}
  virtual ~WorkLogProxy();
  virtual void Write(const std::string& text);
  const std::string& Device() const { return _device; }

 private:
  std::string _device;
};

}  // namespace VESK::DAQ
