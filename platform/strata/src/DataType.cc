#include "strata/DataType.h"

namespace VESK::DAQ {

namespace {
struct TypeRow {
  DataType type;
  const char* name;
  int width;
  ValueFamily family;
};
const TypeRow kTypes[] = {
    {DT_BOOL, "bool", 1, ValueFamily::Bool},         {DT_INT8, "int8", 1, ValueFamily::Int64},
    {DT_INT16, "int16", 2, ValueFamily::Int64},      {DT_INT32, "int32", 4, ValueFamily::Int64},
    {DT_INT64, "int64", 8, ValueFamily::Int64},      {DT_FLOAT, "float", 4, ValueFamily::Double},
    {DT_DOUBLE, "double", 8, ValueFamily::Double},   {DT_STRING, "string", 0, ValueFamily::String},
    {DT_DATETIME, "datetime", 8, ValueFamily::None}, {DT_UINT8, "uint8", 1, ValueFamily::Int64},
    {DT_UINT16, "uint16", 2, ValueFamily::Int64},    {DT_UINT32, "uint32", 4, ValueFamily::Int64},
    {DT_UINT64, "uint64", 8, ValueFamily::Int64},
};

const TypeRow* Find(int code) {
  for (const auto& row : kTypes)
    if (row.type == code) return &row;
  return nullptr;
}
}  // namespace

ValueFamily FamilyOf(DataType type) {
  const TypeRow* row = Find(type);
  return row ? row->family : ValueFamily::None;
}

int ElementWidth(DataType type) {
  const TypeRow* row = Find(type);
  return row ? row->width : 0;
}

bool IsKnownDataType(int code) { return Find(code) != nullptr; }

const char* DataTypeName(DataType type) {
  const TypeRow* row = Find(type);
  return row ? row->name : "unknown";
}

DataType DataTypeFromName(const std::string& name) {
  for (const auto& row : kTypes)
    if (name == row.name) return row.type;
  return DT_UNKNOWN;
}

}  // namespace VESK::DAQ
