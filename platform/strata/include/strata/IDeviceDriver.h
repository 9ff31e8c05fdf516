#pragma once
// The contract between the acquisition service and a device-driver plug-in.
//
// A plug-in is a shared library exporting, under the plain name in
// kCreateDeviceDriverSymbol, a factory of type CreateDeviceDriverFunc. The
// host calls OnProbe before OnStart; between OnStart and OnStop it calls
// OnPerformUpdating and OnPerformRequest repeatedly; ReadParameter and
// WriteParameter may come at any time after the probe, WriteParameter also
// from other threads. All other operations come from one thread at a time.
// The host must keep the library loaded until the last driver is released.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "strata/DataValueBase.h"
#include "strata/IChannelDriver.h"
#include "strata/IDevice.h"
#include "strata/WorkLogProxy.h"

namespace VESK::DAQ {

class IDeviceDriver {
 public:
  virtual ~IDeviceDriver();
  // True while the driver's channel is connected.
  virtual bool IsConnect() = 0;
  virtual int GetStatus() = 0;
  // Binds the driver to its device (not owned, must outlive the driver's use
  // of it), configuration and channel; builds the driver's parameter list.
  virtual void OnProbe(IDevice* device, nlohmann::json& config, std::shared_ptr<IChannelDriver> channel,
                       std::shared_ptr<WorkLogProxy> log) = 0;
  virtual void OnStart() = 0;
  virtual void OnStop() = 0;
  // Reads the device and sets out["parameters"] to an object of every
  // parameter's value (null while the device cannot be reached).
  virtual void OnPerformUpdating(nlohmann::json& out) = 0;
  // Performs the device writes queued since the last call.
  virtual void OnPerformRequest() = 0;
  virtual int WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value) = 0;
  // Element indices address one element of an array parameter; empty for a
  // whole-value write. 1 when the write was stored or queued, 0 when refused.
  virtual int WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value,
                             const std::vector<int>& indices) = 0;
  // The value the driver holds for the parameter, or JSON false when unknown.
  virtual nlohmann::json ReadParameter(const std::string& id) = 0;
};

using CreateDeviceDriverFunc = std::shared_ptr<IDeviceDriver> (*)();
inline constexpr const char* kCreateDeviceDriverSymbol = "CreateDeviceDriver";

}  // namespace VESK::DAQ
