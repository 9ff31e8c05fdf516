#include "DaqService.h"

#include <easylogging++.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "BoundedJson.h"
#include "DriverModule.h"
#include "JsonRpcServer.h"
#include "ServiceFrame.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "strata/IDevice.h"

namespace VESK::daqsvc {

using json = nlohmann::json;

static_assert(std::atomic<bool>::is_always_lock_free, "Stop() must be async-signal-safe");

using Clock = std::chrono::steady_clock;

// One running device. Members are released in reverse order: the driver
// first (its destructor is plug-in code and it points at the device), the
// plug-in last.
struct DeviceSlot {
  std::string id;
  std::shared_ptr<DriverModule> module;
  std::shared_ptr<DAQ::Device> device;
  std::shared_ptr<DAQ::IChannelDriver> channel;
  std::shared_ptr<DAQ::IDeviceDriver> driver;
  std::thread worker;  // runs DeviceLoop; joined by Shutdown
  // Device thread only.
  bool failing = false, overran = false;
  int connected = -1;  // last logged connection state; -1 none yet
  // The last completed update's "parameters", published by the device
  // thread and shared (never copied) with the stub's answers.
  std::mutex lastLock;
  std::shared_ptr<const nlohmann::json> last;
  Clock::time_point lastAt{};
  // Stub thread only: unknown parameter ids already reported once (at most
  // kMaxUnknownReported: a peer chooses the ids), and whether the staleness
  // of the last update has been reported.
  std::set<std::string> unknownReported;
  bool staleReported = false;
};

namespace {

// Error codes of the acquisition API besides the server's own.
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
constexpr int kUnknownDevice = -32001;
constexpr int kWriteRefused = -32002;

// A failure answered as a JSON-RPC error object.
struct RpcError {
  int code;
  std::string message;
};

constexpr size_t kMaxUnknownReported = 256;

// Serves the acquisition API. Runs on the server's worker thread, one
// request at a time; the device list is fixed before the server starts.
class AcquisitionStub : public JsonRpcStub {
 public:
  AcquisitionStub(const std::vector<std::shared_ptr<DeviceSlot>>& slots, std::chrono::milliseconds staleAfter)
      : JsonRpcStub(""), _slots(slots), _staleAfter(staleAfter) {}

  bool Invoke(json& request, json& response) override {
    response = json::object();
    response["jsonrpc"] = "2.0";
    response["id"] = request.contains("id") ? request["id"] : json();
    try {
      response["result"] = Handle(request);
    } catch (const RpcError& e) {
      response["error"] = {{"code", e.code}, {"message", e.message}};
    }
    return true;
  }

  bool Invoke(json& request) override {
    try {
      Handle(request);
      return true;
    } catch (const RpcError& e) {
      LOG(ERROR) << "Notification failed! " << e.message;
      return false;
    }
  }

 private:
  json Handle(const json& request) {
    const json method = request.value("method", json());
    const json empty;
    auto it = request.find("params");
    const json& params = it == request.end() ? empty : *it;
    if (method == "ReadParameter") return ReadParameter(params);
    if (method == "WriteParameter") return WriteParameter(params);
    LOG(ERROR) << "Unknown method: " << frame::LogExcerpt(method.dump());
    throw RpcError{kMethodNotFound, "Method not found."};
  }

  static const std::string& RequiredString(const json& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
      throw RpcError{kInvalidParams, std::string("Invalid params: '") + key + "' must be a non-empty string."};
    return it->get_ref<const std::string&>();
  }

  DeviceSlot& FindDevice(const json& params) {
    if (!params.is_object()) throw RpcError{kInvalidParams, "Invalid params: an object is expected."};
    const std::string& id = RequiredString(params, "device_id");
    for (auto& slot : _slots)
      if (slot->id == id) return *slot;
    throw RpcError{kUnknownDevice, "Unknown device '" + id + "'."};
  }

