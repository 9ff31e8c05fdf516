// The typed values behind DataValueBase: one template over the element type,
// instantiated once per type code.
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>

#include "strata/DataValueBase.h"

namespace VESK::DAQ {

namespace {

constexpr size_t kMaxElements = size_t(1) << 24;
// Shapes deeper than any device's are refused: the JSON form of a value is
// built and read by recursion over its dimensions, and a value may come from
// a peer's request.
constexpr size_t kMaxDimensions = 32;

template <class T>
constexpr bool kIsBool = std::is_same_v<T, bool>;
template <class T>
constexpr bool kIsString = std::is_same_v<T, std::string>;
template <class T>
constexpr bool kIsInteger = std::is_integral_v<T> && !kIsBool<T>;

// ---- parsing and saturating conversions -------------------------------------

bool ParseInt64(const std::string& s, int64_t& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == s.c_str()) return false;
  out = v;
  return true;
}

bool ParseUInt64(const std::string& s, uint64_t& out) {
  if (s.empty() || s.find('-') != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == s.c_str()) return false;
  out = v;
  return true;
}

bool ParseDouble(const std::string& s, double& out) {
  // Decimal text only: strtod would also take hexadecimal.
  if (s.empty() || s.find_first_of("xX") != std::string::npos) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || end == s.c_str()) return false;
  out = v;
  return true;
}

template <class T>
T SaturateInt(int64_t v) {
  constexpr T lo = std::numeric_limits<T>::min();
  constexpr T hi = std::numeric_limits<T>::max();
  if constexpr (std::is_signed_v<T>) {
    if (v < int64_t(lo)) return lo;
    if (v > int64_t(hi)) return hi;
  } else {
    if (v < 0) return 0;
    if (uint64_t(v) > uint64_t(hi)) return hi;
  }
  return T(v);
}

