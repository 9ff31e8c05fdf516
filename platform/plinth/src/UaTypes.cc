// Node-identifier support for builds without an installed OPC UA stack.
#include <open62541/types.h>

#include <cstdlib>
#include <cstring>

namespace {
UA_DataType Entry(UA_UInt16 index) {
  switch (index) {
    case UA_TYPES_STRING:
      return {"String", index, sizeof(UA_String)};
    case UA_TYPES_NODEID:
      return {"NodeId", index, sizeof(UA_NodeId)};
    default:
      return {"Unsupported", index, 0};
  }
}

}  // namespace

extern "C" {

const UA_DataType UA_TYPES[UA_TYPES_COUNT] = {
    Entry(0), Entry(1),  Entry(2),  Entry(3),  Entry(4),  Entry(5),  Entry(6),  Entry(7),  Entry(8),
    Entry(9), Entry(10), Entry(11), Entry(12), Entry(13), Entry(14), Entry(15), Entry(16),
};

UA_String UA_String_fromChars(const char* src) {
  UA_String s{0, nullptr};
  if (!src) return s;
  size_t length = std::strlen(src);
  if (length == 0) return s;
  s.data = static_cast<UA_Byte*>(std::malloc(length));
  if (!s.data) return s;  // out of memory: an empty string, like a NULL source
  std::memcpy(s.data, src, length);
  s.length = length;
  return s;
}

void UA_deleteMembers(void* p, const UA_DataType* type) {
  if (!p || !type) return;
  if (type->typeIndex == UA_TYPES_STRING) {
    auto* s = static_cast<UA_String*>(p);
    std::free(s->data);
  } else if (type->typeIndex == UA_TYPES_NODEID) {
    auto* id = static_cast<UA_NodeId*>(p);
    if (id->identifierType == UA_NODEIDTYPE_STRING || id->identifierType == UA_NODEIDTYPE_BYTESTRING)
      std::free(id->identifier.string.data);
  }
  if (type->memSize) std::memset(p, 0, type->memSize);
}

}  // extern "C"