  // {"values": {id: value, ...}} with one member per requested id, from the
  // device's last completed update. An id the device's profile does not
  // know, or one the driver holds no tag for, answers null; so does every id
  // before the first update and once the last one is older than staleAfter.
  json ReadParameter(const json& params) {
    DeviceSlot& slot = FindDevice(params);
    auto list = params.find("parameters");
    if (list == params.end() || !list->is_array())
      throw RpcError{kInvalidParams, "Invalid params: 'parameters' must be an array of strings."};
    for (const auto& id : *list)
      if (!id.is_string()) throw RpcError{kInvalidParams, "Invalid params: 'parameters' must be an array of strings."};

    auto profile = slot.device->GetProfile();
    std::shared_ptr<const json> last = Current(slot);
    json values = json::object();
    for (const auto& item : *list) {
      const std::string& id = item.get_ref<const std::string&>();
      if (!profile->GetParameter(id)) {
        if (slot.unknownReported.size() < kMaxUnknownReported && slot.unknownReported.insert(id).second)
          LOG(ERROR) << "ReadParameter : device '" << slot.id << "' has no parameter '" << id << "'";
        values[id] = nullptr;
        continue;
      }
      auto found = last ? last->find(id) : json::const_iterator();
      values[id] = last && found != last->end() ? *found : json();
    }
    return {{"values", std::move(values)}};
  }

  // The last completed update, or null when there is none or it is stale.
  std::shared_ptr<const json> Current(DeviceSlot& slot) {
    std::shared_ptr<const json> last;
    Clock::time_point at;
    {
      std::lock_guard<std::mutex> guard(slot.lastLock);
      last = slot.last;
      at = slot.lastAt;
    }
    auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - at);
    if (!last || !last->is_object() || age <= _staleAfter) {
      if (slot.staleReported && last) LOG(INFO) << "Device '" << slot.id << "' updates again";
      slot.staleReported = false;
      return last && last->is_object() ? last : nullptr;
    }
    if (!slot.staleReported)
      LOG(WARNING) << "Device '" << slot.id << "' has not completed an update for " << age.count()
                   << " ms : its values read null until it does (bound " << _staleAfter.count() << " ms)";
    slot.staleReported = true;
    return nullptr;
  }

  // Params {"device_id", "parameter", "value", optional "indices"}; answers
  // 1 when the driver stored or queued the write, an error when it refused.
  json WriteParameter(const json& params) {
    DeviceSlot& slot = FindDevice(params);
    const std::string& id = RequiredString(params, "parameter");
    auto raw = params.find("value");
    std::shared_ptr<DAQ::DataValueBase> value = raw == params.end() ? nullptr : DAQ::DataValueBase::FromJson(*raw);
    if (!value)
      throw RpcError{kInvalidParams,
                     "Invalid params: 'value' must be a boolean, number, string or a regular array of one kind."};
    std::vector<int> indices;
    auto list = params.find("indices");
    if (list != params.end() && !list->is_null()) {
      if (!list->is_array()) throw RpcError{kInvalidParams, "Invalid params: 'indices' must be an array of integers."};
      for (const auto& index : *list) {
        if (!index.is_number_integer() || index.get<int64_t>() < 0 || index.get<int64_t>() > INT32_MAX)
          throw RpcError{kInvalidParams, "Invalid params: 'indices' must be an array of integers."};
        indices.push_back(index.get<int>());
      }
    }
    // The driver takes writes from any thread while its device updates.
    int rc = Guarded([&] { return slot.driver->WriteParameter(id, value, indices); });
    LOG(INFO) << "WriteParameter " << slot.id << "/" << id << " = " << frame::LogExcerpt(raw->dump())
              << (indices.empty() ? "" : " at " + json(indices).dump()) << " : " << rc;
    if (rc != 1) throw RpcError{kWriteRefused, "Write refused by device '" + slot.id + "' : parameter '" + id + "'."};
    return rc;
  }

