#pragma once
// An OPC UA server simulated in process: an address space of nodes keyed by
// namespace index and string identifier, each holding a typed value that is
// either fixed (changed only by writes) or computed on every read from a
// steady clock by a generator (counter, ramp, sine, bit pattern). Tests and
// hosts switch its connection state, set and read node values, inject write
// failures and inspect the log of calls that reached it.
//
// All members are thread-safe (one internal mutex). Hooks run without that
// mutex held, on the thread of the read or write call.
//
// Address-space format: see platform/plinth/README.md.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plinth/OpcUaSession.h"

namespace VESK::DAQ {

class SimulatedServer : public OpcUaSession {
 public:
  using Clock = std::chrono::steady_clock;

  // One Read or Write call as it reached the server.
  struct Call {
    enum Kind { Read, Write } kind;
    std::vector<std::string> nodes;         // "<namespace>:<identifier>"
    std::vector<std::vector<int>> indices;  // per node
    bool connected;                         // state when the call came in
  };

  SimulatedServer();
  ~SimulatedServer() override;

  // Null, with an ERROR line naming the entry, when the document is unusable.
  static std::shared_ptr<SimulatedServer> LoadFromJSON(const nlohmann::json& document);
  static std::shared_ptr<SimulatedServer> LoadFromFile(const std::string& path);

  static std::string NodeKey(int namespaceIndex, const std::string& identifier);

  // Adds (or replaces) a node holding a fixed value (its type and shape are
  // the node's). False for a null pointer or a value without a type.
  bool AddNode(int namespaceIndex, const std::string& identifier, std::shared_ptr<DataValueBase> value);
  // Adds (or replaces) a node computed by a generator ({"kind": ...}); false
  // with an ERROR line when the generator is unusable.
  bool AddGeneratedNode(int namespaceIndex, const std::string& identifier, DataType type,
                        const std::vector<int>& dimensions, const nlohmann::json& generator);
  bool HasNode(int namespaceIndex, const std::string& identifier) const;
  // Stores value (converted to the node's type, whole value) and stops the
  // node's generator. False for an unknown node or a failed conversion.
  bool SetValue(int namespaceIndex, const std::string& identifier, const DataValueBase& value);
  bool SetValue(int namespaceIndex, const std::string& identifier, const nlohmann::json& value);
  // A copy of the node's current value; null for an unknown node.
  std::shared_ptr<DataValueBase> GetValue(int namespaceIndex, const std::string& identifier) const;
  // The current value as JSON; JSON null for an unknown node.
  nlohmann::json GetJson(int namespaceIndex, const std::string& identifier) const;

  // Connection state. A dropped connection comes back on Reconnect only while
  // the server is reachable.
  void SetConnected(bool connected);
  void SetReachable(bool reachable);
  // Scripted answers for the next IsConnected calls, consumed one per call,
  // before the state above answers again.
  void QueueConnectionAnswers(const std::vector<bool>& answers);

  // The write call `nth` from now (1 = the next one) throws
  // std::runtime_error before writing anything.
  void ThrowOnWriteCall(int nth);
  // Runs inside every write call after the nodes were written; empty: none.
  void SetWriteHook(std::function<void()> hook);
  // Calls received, oldest first: the last kDefaultCallLogLimit, or as many
  // as SetCallLogLimit allows (0: none recorded, for long runs).
  std::vector<Call> Calls() const;
  void SetCallLogLimit(size_t calls);
  static constexpr size_t kDefaultCallLogLimit = 1000;
  void ClearCalls();
  // Replaces the clock generators read (default: steady_clock::now). The
  // generators count time from the moment the server was created (or from
  // the first reading of a clock set here).
  void SetClock(std::function<Clock::time_point()> clock);

  // OpcUaSession
  bool IsConnected() override;
  bool Reconnect() override;
  int Read(const std::vector<_nodeData*>& nodes, size_t batch) override;
  int Write(const std::vector<_nodeData*>& nodes) override;

 private:
  struct Node;
  std::shared_ptr<DataValueBase> CurrentValue(const Node& node) const;  // caller holds _mutex
  void Record(Call call);                                               // caller holds _mutex

  mutable std::mutex _mutex;
  std::map<std::string, std::shared_ptr<Node>> _nodes;
  bool _connected = true;
  bool _reachable = true;
  std::deque<bool> _connectionAnswers;
  int _throwOnWrite = 0;
  std::function<void()> _writeHook;
  std::deque<Call> _calls;
  size_t _callLogLimit = kDefaultCallLogLimit;
  std::function<Clock::time_point()> _clock;
  mutable bool _epochSet = false;
  mutable Clock::time_point _epoch;
};

}  // namespace VESK::DAQ