template <class T>
T SaturateDouble(double v) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::is_same_v<T, float> && std::isfinite(v) && std::fabs(v) > FLT_MAX)
      return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return T(v);
  } else {
    if (std::isnan(v)) return 0;
    // The limits as doubles round up to a power of two for 64-bit types, so
    // ">=" catches everything that would not convert.
    if (v <= double(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= double(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return T(v);
  }
}

// Shortest decimal text that reads back as the same float, so 0.1f prints as
// 0.1 and not as the digits of its double widening.
double FloatAsShortDouble(float v) {
  if (!std::isfinite(v)) return double(v);
  char buf[32];
  for (int precision = 6; precision < 9; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, double(v));
    if (std::strtof(buf, nullptr) == v) return std::strtod(buf, nullptr);
  }
  return double(v);
}

// ---- element <-> family ---------------------------------------------------------

template <class T>
bool ToBool(const T& v) {
  if constexpr (kIsString<T>) {
    if (v == "true") return true;
    double d = 0;
    return ParseDouble(v, d) && d != 0;
  } else {
    return v != T{};
  }
}

template <class T>
int64_t ToInt64(const T& v) {
  if constexpr (kIsBool<T>) {
    return v ? 1 : 0;
  } else if constexpr (kIsString<T>) {
    int64_t i = 0;
    if (ParseInt64(v, i)) return i;
    uint64_t u = 0;
    if (ParseUInt64(v, u)) return std::numeric_limits<int64_t>::max();
    double d = 0;
    if (ParseDouble(v, d)) return SaturateDouble<int64_t>(d);
    return v == "true" ? 1 : 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    return SaturateDouble<int64_t>(v);
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    return v > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(v);
  } else {
    return int64_t(v);
  }
}

template <class T>
double ToDouble(const T& v) {
  if constexpr (kIsBool<T>) {
    return v ? 1.0 : 0.0;
  } else if constexpr (kIsString<T>) {
    double d = 0;
    if (ParseDouble(v, d)) return d;
    return v == "true" ? 1.0 : 0.0;
  } else if constexpr (std::is_same_v<T, float>) {
    return FloatAsShortDouble(v);
  } else {
    return double(v);
  }
}

template <class T>
std::string ToString(const T& v) {
  if constexpr (kIsBool<T>) {
    return v ? "true" : "false";
  } else if constexpr (kIsString<T>) {
    return v;
  } else if constexpr (std::is_floating_point_v<T>) {
    return nlohmann::json(ToDouble(v)).dump();
  } else {
    return std::to_string(v);
  }
}

template <class T>
T FromBool(bool b) {
  if constexpr (kIsString<T>)
    return b ? "true" : "false";
  else
    return T(b ? 1 : 0);
}

template <class T>
T FromInt64(int64_t v) {
  if constexpr (kIsBool<T>)
    return v != 0;
  else if constexpr (kIsString<T>)
    return std::to_string(v);
  else if constexpr (std::is_floating_point_v<T>)
    return T(v);
  else
    return SaturateInt<T>(v);
}

template <class T>
T FromDouble(double v) {
  if constexpr (kIsBool<T>)
    return v != 0.0 && !std::isnan(v);
  else if constexpr (kIsString<T>)
    return nlohmann::json(v).dump();
  else
    return SaturateDouble<T>(v);
}

template <class T>
T FromString(const std::string& s) {
  if constexpr (kIsString<T>) {
    return s;
  } else if constexpr (kIsBool<T>) {
    return ToBool(s);
  } else if constexpr (std::is_floating_point_v<T>) {
    return SaturateDouble<T>(ToDouble(s));
  } else {
    int64_t i = 0;
    if (ParseInt64(s, i)) return SaturateInt<T>(i);
    uint64_t u = 0;
    if (ParseUInt64(s, u)) {  // above the int64 range: only uint64 holds it exactly
      if constexpr (std::is_same_v<T, uint64_t>) return u;
      return std::numeric_limits<T>::max();
    }
    double d = 0;
    if (ParseDouble(s, d)) return SaturateDouble<T>(d);
    return T(s == "true" ? 1 : 0);
  }
}

template <class T>
nlohmann::json ElementJson(const T& v) {
  if constexpr (kIsBool<T> || kIsString<T>)
    return nlohmann::json(v);
  else if constexpr (std::is_same_v<T, float>)
    return nlohmann::json(FloatAsShortDouble(v));
  else if constexpr (std::is_floating_point_v<T>)
    return nlohmann::json(double(v));
  else if constexpr (std::is_signed_v<T>)
    return nlohmann::json(int64_t(v));
  else
    return nlohmann::json(uint64_t(v));
}

// ---- bit streams ----------------------------------------------------------------

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Bit n of the stream is bit n % 8 (least significant first) of byte n / 8.
bool GetBit(const std::vector<uint8_t>& bytes, size_t bit) { return (bytes[bit / 8] >> (bit % 8)) & 1; }

void CopyBits(const std::vector<uint8_t>& bytes, size_t bitPos, uint8_t* out, size_t width) {
  if (bitPos % 8 == 0) {
    std::memcpy(out, bytes.data() + bitPos / 8, width);
    return;
  }
  for (size_t i = 0; i < width; ++i) {
    uint8_t b = 0;
    for (int k = 0; k < 8; ++k)
      if (GetBit(bytes, bitPos + i * 8 + k)) b |= uint8_t(1u << k);
    out[i] = b;
  }
}

size_t ElementCount(const std::vector<int>& dims) {
  size_t n = 1;
  for (int d : dims) n *= size_t(d);
  return n;
}

nlohmann::json Nest(const nlohmann::json& flat, const std::vector<int>& dims, size_t level, size_t& next) {
  nlohmann::json out = nlohmann::json::array();
  for (int i = 0; i < dims[level]; ++i) {
    if (level + 1 == dims.size())
      out.push_back(flat[next++]);
    else
      out.push_back(Nest(flat, dims, level + 1, next));
  }
  return out;
}

// ---- the typed value ------------------------------------------------------------

template <class T>
class TypedValue : public DataValueBase {
 public:
  TypedValue(DataType type, std::vector<int> dims) : _type(type), _dims(std::move(dims)) {
    _data.resize(ElementCount(_dims));
  }

  DataType GetType() const override { return _type; }
  bool IsNull() const override { return _null; }
  bool IsArray() const override { return !_dims.empty(); }
  std::vector<int> GetDimensions() const override { return _dims; }
  int GetArraySize() const override { return int(_data.size()); }
  void SetNull() override {
    _null = true;
    std::fill(_data.begin(), _data.end(), T{});
  }

  nlohmann::json ToJson() const override {
    if (_null) return nullptr;
    if (_dims.empty()) return ElementJson<T>(_data[0]);
    nlohmann::json flat = nlohmann::json::array();
    for (size_t i = 0; i < _data.size(); ++i) flat.push_back(ElementJson<T>(_data[i]));
    if (_dims.size() == 1) return flat;
    size_t next = 0;
    return Nest(flat, _dims, 0, next);
  }

  bool SaveToMemory(std::vector<uint8_t>* bytes, EndianType endian) const override {
    if (!bytes || !bytes->empty() || _null) return false;
    if constexpr (kIsBool<T>) {
      if (_dims.empty()) {
        bytes->push_back(_data[0] ? 1 : 0);
      } else {
        bytes->assign((_data.size() + 7) / 8, 0);
        for (size_t i = 0; i < _data.size(); ++i)
          if (_data[i]) (*bytes)[i / 8] |= uint8_t(1u << (i % 8));
      }
    } else if constexpr (kIsString<T>) {
      for (const auto& s : _data) {
        bytes->insert(bytes->end(), s.begin(), s.end());
        if (!_dims.empty()) bytes->push_back(0);
      }
    } else {
      bytes->resize(_data.size() * sizeof(T));
      for (size_t i = 0; i < _data.size(); ++i) {
        uint8_t* p = bytes->data() + i * sizeof(T);
        std::memcpy(p, &_data[i], sizeof(T));
        if ((endian == ENDIAN_BIG) != kHostBigEndian) std::reverse(p, p + sizeof(T));
      }
    }
    return true;
  }

  // Scalar getters read element 0 (a scalar's only element).
  bool GetBool() const override { return !_null && ToBool<T>(_data[0]); }
  int64_t GetInt64() const override { return _null ? 0 : ToInt64<T>(_data[0]); }
  double GetDouble() const override { return _null ? 0.0 : ToDouble<T>(_data[0]); }
  std::string GetString() const override { return _null ? std::string() : ToString<T>(_data[0]); }

  bool GetBoolArray(std::vector<bool>& out) const override { return GetArray(out, ToBool<T>); }
  bool GetInt64Array(std::vector<int64_t>& out) const override { return GetArray(out, ToInt64<T>); }
  bool GetDoubleArray(std::vector<double>& out) const override { return GetArray(out, ToDouble<T>); }
  bool GetStringArray(std::vector<std::string>& out) const override { return GetArray(out, ToString<T>); }

  bool SetBool(bool v) override { return SetScalar(FromBool<T>(v)); }
  bool SetInt64(int64_t v) override { return SetScalar(FromInt64<T>(v)); }
  bool SetDouble(double v) override { return SetScalar(FromDouble<T>(v)); }
  bool SetString(const std::string& v) override { return SetScalar(FromString<T>(v)); }

  bool SetBool(bool v, const std::vector<int>& idx) override { return SetAt(FromBool<T>(v), idx); }
  bool SetInt64(int64_t v, const std::vector<int>& idx) override { return SetAt(FromInt64<T>(v), idx); }
  bool SetDouble(double v, const std::vector<int>& idx) override { return SetAt(FromDouble<T>(v), idx); }
  bool SetString(const std::string& v, const std::vector<int>& idx) override { return SetAt(FromString<T>(v), idx); }

  bool SetBoolArray(const std::vector<bool>& v) override { return SetArray(v, FromBool<T>); }
  bool SetInt64Array(const std::vector<int64_t>& v) override { return SetArray(v, FromInt64<T>); }
  bool SetDoubleArray(const std::vector<double>& v) override { return SetArray(v, FromDouble<T>); }
  bool SetStringArray(const std::vector<std::string>& v) override { return SetArray(v, FromString<T>); }

  // Raw element access for FillFromLeaves.
  std::vector<T>& Data() { return _data; }
  void MarkSet() { _null = false; }

 protected:
  size_t BitsNeeded() const override {
    if constexpr (kIsBool<T>)
      return _data.size();
    else if constexpr (kIsString<T>)
      return 0;
    else
      return _data.size() * sizeof(T) * 8;
  }

  bool LoadBits(const std::vector<uint8_t>& bytes, size_t bitPos, EndianType endian) override {
    if constexpr (kIsBool<T>) {
      for (size_t i = 0; i < _data.size(); ++i) _data[i] = GetBit(bytes, bitPos + i);
    } else if constexpr (kIsString<T>) {
      if (bitPos % 8 != 0) {
        SetNull();
        return false;
      }
      size_t pos = bitPos / 8;
      for (auto& s : _data) {
        size_t end = pos;
        while (end < bytes.size() && bytes[end] != 0) ++end;
        s.assign(bytes.begin() + pos, bytes.begin() + end);
        pos = std::min(end + 1, bytes.size());
      }
    } else {
      uint8_t raw[sizeof(T)];
      for (size_t i = 0; i < _data.size(); ++i) {
        CopyBits(bytes, bitPos + i * sizeof(T) * 8, raw, sizeof(T));
        if ((endian == ENDIAN_BIG) != kHostBigEndian) std::reverse(raw, raw + sizeof(T));
        std::memcpy(&_data[i], raw, sizeof(T));
      }
    }
    _null = false;
    return true;
  }

 private:
  template <class E, class F>
  bool GetArray(std::vector<E>& out, F convert) const {
    out.clear();
    if (_null) return false;
    out.reserve(_data.size());
    for (size_t i = 0; i < _data.size(); ++i) out.push_back(convert(_data[i]));
    return true;
  }

  bool SetScalar(T v) {
    _dims.clear();
    _data.assign(1, std::move(v));
    _null = false;
    return true;
  }

  // Flat position of an element, or -1 when the indices do not address one.
  long FlatIndex(const std::vector<int>& idx) const {
    if (idx.empty()) return _dims.empty() ? 0 : -1;
    if (_dims.empty()) return -1;
    if (idx.size() == 1) return (idx[0] >= 0 && size_t(idx[0]) < _data.size()) ? idx[0] : -1;
    if (idx.size() != _dims.size()) return -1;
    long flat = 0;
    for (size_t k = 0; k < idx.size(); ++k) {
      if (idx[k] < 0 || idx[k] >= _dims[k]) return -1;
      flat = flat * _dims[k] + idx[k];
    }
    return flat;
  }

  bool SetAt(T v, const std::vector<int>& idx) {
    long at = FlatIndex(idx);
    if (at < 0) return false;
    _data[size_t(at)] = std::move(v);  // a null value's other elements are already zeroed
    _null = false;
    return true;
  }

  template <class E, class F>
  bool SetArray(const std::vector<E>& v, F convert) {
    if (v.size() > kMaxElements) return false;
    if (_dims.empty() || v.size() != _data.size()) _dims.assign(1, int(v.size()));
    _data.resize(v.size());
    for (size_t i = 0; i < v.size(); ++i) _data[i] = convert(v[i]);
    _null = false;
    return true;
  }

  DataType _type;
  std::vector<int> _dims;
  std::vector<T> _data;
  bool _null = true;
};

std::shared_ptr<DataValueBase> MakeTyped(DataType type, std::vector<int> dims) {
  switch (type) {
    case DT_BOOL:
      return std::make_shared<TypedValue<bool>>(type, std::move(dims));
    case DT_INT8:
      return std::make_shared<TypedValue<int8_t>>(type, std::move(dims));
    case DT_INT16:
      return std::make_shared<TypedValue<int16_t>>(type, std::move(dims));
    case DT_INT32:
      return std::make_shared<TypedValue<int32_t>>(type, std::move(dims));
    case DT_INT64:
    case DT_DATETIME:
      return std::make_shared<TypedValue<int64_t>>(type, std::move(dims));
    case DT_UINT8:
      return std::make_shared<TypedValue<uint8_t>>(type, std::move(dims));
    case DT_UINT16:
      return std::make_shared<TypedValue<uint16_t>>(type, std::move(dims));
    case DT_UINT32:
      return std::make_shared<TypedValue<uint32_t>>(type, std::move(dims));
    case DT_UINT64:
      return std::make_shared<TypedValue<uint64_t>>(type, std::move(dims));
    case DT_FLOAT:
      return std::make_shared<TypedValue<float>>(type, std::move(dims));
    case DT_DOUBLE:
      return std::make_shared<TypedValue<double>>(type, std::move(dims));
    case DT_STRING:
      return std::make_shared<TypedValue<std::string>>(type, std::move(dims));
    default:
      return std::make_shared<DataValueBase>();
  }
}

// The accessors of one family, so CopyFrom is written once.
template <class E>
struct Family;
template <>
struct Family<bool> {
  static bool Get(const DataValueBase& v) { return v.GetBool(); }
  static bool GetArray(const DataValueBase& v, std::vector<bool>& o) { return v.GetBoolArray(o); }
  static bool SetAt(DataValueBase& v, bool x, const std::vector<int>& i) { return v.SetBool(x, i); }
  static bool SetArray(DataValueBase& v, const std::vector<bool>& x) { return v.SetBoolArray(x); }
};
template <>
struct Family<int64_t> {
  static int64_t Get(const DataValueBase& v) { return v.GetInt64(); }
  static bool GetArray(const DataValueBase& v, std::vector<int64_t>& o) { return v.GetInt64Array(o); }
  static bool SetAt(DataValueBase& v, int64_t x, const std::vector<int>& i) { return v.SetInt64(x, i); }
  static bool SetArray(DataValueBase& v, const std::vector<int64_t>& x) { return v.SetInt64Array(x); }
};
template <>
struct Family<double> {
  static double Get(const DataValueBase& v) { return v.GetDouble(); }
  static bool GetArray(const DataValueBase& v, std::vector<double>& o) { return v.GetDoubleArray(o); }
  static bool SetAt(DataValueBase& v, double x, const std::vector<int>& i) { return v.SetDouble(x, i); }
  static bool SetArray(DataValueBase& v, const std::vector<double>& x) { return v.SetDoubleArray(x); }
};
template <>
struct Family<std::string> {
  static std::string Get(const DataValueBase& v) { return v.GetString(); }
  static bool GetArray(const DataValueBase& v, std::vector<std::string>& o) { return v.GetStringArray(o); }
  static bool SetAt(DataValueBase& v, const std::string& x, const std::vector<int>& i) { return v.SetString(x, i); }
  static bool SetArray(DataValueBase& v, const std::vector<std::string>& x) { return v.SetStringArray(x); }
};

template <class E>
bool CopyThrough(DataValueBase& to, const DataValueBase& from, const std::vector<int>& indices) {
  if (from.IsArray()) {
    if (!indices.empty()) return false;
    std::vector<E> elements;
    return Family<E>::GetArray(from, elements) && Family<E>::SetArray(to, elements);
  }
  return Family<E>::SetAt(to, Family<E>::Get(from), indices);
}

// Sets a value made by MakeTyped from JSON leaves of its element type
// (uint64 beyond the Int64 family included).
template <class T>
void FillFromLeaves(DataValueBase& value, const std::vector<const nlohmann::json*>& leaves) {
  auto& typed = static_cast<TypedValue<T>&>(value);
  for (size_t i = 0; i < leaves.size(); ++i) typed.Data()[i] = leaves[i]->get<T>();
  typed.MarkSet();
}

// Dimensions and leaf kind of a JSON array; false when ragged or mixed.
enum class Leaf { None, Bool, Int, UInt, Float, String };

bool Shape(const nlohmann::json& j, size_t level, std::vector<int>& dims, Leaf& leaf, bool& bigUnsigned) {
  if (j.is_array()) {
    if (j.empty() || level >= kMaxDimensions) return false;
    if (dims.size() == level)
      dims.push_back(int(j.size()));
    else if (dims.size() < level || dims[level] != int(j.size()))
      return false;
    for (const auto& e : j)
      if (!Shape(e, level + 1, dims, leaf, bigUnsigned)) return false;
    return true;
  }
  if (level != dims.size()) return false;  // a leaf where an array was expected
  Leaf kind = j.is_boolean()          ? Leaf::Bool
              : j.is_number_float()   ? Leaf::Float
              : j.is_number_integer() ? Leaf::Int
              : j.is_string()         ? Leaf::String
                                      : Leaf::None;
  if (kind == Leaf::None) return false;
  if (j.is_number_unsigned() && j.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())) bigUnsigned = true;
  if (leaf == Leaf::None) {
    leaf = kind;
    return true;
  }
  bool numbers = (leaf == Leaf::Int || leaf == Leaf::Float) && (kind == Leaf::Int || kind == Leaf::Float);
  if (numbers) {
    if (kind == Leaf::Float) leaf = Leaf::Float;
    return true;
  }
  return leaf == kind;
}

