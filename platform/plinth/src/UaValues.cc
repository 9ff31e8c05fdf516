#include "UaValues.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace VESK::DAQ::ua {

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

namespace {

template <class T>
int64_t Clamp(int64_t v) {
  return std::min<int64_t>(std::max<int64_t>(v, std::numeric_limits<T>::min()), std::numeric_limits<T>::max());
}

int64_t ClampTo(uint8_t type, int64_t v) {
  switch (type) {
    case kBoolean:
      return v != 0;
    case kSByte:
      return Clamp<int8_t>(v);
    case kByte:
      return Clamp<uint8_t>(v);
    case kInt16:
      return Clamp<int16_t>(v);
    case kUInt16:
      return Clamp<uint16_t>(v);
    case kInt32:
      return Clamp<int32_t>(v);
    case kUInt32:
      return Clamp<uint32_t>(v);
    case kDateTime:
      return UnixMsToTicks(v);
    default:
      return v;
  }
}

bool ParseUInt64(const std::string& t, uint64_t& out) {
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  out = std::strtoull(t.c_str(), nullptr, 10);
  return errno == 0;
}

}  // namespace

bool ToVariant(const DataValueBase& value, uint8_t type, bool element, Variant& out) {
  if (value.IsNull()) return false;
  out = Variant();
  out.type = type;
  out.isArray = element || value.IsArray();
  bool ok = false;
  switch (type) {
    case kBoolean: {
      std::vector<bool> v;
      ok = value.GetBoolArray(v);
      for (bool b : v) out.ints.push_back(b);
      break;
    }
    case kSByte:
    case kByte:
    case kInt16:
    case kUInt16:
    case kInt32:
    case kUInt32:
    case kInt64:
    case kDateTime:
      ok = value.GetInt64Array(out.ints);
      for (auto& v : out.ints) v = ClampTo(type, v);
      break;
    case kUInt64: {
      // Through text, so values above the signed range stay exact.
      std::vector<std::string> text;
      std::vector<int64_t> ints;
      ok = value.GetStringArray(text) && value.GetInt64Array(ints) && text.size() == ints.size();
      for (size_t i = 0; ok && i < text.size(); ++i) {
        uint64_t u = 0;
        out.uints.push_back(ParseUInt64(text[i], u) ? u : static_cast<uint64_t>(std::max<int64_t>(ints[i], 0)));
      }
      break;
    }
    case kFloat:
    case kDouble:
      ok = value.GetDoubleArray(out.reals);
      break;
    case kString:
    case kByteString:
      ok = value.GetStringArray(out.texts);
      break;
    default:
      return false;
  }
  if (!ok || out.Size() == 0) return false;
  if (!out.isArray || element) {
    out.ints.resize(std::min<size_t>(out.ints.size(), 1));
    out.uints.resize(std::min<size_t>(out.uints.size(), 1));
    out.reals.resize(std::min<size_t>(out.reals.size(), 1));
    out.texts.resize(std::min<size_t>(out.texts.size(), 1));
  }
  return true;
}

bool Store(const Variant& v, DataValueBase& target) {
  if (!v.Supported() || v.type == kNull || (!v.isArray && v.Size() != 1)) return false;
  switch (v.type) {
    case kBoolean: {
      std::vector<bool> b(v.ints.begin(), v.ints.end());
      return v.isArray ? target.SetBoolArray(b) : target.SetBool(b[0]);
    }
    case kFloat:
    case kDouble:
      return v.isArray ? target.SetDoubleArray(v.reals) : target.SetDouble(v.reals[0]);
    case kString:
    case kByteString:
      return v.isArray ? target.SetStringArray(v.texts) : target.SetString(v.texts[0]);
    case kUInt64: {
      bool fits = std::all_of(v.uints.begin(), v.uints.end(),
                              [](uint64_t u) { return u <= uint64_t(std::numeric_limits<int64_t>::max()); });
      if (fits) {
        std::vector<int64_t> i(v.uints.begin(), v.uints.end());
        return v.isArray ? target.SetInt64Array(i) : target.SetInt64(i[0]);
      }
      std::vector<std::string> t;
      for (uint64_t u : v.uints) t.push_back(std::to_string(u));
      return v.isArray ? target.SetStringArray(t) : target.SetString(t[0]);
    }
    case kDateTime: {
      std::vector<int64_t> ms;
      for (int64_t t : v.ints) ms.push_back(TicksToUnixMs(t));
      return v.isArray ? target.SetInt64Array(ms) : target.SetInt64(ms[0]);
    }
    default:  // the integers and StatusCode
      return v.isArray ? target.SetInt64Array(v.ints) : target.SetInt64(v.ints[0]);
  }
}

namespace {

// Whether a built-in type carries the kind of data a declared type holds:
// numbers convert among themselves (into a floating type from any number),
// text, truth values and times only from their own kind.
bool KindFits(uint8_t builtIn, DataType declared) {
  bool integer = (builtIn >= kSByte && builtIn <= kUInt64) || builtIn == kStatusCode;
  switch (FamilyOf(declared)) {
    case ValueFamily::Bool:
      return builtIn == kBoolean;
    case ValueFamily::Int64:
      return integer;
    case ValueFamily::Double:
      return integer || builtIn == kFloat || builtIn == kDouble;
    case ValueFamily::String:
      return builtIn == kString || builtIn == kByteString;
    default:
      return declared == DT_DATETIME && builtIn == kDateTime;
  }
}

std::string Shape(bool isArray, size_t size) {
  return isArray ? "an array of " + std::to_string(size) : std::string("a scalar");
}

}  // namespace

std::string Mismatch(const Variant& v, const DataValueBase& declared) {
  size_t size = v.skipped ? v.skipped : v.Size();
  size_t want = declared.IsArray() ? static_cast<size_t>(std::max(declared.GetArraySize(), 0)) : 1;
  if (v.isArray != declared.IsArray() || (v.isArray && size != want))
    return Shape(v.isArray, size) + " where the profile declares " + Shape(declared.IsArray(), want);
  if (!KindFits(v.type, declared.GetType()))
    return "built-in type " + std::to_string(v.type) + " where the profile declares " +
           DataTypeName(declared.GetType());
  return "";
}

std::string IndexRange(const std::vector<int>& indices) {
  std::string out;
  for (int i : indices) out += (out.empty() ? "" : ",") + std::to_string(i);
  return out;
}

}  // namespace VESK::DAQ::ua
