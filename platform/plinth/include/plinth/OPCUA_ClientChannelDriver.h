#pragma once
// The OPC UA channel driver: device drivers read and write OPC UA nodes
// through it. It forwards to one OpcUaSession and serialises the calls, so
// ReadNodes, WriteNodes and CheckConnection may come from different threads;
// each blocks while another is running. IsChannelConnected and Close never
// block.
//
// Channel settings (a JSON object), see platform/plinth/README.md:
//   {"endpoint": "opc.tcp://host:port", ...}                   a real server, or
//   {"simulated_server": "<path of an address-space file>"}   or
//   {"simulated_server": { ...address space inline... }}
// A relative path is resolved against the folder of the settings file
// (CreateFromFile) or the baseDir given to Create.
#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "plinth/NodeData.h"
#include "plinth/OpcUaSession.h"
#include "strata/IChannelDriver.h"

namespace VESK::DAQ {

class SimulatedServer;

class OPCUA_ClientChannelDriver : public IChannelDriver {
 public:
  explicit OPCUA_ClientChannelDriver(std::shared_ptr<OpcUaSession> session);
  ~OPCUA_ClientChannelDriver() override;

  // Null, with an ERROR line, when the settings cannot be used.
  static std::shared_ptr<OPCUA_ClientChannelDriver> Create(const nlohmann::json& settings,
                                                           const std::string& baseDir = "");
  static std::shared_ptr<OPCUA_ClientChannelDriver> CreateFromFile(const std::string& settingsPath);

  // Reads every node into its value object (nodes not read are set null);
  // returns the number read. The nodes stay the caller's. batch: nodes per
  // request to the server (0: as many as it takes).
  virtual int ReadNodes(const std::vector<_nodeData*>& nodes, size_t batch);
  // Writes every node's value; returns the number written. May throw what
  // the session throws.
  virtual int WriteNodes(const std::vector<_nodeData*>& nodes);
  bool IsChannelConnected() override;
  bool CheckConnection() override;
  // For a host that stops: every later call passes at once (reads set their
  // nodes null, writes and reconnects do nothing), so a driver's remaining
  // batches cost nothing; a call in progress ends within its own time-out.
  void Close() { _closed = true; }

  std::shared_ptr<OpcUaSession> GetSession() const { return _session; }
  // The simulated server behind this channel, or null for any other session.
  std::shared_ptr<SimulatedServer> GetSimulatedServer() const;

 private:
  std::shared_ptr<OpcUaSession> _session;
  std::mutex _sessionMutex;  // one session call at a time
  std::atomic<bool> _closed{false};
};

}  // namespace VESK::DAQ