void Flatten(const nlohmann::json& j, std::vector<const nlohmann::json*>& out) {
  if (j.is_array()) {
    for (const auto& e : j) Flatten(e, out);
  } else {
    out.push_back(&j);
  }
}

}  // namespace

DataValueBase::~DataValueBase() = default;

std::shared_ptr<DataValueBase> DataValueBase::Create(DataType type) { return MakeTyped(type, {}); }

std::shared_ptr<DataValueBase> DataValueBase::Create(DataType type, std::vector<int> dimensions) {
  if (dimensions.size() > kMaxDimensions)
    throw std::invalid_argument("array of more than " + std::to_string(kMaxDimensions) + " dimensions");
  size_t count = 1;
  for (int d : dimensions) {
    if (d < 1) throw std::invalid_argument("array dimension " + std::to_string(d) + " is below 1");
    // Checked before multiplying: with a 32-bit size_t the product itself
    // could wrap around to a small number.
    if (size_t(d) > kMaxElements / count) throw std::invalid_argument("array of more than 16M elements");
    count *= size_t(d);
  }
  return MakeTyped(type, std::move(dimensions));
}

std::shared_ptr<DataValueBase> DataValueBase::FromJson(const nlohmann::json& value) {
  std::vector<int> dims;
  Leaf leaf = Leaf::None;
  bool bigUnsigned = false;
  if (!Shape(value, 0, dims, leaf, bigUnsigned)) return nullptr;
  DataType type = leaf == Leaf::Bool     ? DT_BOOL
                  : leaf == Leaf::Float  ? DT_DOUBLE
                  : leaf == Leaf::String ? DT_STRING
                  : bigUnsigned          ? DT_UINT64
                                         : DT_INT64;
  std::shared_ptr<DataValueBase> out;
  try {
    out = Create(type, dims);
  } catch (const std::invalid_argument&) {
    return nullptr;
  }
  std::vector<const nlohmann::json*> leaves;
  Flatten(value, leaves);
  switch (type) {
    case DT_BOOL:
      FillFromLeaves<bool>(*out, leaves);
      break;
    case DT_DOUBLE:
      FillFromLeaves<double>(*out, leaves);
      break;
    case DT_STRING:
      FillFromLeaves<std::string>(*out, leaves);
      break;
    case DT_UINT64:
      FillFromLeaves<uint64_t>(*out, leaves);
      break;
    default:
      FillFromLeaves<int64_t>(*out, leaves);
      break;
  }
  return out;
}

