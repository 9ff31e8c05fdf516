#pragma once
// The acquisition-service stand-in: runs one device driver per configured
// device on a fixed cycle, answers "ReadParameter" and "WriteParameter" over
// JSON-RPC and publishes every update as an event.
//
// Threads: every device updates on a thread of its own, so a device whose
// server is slow or silent holds up nobody else; the JSON-RPC stub runs on
// the server's worker and never calls into a driver for a read: it answers
// from the last completed update of the device, and with null once that is
// older than StaleAfter (an update that overran, or a device that hangs).
// Writes go straight to the driver from the stub's thread, which the driver
// contract allows (WriteParameter from any thread); every other driver call
// comes from the device's own thread, so there is no per-device lock. Run
// blocks the caller's thread until Stop.
#include <atomic>
#include <chrono>
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
  // Starts one thread per device, each cycling OnPerformUpdating,
  // OnPerformRequest and the event, then sleeping until its next cycle (a
  // late pass does not cause a burst); then blocks until Stop.
  void Run();
  // Async-signal-safe: an atomic store and a write to an eventfd, which
  // wakes Run and every sleeping device thread at once.
  void Stop();
  // Stops serving, closes every channel (a driver's remaining batches then
  // pass at once), waits for the device threads, calls OnStop on every
  // started driver, releases the drivers and then their plug-ins.
  // Idempotent. Bounded by the longest server exchange in progress (a
  // channel's request time-out; a connection set-up in progress takes up to
  // five of them) whatever the servers do.
  void Shutdown();

  // How old the last completed update of a device may be before its values
  // read null: two cycles and a second.
  std::chrono::milliseconds StaleAfter() const;

  // Devices that were started, in configuration order.
  std::vector<std::string> DeviceIds() const;

 private:
  std::shared_ptr<DeviceSlot> StartDevice(const DeviceConfig& device);
  std::shared_ptr<DriverModule> LoadModule(const std::string& path);
  void DeviceLoop(DeviceSlot& slot);
  void Update(DeviceSlot& slot);
  // Sleeps until the time point or Stop, whichever comes first; false on Stop.
  bool SleepUntil(std::chrono::steady_clock::time_point until) const;

  DaqConfig _config;
  std::string _programDir;
  std::atomic<bool> _stop{false};
  int _wake = -1;  // eventfd, readable once stopped
  // Plug-ins by path, shared by the devices they run; released after them.
  std::map<std::string, std::shared_ptr<DriverModule>> _modules;
  // Fixed once Initial returns; the stub reads it without a lock.
  std::vector<std::shared_ptr<DeviceSlot>> _slots;
  std::unique_ptr<JsonRpcServer> _server;
  EventPublisher _events;
};

}  // namespace VESK::daqsvc
