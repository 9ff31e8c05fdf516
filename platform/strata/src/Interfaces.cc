// Out-of-line destructors: they anchor each interface's type information in
// this library, so dynamic_cast and exceptions agree across the plug-ins.
#include <easylogging++.h>

#include "strata/IChannelDriver.h"
#include "strata/IDevice.h"
#include "strata/IDeviceDriver.h"
#include "strata/WorkLogProxy.h"

namespace VESK::DAQ {

IDevice::~IDevice() = default;
IChannelDriver::~IChannelDriver() = default;
IDeviceDriver::~IDeviceDriver() = default;
WorkLogProxy::~WorkLogProxy() = default;

void WorkLogProxy::Write(const std::string& text) { LOG(INFO) << "Device '" << _device << "' : " << text; }

}  // namespace VESK::DAQ
