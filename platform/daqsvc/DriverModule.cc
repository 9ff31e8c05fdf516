#include "DriverModule.h"

#include <dlfcn.h>
#include <easylogging++.h>

namespace VESK::daqsvc {

void DriverModule::Closer::operator()(void* handle) const {
  if (handle != nullptr) dlclose(handle);
}

DriverModule::DriverModule(std::string path, std::unique_ptr<void, Closer> handle, DAQ::CreateDeviceDriverFunc factory)
    : _path(std::move(path)), _handle(std::move(handle)), _factory(factory) {}

std::shared_ptr<DriverModule> DriverModule::Load(const std::string& path) {
  dlerror();
  // Owned from here on: every early return below closes it again.
  std::unique_ptr<void, Closer> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    const char* why = dlerror();
    LOG(ERROR) << "Driver cannot be loaded! " << path << " : " << (why ? why : "unknown error");
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(handle.get(), DAQ::kCreateDeviceDriverSymbol);
  if (symbol == nullptr) {
    const char* why = dlerror();
    LOG(ERROR) << "Driver has no factory! " << path << " : " << (why ? why : DAQ::kCreateDeviceDriverSymbol);
    return nullptr;
  }
  auto factory = reinterpret_cast<DAQ::CreateDeviceDriverFunc>(symbol);
  LOG(INFO) << "Driver Loaded = " << path;
  return std::shared_ptr<DriverModule>(new DriverModule(path, std::move(handle), factory));
}

std::shared_ptr<DAQ::IDeviceDriver> DriverModule::Create() const {
  try {
    auto driver = _factory();
    if (!driver) LOG(ERROR) << "Driver factory returned nothing! " << _path;
    return driver;
  } catch (const std::exception& e) {
    LOG(ERROR) << "Driver factory failed! " << _path << " : " << e.what();
    return nullptr;
  }
}

}  // namespace VESK::daqsvc
