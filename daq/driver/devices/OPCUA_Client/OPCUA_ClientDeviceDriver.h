#pragma once
// The OPC UA client device driver: maps the parameters of one device profile
// onto OPC UA nodes read and written through an OPCUA_ClientChannelDriver.
//
// Threads: the host calls probe, start, stop, updating and the reads one at a
// time; WriteParameter may come from any thread meanwhile. It touches no tag
// value: device writes and memory writes (write mode 0) alike are queued
// under _writeMutex, and OnPerformRequest, on the host's thread, stores the
// memory writes into their tags before it drains the device writes. So a
// memory write shows in ReadParameter(id) after the next OnPerformRequest.
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plinth/OPCUA_ClientChannelDriver.h"
#include "strata/IDeviceDriver.h"

namespace VESK::DAQ {

// One profile parameter as the driver holds it.
struct _tag {
  std::string name;                      // parameter id, the key in _tags
  std::shared_ptr<DataValueBase> value;  // current value; shared with the tag's read node
  int arrayLength = 0;                   // below 1: scalar
  int namespaceIndex = 0;                // from the address string; 0 when none
  std::string nodeId;                    // identifier of a "node_id" address
  std::string browsePath;                // identifier of a "browse_path" address (not resolved)
  std::shared_ptr<ProfileParameter> parameter;
};

// One queued device write. Held through a shared_ptr whose deleter frees the
// identifier of nodeId.
struct _writeRequest {
  UA_NodeId nodeId;
  std::vector<int> indices;              // element indices; empty: whole value
  std::shared_ptr<DataValueBase> value;  // converted to the parameter's type
};

class OPCUA_ClientDeviceDriver : public IDeviceDriver {
 public:
  OPCUA_ClientDeviceDriver() = default;
  ~OPCUA_ClientDeviceDriver() override;
  OPCUA_ClientDeviceDriver(const OPCUA_ClientDeviceDriver&) = delete;
  OPCUA_ClientDeviceDriver& operator=(const OPCUA_ClientDeviceDriver&) = delete;

  bool IsConnect() override;
  int GetStatus() override;
  // Reads "Properties"."BulkReadSize" and "Properties"."Endian", binds the
  // channel (an OPCUA_ClientChannelDriver, else none) and adds a tag for
  // every profile parameter id not yet known. device is not owned.
  void OnProbe(IDevice* device, nlohmann::json& config, std::shared_ptr<IChannelDriver> channel,
               std::shared_ptr<WorkLogProxy> log) override;
  // Builds one read node per tag that is not a reference.
  void OnStart() override;
  // Frees the read nodes; tags and queued writes stay.
  void OnStop() override;
  // Reads every node (in one channel call, requests of kReadBatchSize nodes
  // in flight together), refreshes references and
  // sets out["parameters"]; every member null while the channel is down.
  void OnPerformUpdating(nlohmann::json& out) override;
  // Stores the queued memory writes into their tags, then drains the device
  // write queue into the channel, one node per WriteNodes call,
  // holding _writeMutex for the whole drain (WriteNodes calls included), so a
  // WriteParameter on another thread waits for the drain to end. Each request
  // leaves the queue as it is handed over: should WriteNodes throw, the
  // requests already handed over are not written again by the next drain.
  void OnPerformRequest() override;
  // Queues or stores the write; answers 0 whatever happened.
  int WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value) override;
  // 1 when stored in the tag (write mode 0) or queued for the device, 0 when
  // refused (unknown id, no profile, null value, a type without a family,
  // indices that address no element).
  int WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value,
                     const std::vector<int>& indices) override;
  // The tag's value as JSON; false for an unknown id. The device is not asked.
  nlohmann::json ReadParameter(const std::string& id) override;

  void CreateTagList();
  // A tag the caller owns; not entered in _tags.
  _tag* CreateTag(const char* name, DataType type, int arrayLength, int namespaceIndex, const char* nodeId);
  // Fills values with every tag's value (see OnPerformUpdating); returns 0.
  int ReadParameter(nlohmann::json& values);
  // Cuts every reference tag's value out of its source's memory image.
  void UpdateTagReference();
  nlohmann::json ReadInternalMemory(std::shared_ptr<ProfileParameter> parameter);
  int WriteInternalMemory(std::shared_ptr<ProfileParameter> parameter, std::shared_ptr<DataValueBase> value,
                          const std::vector<int>& indices);
  void AddWriteRequest(std::shared_ptr<_writeRequest> request);

  static constexpr size_t kReadBatchSize = 150;

 private:
  std::string DeviceName() const;
  void FreeReadNodes();

  EndianType _endian = ENDIAN_LITTLE;
  IDevice* _device = nullptr;
  int _bulkReadSize = 100;  // stored for the configuration's sake; reads use kReadBatchSize
  std::shared_ptr<OPCUA_ClientChannelDriver> _channel;
  std::vector<_nodeData*> _readNodes;  // owned; freed by OnStop and the destructor
  std::map<std::string, _tag*> _tags;  // owned for the driver's whole life
  std::vector<_tag*> _ordered;         // _tags' values in key order
  // The tags that cut their value out of another, with that source.
  std::vector<std::pair<_tag*, _tag*>> _references;
  std::list<std::shared_ptr<_writeRequest>> _writeRequests;
  // A memory write waiting for OnPerformRequest; already checked against a
  // value of the tag's shape.
  struct MemoryWrite {
    _tag* tag;
    std::shared_ptr<DataValueBase> value;
    std::vector<int> indices;
  };
  std::vector<MemoryWrite> _memoryWrites;
  std::mutex _writeMutex;  // guards _writeRequests and _memoryWrites
};

}  // namespace VESK::DAQ

// The plug-in's factory, the one symbol a host looks up by its plain name: a
// new driver, deleted through its virtual destructor by code of this library
// (keep the library loaded while it lives).
extern "C" std::shared_ptr<VESK::DAQ::IDeviceDriver> CreateDeviceDriver();

// "<namespace>:<identifier>": namespaceIndex from the leading decimal number
// (std::stoi rules: throws std::invalid_argument / std::out_of_range "stoi"),
// identifier from everything after the first ':' (unchanged when there is none).
// An exported C++ function: it throws and takes C++ types.
void NodeStringParse(const std::string& text, int& namespaceIndex, std::string& identifier);