  // A driver that throws fails this request, not the service.
  template <typename F>
  static auto Guarded(F call) -> decltype(call()) {
    try {
      return call();
    } catch (const std::exception& e) {
      LOG(ERROR) << "Driver call failed! " << e.what();
      throw RpcError{kInternalError, std::string("Internal error: ") + e.what()};
    }
  }

  const std::vector<std::shared_ptr<DeviceSlot>>& _slots;
  const std::chrono::milliseconds _staleAfter;
};

}  // namespace

DaqService::DaqService() : _wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

DaqService::~DaqService() {
  Shutdown();
  if (_wake >= 0) close(_wake);
}

void DaqService::Stop() {
  _stop = true;
  const uint64_t one = 1;
  if (_wake >= 0) (void)!write(_wake, &one, sizeof one);
}

std::chrono::milliseconds DaqService::StaleAfter() const {
  return std::chrono::milliseconds(2 * int64_t(_config.cycleMs) + 1000);
}

bool DaqService::SleepUntil(Clock::time_point until) const {
  while (!_stop) {
    auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    // Rounded up: waking a little late beats spinning through the last
    // millisecond. No eventfd (none could be made): slices of 50 ms.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd p{_wake, POLLIN, 0};
    if (_wake < 0) ms = std::min<int64_t>(ms, 50);
    poll(&p, _wake < 0 ? 0 : 1, static_cast<int>(std::min<int64_t>(ms, INT32_MAX)));
  }
  return false;
}

void DaqService::Configure(DaqConfig config, std::string programDir) {
  _config = std::move(config);
  _programDir = std::move(programDir);
}

std::vector<std::string> DaqService::DeviceIds() const {
  std::vector<std::string> ids;
  for (const auto& slot : _slots) ids.push_back(slot->id);
  return ids;
}

std::shared_ptr<DriverModule> DaqService::LoadModule(const std::string& path) {
  auto it = _modules.find(path);
  if (it != _modules.end()) return it->second;
  auto module = DriverModule::Load(path);
  if (module) _modules[path] = module;
  return module;
}

std::shared_ptr<DeviceSlot> DaqService::StartDevice(const DeviceConfig& config) {
  auto slot = std::make_shared<DeviceSlot>();
  slot->id = config.id;
  slot->module = LoadModule(_config.DriverPath(config, _programDir));
  if (!slot->module) return nullptr;  // logged by the loader
  slot->device = DAQ::Device::LoadFromFile(config.id, config.profile);
  if (!slot->device || !slot->device->GetProfile()) {
    LOG(ERROR) << "Device '" << config.id << "' skipped : profile cannot be used " << config.profile;
    return nullptr;
  }
  slot->channel = DAQ::OPCUA_ClientChannelDriver::Create(config.channel, config.baseDir);
  if (!slot->channel) {
    LOG(ERROR) << "Device '" << config.id << "' skipped : channel cannot be used " << config.channel.dump();
    return nullptr;
  }
  slot->driver = slot->module->Create();
  if (!slot->driver) return nullptr;  // logged by the module
  try {
    json probe = config.probe;
    slot->driver->OnProbe(slot->device.get(), probe, slot->channel, std::make_shared<DAQ::WorkLogProxy>(config.id));
    slot->driver->OnStart();
  } catch (const std::exception& e) {
    LOG(ERROR) << "Device '" << config.id << "' skipped : probe failed : " << e.what();
    return nullptr;
  }
  LOG(INFO) << "Device Started = " << config.id << ", driver " << slot->module->Path() << ", "
            << slot->device->GetProfile()->Size() << " parameters";
  return slot;
}

