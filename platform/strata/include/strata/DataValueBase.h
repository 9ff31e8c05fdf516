#pragma once
// DataValueBase: one typed acquisition value, scalar or array, possibly null.
//
// Values are created through the factory functions with a type code; the base
// class itself is the "no type" value (type 0, always null, every setter
// refuses). Objects are not thread-safe: whoever shares one (a tag and the
// read node that fills it) serialises access.
//
// Converting accessors come in four families (Bool, Int64, Double, String).
// A getter converts the held element into the family's type; a setter
// converts the family's type into the held element type. Numeric conversions
// saturate at the target's range (NaN becomes 0); strings convert to numbers
// by parsing (text that is not a number gives 0 / false) and numbers to
// strings by their shortest decimal form. Scalar getters on an array read the
// first element; on a null value they answer 0, false or "".
//
// Arrays are stored flat in row-major order; `dimensions` gives their shape.
#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "strata/DataType.h"

namespace VESK::DAQ {

class DataValueBase {
 public:
  // Scalar of the given type, null until set. Unknown codes (0 included)
  // give a plain DataValueBase of type 0.
  static std::shared_ptr<DataValueBase> Create(DataType type);
  // Array with these dimensions (row-major), every element 0/false/"", null
  // until set. Throws std::invalid_argument when a dimension is below 1,
  // there are more than 32 dimensions or the element count exceeds 16M; an
  // empty list gives a scalar.
  static std::shared_ptr<DataValueBase> Create(DataType type, std::vector<int> dimensions);
  // A value of the type the JSON suggests: boolean 1, integer 5 (133 above
  // the signed range), floating 7, string 8; an array takes the type of its
  // leaves (all booleans, all strings, or numbers: floating 7 when any is
  // floating) and the dimensions of its nesting. A null pointer for null
  // JSON, objects, empty or ragged arrays, arrays mixing kinds and arrays
  // nested deeper than 32 levels.
  static std::shared_ptr<DataValueBase> FromJson(const nlohmann::json& value);

  DataValueBase() = default;
  virtual ~DataValueBase();
  DataValueBase(const DataValueBase&) = delete;
  DataValueBase& operator=(const DataValueBase&) = delete;

  virtual DataType GetType() const { return DT_UNKNOWN; }
  virtual bool IsNull() const { return true; }
  virtual bool IsArray() const { return false; }
  // Dimensions of an array, empty for a scalar.
  virtual std::vector<int> GetDimensions() const { return {}; }
  // Element count: 1 for a scalar (null or not), product of dimensions for an array.
  virtual int GetArraySize() const { return 0; }
  // Clears the value; type and shape stay.
  virtual void SetNull() {}
  // null, a JSON scalar, or (nested per dimension) JSON arrays. DT_DATETIME is
  // an integer of milliseconds.
  virtual nlohmann::json ToJson() const;
  // Converts the JSON into this value's type and shape: a scalar JSON sets a
  // scalar, an array JSON (flattened) replaces the whole value. Null JSON
  // clears the value. False (value unchanged) for shapes that do not fit.
  virtual bool SetJson(const nlohmann::json& value);

  // Fills the empty vector *bytes with the value's memory image: each element
  // at its width in the given byte order; a boolean scalar as one byte 0/1, a
  // boolean array packed 8 elements per byte, element i at bit i % 8 of byte
  // i / 8; a string as its bytes, each array element followed by a 0 byte.
  // False (nothing written) for a null value or a non-empty vector.
  virtual bool SaveToMemory(std::vector<uint8_t>* bytes, EndianType endian) const;
  // Sets the value from the image in bytes, starting at byteOffset and bit
  // bitOffset (0..7, counted from the least significant bit) of that byte;
  // with a bit offset a numeric element is taken from the bit stream that
  // starts there. The shape stays: a scalar reads one element, an array all
  // of its elements. A string scalar reads up to a 0 byte or the end.
  // Positions outside bytes (negative offsets, bitOffset outside 0..7, or
  // fewer bits left than the value needs) set the value null and return false.
  bool LoadFromMemory(std::vector<uint8_t>& bytes, int byteOffset, int bitOffset, EndianType endian);

  // Copies source into this value through this value's family (see
  // FamilyOf; DT_DATETIME goes through Int64): an array source replaces the whole value with its converted
  // elements; a scalar source goes through the element setter with indices
  // (empty indices: this value must be a scalar). False, and this value
  // unchanged, when source is null, this type has no family, or the indices
  // do not address an element.
  bool CopyFrom(const DataValueBase& source, const std::vector<int>& indices = {});
  // A new value of the same type and shape holding the same data (or null).
  std::shared_ptr<DataValueBase> Clone() const;

  // Scalar getters.
  virtual bool GetBool() const { return false; }
  virtual int64_t GetInt64() const { return 0; }
  virtual double GetDouble() const { return 0.0; }
  virtual std::string GetString() const { return std::string(); }
  // Array getters: every element in row-major order (a scalar gives one).
  // False and an empty vector for a null value.
  virtual bool GetBoolArray(std::vector<bool>& out) const;
  virtual bool GetInt64Array(std::vector<int64_t>& out) const;
  virtual bool GetDoubleArray(std::vector<double>& out) const;
  virtual bool GetStringArray(std::vector<std::string>& out) const;
  // Scalar setters: the value becomes a scalar holding the converted value.
  virtual bool SetBool(bool) { return false; }
  virtual bool SetInt64(int64_t) { return false; }
  virtual bool SetDouble(double) { return false; }
  virtual bool SetString(const std::string&) { return false; }
  // Element setters. Empty indices address a scalar (refused on an array).
  // Otherwise one index per dimension, or a single flat index; each within
  // range, else false and nothing changes. A null array gets its other
  // elements zeroed and is no longer null.
  virtual bool SetBool(bool, const std::vector<int>&) { return false; }
  virtual bool SetInt64(int64_t, const std::vector<int>&) { return false; }
  virtual bool SetDouble(double, const std::vector<int>&) { return false; }
  virtual bool SetString(const std::string&, const std::vector<int>&) { return false; }
  // Whole-array setters: the value becomes an array of these elements. Its
  // dimensions stay when it already was an array of that many elements,
  // otherwise they become {size}.
  virtual bool SetBoolArray(const std::vector<bool>&) { return false; }
  virtual bool SetInt64Array(const std::vector<int64_t>&) { return false; }
  virtual bool SetDoubleArray(const std::vector<double>&) { return false; }
  virtual bool SetStringArray(const std::vector<std::string>&) { return false; }

 protected:
  // Loads from the bit position bitPos (already bounds-checked by the caller
  // against the bits the value needs, see BitsNeeded).
  virtual bool LoadBits(const std::vector<uint8_t>& bytes, size_t bitPos, EndianType endian);
  // Bits the memory image of this value takes from a load position; strings
  // answer 0 (they read what is there).
  virtual size_t BitsNeeded() const { return 0; }
};

}  // namespace VESK::DAQ
