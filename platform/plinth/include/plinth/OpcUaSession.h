#pragma once
// The connection to one OPC UA server behind an OPCUA_ClientChannelDriver.
// The simulated server is one implementation; a client of a real server is
// another. The channel driver serialises every call on a session but
// IsConnected, so an implementation need not be thread-safe towards the
// channel beyond that query; it must be towards its own extra entry points
// (see SimulatedServer).
#include <cstddef>
#include <vector>

#include "plinth/NodeData.h"

namespace VESK::DAQ {

class OpcUaSession {
 public:
  virtual ~OpcUaSession();
  // True while connected. Must not block, and may be asked from any thread
  // while another call runs.
  virtual bool IsConnected() = 0;
  // Reconnects when down (may block for the connect time-out); true when
  // connected afterwards.
  virtual bool Reconnect() = 0;
  // Reads every node into its value object, converting to that object's
  // type; a node that cannot be read (unknown, not connected, no conversion)
  // is set null. Returns the number of nodes read. batch: nodes per request
  // to the server (0: as many as it takes); a session may keep several
  // requests in flight.
  virtual int Read(const std::vector<_nodeData*>& nodes, size_t batch) = 0;
  // Writes each node's value (converted to the node's type) to the node, or
  // at indices into it; returns the number of nodes written.
  virtual int Write(const std::vector<_nodeData*>& nodes) = 0;
};

}  // namespace VESK::DAQ