bool DaqService::Initial() {
  // Bound first: a second instance on the same endpoint fails before it
  // touches any device.
  _server = std::make_unique<JsonRpcServer>(_config.daqApi);
  if (!_server->OpenSocket()) {
    LOG(ERROR) << "DAQ API cannot be bound! " << _config.daqApi;
    _server.reset();
    return false;
  }
  for (const auto& device : _config.devices) {
    auto slot = StartDevice(device);
    if (slot) _slots.push_back(std::move(slot));
  }
  if (_slots.empty()) {
    LOG(ERROR) << "No device could be started (" << _config.devices.size() << " configured)";
    _server.reset();
    return false;
  }
  // A missing event endpoint costs the subscribers, not the API: logged by
  // the publisher, which tries again at the next event.
  _events.Bind(_config.daqEvent);
  _server->Add(std::make_shared<AcquisitionStub>(_slots, StaleAfter()));
  // Polled for every field of every measurement: one INFO line per request
  // would flood the log.
  _server->SetQuiet(true);
  _server->Start();
  LOG(INFO) << "DAQ Service Started : " << _slots.size() << " devices, cycle " << _config.cycleMs << " ms";
  return true;
}

void DaqService::Update(DeviceSlot& slot) {
  json out = json::object();
  bool connected = false;
  bool ok = true;
  try {
    slot.driver->OnPerformUpdating(out);
    slot.driver->OnPerformRequest();
    connected = slot.driver->IsConnect();
  } catch (const std::exception& e) {
    ok = false;
    // Once per streak of failures, not once per cycle.
    if (!slot.failing) LOG(ERROR) << "Device '" << slot.id << "' update failed! " << e.what();
  }
  if (ok && slot.failing) LOG(INFO) << "Device '" << slot.id << "' update recovered";
  slot.failing = !ok;
  if (!ok) return;
  if (slot.connected != static_cast<int>(connected)) {
    LOG(INFO) << "Device '" << slot.id << "' connected = " << (connected ? "true" : "false");
    slot.connected = connected;
  }
  json params = {{"device_id", slot.id}, {"connected", connected}, {"parameters", std::move(out["parameters"])}};
  _events.Emit(kUpdateEvent, params);
  auto last = std::make_shared<const json>(std::move(params["parameters"]));
  std::lock_guard<std::mutex> guard(slot.lastLock);
  slot.last = std::move(last);
  slot.lastAt = Clock::now();
}

void DaqService::DeviceLoop(DeviceSlot& slot) {
  const auto cycle = std::chrono::milliseconds(_config.cycleMs);
  auto next = Clock::now();
  do {
    auto started = Clock::now();
    Update(slot);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    // Reported once per streak; the other devices keep their cycle meanwhile.
    if (took > cycle && !slot.overran)
      LOG(WARNING) << "Device '" << slot.id << "' update took " << took.count() << " ms, longer than its cycle of "
                   << cycle.count() << " ms";
    if (took <= cycle && slot.overran) LOG(INFO) << "Device '" << slot.id << "' keeps its cycle again";
    slot.overran = took > cycle;
    next += cycle;
    if (next < Clock::now()) next = Clock::now();
  } while (SleepUntil(next));
}

void DaqService::Run() {
  for (auto& slot : _slots) {
    DeviceSlot* device = slot.get();
    device->worker = std::thread([this, device] { DeviceLoop(*device); });
  }
  SleepUntil(Clock::time_point::max());
  frame::LogPendingSignal();
}

void DaqService::Shutdown() {
  if (_server) {
    _server->Stop();  // no stub runs after this
    _server.reset();
  }
  Stop();
  for (auto& slot : _slots)
    if (auto channel = std::dynamic_pointer_cast<DAQ::OPCUA_ClientChannelDriver>(slot->channel)) channel->Close();
  for (auto& slot : _slots)
    if (slot->worker.joinable()) slot->worker.join();
  for (auto& slot : _slots) {
    try {
      slot->driver->OnStop();
    } catch (const std::exception& e) {
      LOG(ERROR) << "Device '" << slot->id << "' stop failed! " << e.what();
    }
    LOG(INFO) << "Device Stopped = " << slot->id;
  }
  _events.Close();
  _slots.clear();    // drivers first,
  _modules.clear();  // then the plug-ins that hold their code
}

}  // namespace VESK::daqsvc
