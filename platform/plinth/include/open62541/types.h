/* The OPC UA node-identifier types this gateway's plug-ins use, for builds
 * without an installed OPC UA stack. Layout and names follow the stack the
 * plug-ins are written against, so the same source builds with either. Only
 * what the plug-ins need is here: strings, node identifiers, and freeing a
 * node identifier's members. */
#ifndef PLINTH_OPEN62541_TYPES_H_
#define PLINTH_OPEN62541_TYPES_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UA_Byte;
typedef uint16_t UA_UInt16;
typedef uint32_t UA_UInt32;

/* A length-counted byte string, not 0-terminated. data is owned by the
 * string (allocated with malloc) unless the string was built by hand. */
typedef struct {
  size_t length;
  UA_Byte* data;
} UA_String;

typedef UA_String UA_ByteString;

typedef struct {
  UA_UInt32 data1;
  UA_UInt16 data2;
  UA_UInt16 data3;
  UA_Byte data4[8];
} UA_Guid;

/* Identifier kinds, numbered as on the wire. */
typedef enum {
  UA_NODEIDTYPE_NUMERIC = 0,
  UA_NODEIDTYPE_STRING = 3,
  UA_NODEIDTYPE_GUID = 4,
  UA_NODEIDTYPE_BYTESTRING = 5
} UA_NodeIdType;

typedef struct {
  UA_UInt16 namespaceIndex;
  UA_NodeIdType identifierType;
  union {
    UA_UInt32 numeric;
    UA_String string;
    UA_Guid guid;
    UA_ByteString byteString;
  } identifier;
} UA_NodeId;

/* Describes a type to the generic functions below. */
typedef struct {
  const char* typeName;
  UA_UInt16 typeIndex;
  UA_UInt16 memSize;
} UA_DataType;

#define UA_TYPES_STRING 11
#define UA_TYPES_NODEID 16
#define UA_TYPES_COUNT 17
extern const UA_DataType UA_TYPES[UA_TYPES_COUNT];

/* A string owning a malloc'ed copy of src (without the terminating 0); an
 * empty string (length 0, data NULL) for NULL or "". */
UA_String UA_String_fromChars(const char* src);

/* Frees what p's members own and zeroes *p; p itself stays the caller's.
 * Known types: UA_TYPES[UA_TYPES_STRING], UA_TYPES[UA_TYPES_NODEID];
 * anything else is only zeroed. */
void UA_deleteMembers(void* p, const UA_DataType* type);

#ifdef __cplusplus
}
#endif

#endif /* PLINTH_OPEN62541_TYPES_H_ */