nlohmann::json DataValueBase::ToJson() const { return nullptr; }

bool DataValueBase::SetJson(const nlohmann::json& value) {
  if (GetType() == DT_UNKNOWN) return false;
  if (value.is_null()) {
    SetNull();
    return true;
  }
  auto converted = FromJson(value);
  return converted && CopyFrom(*converted);
}

bool DataValueBase::SaveToMemory(std::vector<uint8_t>*, EndianType) const { return false; }

bool DataValueBase::LoadFromMemory(std::vector<uint8_t>& bytes, int byteOffset, int bitOffset, EndianType endian) {
  if (GetType() == DT_UNKNOWN) return false;
  if (byteOffset < 0 || bitOffset < 0 || bitOffset > 7 || size_t(byteOffset) > bytes.size()) {
    SetNull();
    return false;
  }
  size_t position = size_t(byteOffset) * 8 + size_t(bitOffset);
  if (position + BitsNeeded() > bytes.size() * 8) {
    SetNull();
    return false;
  }
  return LoadBits(bytes, position, endian);
}

bool DataValueBase::LoadBits(const std::vector<uint8_t>&, size_t, EndianType) { return false; }

bool DataValueBase::CopyFrom(const DataValueBase& source, const std::vector<int>& indices) {
  if (source.IsNull()) return false;
  // A time stamp is an integer count; it has no family of its own.
  ValueFamily family = GetType() == DT_DATETIME ? ValueFamily::Int64 : FamilyOf(GetType());
  switch (family) {
    case ValueFamily::Bool:
      return CopyThrough<bool>(*this, source, indices);
    case ValueFamily::Int64:
      return CopyThrough<int64_t>(*this, source, indices);
    case ValueFamily::Double:
      return CopyThrough<double>(*this, source, indices);
    case ValueFamily::String:
      return CopyThrough<std::string>(*this, source, indices);
    case ValueFamily::None:
      break;
  }
  return false;
}

std::shared_ptr<DataValueBase> DataValueBase::Clone() const {
  auto copy = Create(GetType(), GetDimensions());
  if (!IsNull()) copy->CopyFrom(*this);
  return copy;
}

bool DataValueBase::GetBoolArray(std::vector<bool>& out) const {
  out.clear();
  return false;
}
bool DataValueBase::GetInt64Array(std::vector<int64_t>& out) const {
  out.clear();
  return false;
}
bool DataValueBase::GetDoubleArray(std::vector<double>& out) const {
  out.clear();
  return false;
}
bool DataValueBase::GetStringArray(std::vector<std::string>& out) const {
  out.clear();
  return false;
}

}  // namespace VESK::DAQ
