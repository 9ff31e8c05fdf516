#pragma once
// The record a device driver hands to the OPC UA channel driver per node.
#include <open62541/types.h>

#include <memory>
#include <vector>

#include "strata/DataValueBase.h"

namespace VESK::DAQ {

// Owned by the device driver, which also frees nodeId's identifier
// (UA_deleteMembers with UA_TYPES[UA_TYPES_NODEID]) before deleting it. The
// channel driver only uses it for the duration of one call.
//
// session, handle and identifier are the session's: the first read stamps
// the node with its entry there, so later reads find it without a lookup. A
// node that moves to another session, or whose identifier is replaced, is
// looked up again; a string identifier must be replaced (a new string), not
// rewritten in place, once the node has been read.
struct _nodeData {
  UA_NodeId nodeId;
  std::vector<int> indices;              // element indices of a write; empty: whole value
  std::shared_ptr<DataValueBase> value;  // read: filled in place; write: what to write
  const void* session = nullptr;
  size_t handle = 0;
  const void* identifier = nullptr;  // the string identifier's bytes when stamped
};

}  // namespace VESK::DAQ
