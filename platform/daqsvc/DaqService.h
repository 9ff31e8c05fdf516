#pragma once
// The acquisition-service stand-in: runs one device driver per configured
// device on a fixed cycle, answers "ReadParameter" and "WriteParameter" over
// JSON-RPC and publishes every update as an event.
//
// Threads: Run (the cycle) on the caller's thread; the JSON-RPC stub on the
// server's worker. Every call into a driver holds that device's mutex, so a
// driver sees one call at a time (its tag values are not locked inside).
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DaqConfig.h"
#include "EventPublisher.h"

namespace VESK {
class JsonRpcServer;
}

namespace VESK::daqsvc {

class DriverModule;
struct DeviceSlot;

class DaqService {
 public:
  // Name of the event published after every update of a device, with params
  // {"device_id": D, "connected": bool, "parameters": {id: value, ...}}.
  static constexpr const char* kUpdateEvent = "DeviceUpdate";

  DaqService();
  // Shutdown() if it was not called.
  ~DaqService();
  DaqService(const DaqService&) = delete;
  DaqService& operator=(const DaqService&) = delete;

  // programDir: where bare plug-in file names are looked up when the
  // configuration names no plug-in folder.
  void Configure(DaqConfig config, std::string programDir);

  // Binds the API endpoint, loads, probes and starts every device, then
  // serves the API and binds the event endpoint. A device that cannot be
  // started is logged and left out. False when the API endpoint cannot be
  // bound or no device started (nothing is served then).
  bool Initial();
  // The cycle on the caller's thread: for every device OnPerformUpdating,
  // the event, then OnPerformRequest; then sleeps until the next cycle (a
  // late pass does not cause a burst). Returns soon after Stop.
  void Run();
  // Async-signal-safe: one lock-free atomic store.
  void Stop() { _stop = true; }
  // Stops serving, calls OnStop on every started driver, releases the
  // drivers and then their plug-ins. Idempotent.
  void Shutdown();

  // Devices that were started, in configuration order.
  std::vector<std::string> DeviceIds() const;

 private:
  std::shared_ptr<DeviceSlot> StartDevice(const DeviceConfig& device);
  std::shared_ptr<DriverModule> LoadModule(const std::string& path);
  void Cycle();

  DaqConfig _config;
  std::string _programDir;
  std::atomic<bool> _stop{false};
  // Plug-ins by path, shared by the devices they run; released after them.
  std::map<std::string, std::shared_ptr<DriverModule>> _modules;
  // Fixed once Initial returns; the stub reads it without a lock.
  std::vector<std::shared_ptr<DeviceSlot>> _slots;
  std::unique_ptr<JsonRpcServer> _server;
  EventPublisher _events;
};

}  // namespace VESK::daqsvc
