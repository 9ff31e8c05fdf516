#pragma once
// Type codes of acquisition values and the byte order of device data.
#include <cstdint>
#include <string>

namespace VESK::DAQ {

// Codes as they appear in device profiles. 2..5 are signed integers of 1, 2,
// 4 and 8 bytes; 130..133 (bit 7 set) their unsigned counterparts.
enum DataType : int {
  DT_UNKNOWN = 0,
  DT_BOOL = 1,
  DT_INT8 = 2,
  DT_INT16 = 3,
  DT_INT32 = 4,
  DT_INT64 = 5,
  DT_FLOAT = 6,
  DT_DOUBLE = 7,
  DT_STRING = 8,
  DT_DATETIME = 12,  // signed 64-bit count of milliseconds since 1970-01-01 UTC
  DT_UINT8 = 130,
  DT_UINT16 = 131,
  DT_UINT32 = 132,
  DT_UINT64 = 133,
};

enum EndianType : int {
  ENDIAN_LITTLE = 0,
  ENDIAN_BIG = 1,
};

// The converting accessor set a type is written through. DT_DATETIME and
// DT_UNKNOWN belong to none: nothing converts into them implicitly.
enum class ValueFamily { None, Bool, Int64, Double, String };

ValueFamily FamilyOf(DataType type);

// Bytes one element occupies in memory images; 0 for strings and unknown
// codes (strings have no fixed width, booleans pack 8 to a byte in arrays but
// take one byte as a scalar).
int ElementWidth(DataType type);

// True for the codes listed above.
bool IsKnownDataType(int code);

// "bool", "int8", ..., "uint64", "float", "double", "string", "datetime".
// DataTypeFromName returns DT_UNKNOWN for any other text.
const char* DataTypeName(DataType type);
DataType DataTypeFromName(const std::string& name);

}  // namespace VESK::DAQ
