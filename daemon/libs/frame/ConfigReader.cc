#include "ConfigReader.h"

#include <easylogging++.h>

#include <atomic>
#include <cmath>
#include <cstdint>

#include "BoundedJson.h"

namespace VESK::frame {

namespace {

using json = nlohmann::json;

std::atomic<int> g_errorCount{0};

// What was found, short enough for one line and safe for any bytes.
std::string Describe(const json* value) {
  if (value == nullptr) return "nothing";
  if (value->is_null()) return "null";
  return std::string(value->type_name()) + " " + LogExcerpt(SafeDump(*value), 80);
}

template <typename T, typename Show>
std::string ListOf(std::initializer_list<T> items, Show show) {
  std::string text = "one of ";
  for (const T& item : items) text += (text.size() > 7 ? ", " : "") + show(item);
  return text;
}

}  // namespace

int ConfigErrorCount() { return g_errorCount; }

std::optional<long long> JsonInteger(const json& value, IntRange range) {
  long long number = 0;
  if (value.is_number_unsigned()) {
    if (value.get<unsigned long long>() > static_cast<unsigned long long>(range.hi)) return std::nullopt;
    number = static_cast<long long>(value.get<unsigned long long>());
  } else if (value.is_number_integer()) {
    number = value.get<long long>();
  } else if (value.is_number_float()) {
    // Compared as doubles first: converting one outside long long is undefined.
    const double d = value.get<double>();
    if (!(d >= static_cast<double>(range.lo) && d <= static_cast<double>(range.hi)) || std::trunc(d) != d) {
      return std::nullopt;
    }
    number = static_cast<long long>(d);
  } else {
    return std::nullopt;
  }
  if (number < range.lo || number > range.hi) return std::nullopt;
  return number;
}

// ---- ConfigNode ----

ConfigNode::ConfigNode(ConfigReader* reader, const json* value, std::string path)
    : _reader(reader), _value(value), _path(std::move(path)) {}

const json& ConfigNode::Json() const {
  static const json kNull;
  return _value ? *_value : kNull;
}

std::string ConfigNode::KeyPath(const std::string& key) const { return _path.empty() ? key : _path + "." + key; }

const json* ConfigNode::Member(const char* key, Need need, const std::string& expected) {
  _seen.emplace_back(key);
  if (!_value || !_value->is_object()) return nullptr;
  auto it = _value->find(key);
  if (it != _value->end()) return &*it;
  if (need == Need::Required) _reader->Report(KeyPath(key), expected, nullptr);
  return nullptr;
}

bool ConfigNode::Check(const char* key, bool ok, const std::string& expected) {
  if (!ok && _value && _value->is_object()) {
    auto it = _value->find(key);
    _reader->Report(KeyPath(key), expected, it == _value->end() ? nullptr : &*it);
  }
  return ok;
}

bool ConfigNode::Read(const char* key, std::string& out, Need need) {
  const json* value = Member(key, need, "a string");
  if (!value || !Check(key, value->is_string(), "a string")) return false;
  out = value->get<std::string>();
  return true;
}

bool ConfigNode::Read(const char* key, bool& out, Need need) {
  const json* value = Member(key, need, "a boolean");
  if (!value || !Check(key, value->is_boolean(), "a boolean")) return false;
  out = value->get<bool>();
  return true;
}

bool ConfigNode::Read(const char* key, int& out, IntRange range, Need need) {
  const std::string expected = "an integer from " + std::to_string(range.lo) + " to " + std::to_string(range.hi);
  const json* value = Member(key, need, expected);
  if (!value) return false;
  std::optional<long long> number = JsonInteger(*value, range);
  if (!Check(key, number.has_value(), expected)) return false;
  out = static_cast<int>(*number);
  return true;
}

bool ConfigNode::OneOf(const char* key, int& out, std::initializer_list<int> allowed, Need need) {
  const std::string expected = ListOf(allowed, [](int v) { return std::to_string(v); });
  const json* value = Member(key, need, expected);
  if (!value) return false;
  std::optional<long long> number = JsonInteger(*value, {INT32_MIN, INT32_MAX});
  bool ok = false;
  for (int v : allowed) ok = ok || (number && *number == v);
  if (!Check(key, ok, expected)) return false;
  out = static_cast<int>(*number);
  return true;
}

bool ConfigNode::OneOf(const char* key, std::string& out, std::initializer_list<const char*> allowed, Need need) {
  const std::string expected = ListOf(allowed, [](const char* v) { return json(v).dump(); });
  const json* value = Member(key, need, expected);
  if (!value) return false;
  bool ok = false;
  for (const char* v : allowed) ok = ok || (value->is_string() && value->get_ref<const std::string&>() == v);
  if (!Check(key, ok, expected)) return false;
  out = value->get<std::string>();
  return true;
}

ConfigNode ConfigNode::Nested(const char* key, Need need, bool object, bool array, const char* expected) {
  const json* value = Member(key, need, expected);
  const bool ok = value && Check(key, (object && value->is_object()) || (array && value->is_array()), expected);
  return ConfigNode(_reader, ok ? value : nullptr, KeyPath(key));
}

ConfigNode ConfigNode::Object(const char* key, Need need) { return Nested(key, need, true, false, "an object"); }
ConfigNode ConfigNode::Array(const char* key, Need need) { return Nested(key, need, false, true, "an array"); }
ConfigNode ConfigNode::Collection(const char* key, Need need) {
  return Nested(key, need, true, true, "an object or an array");
}

std::vector<std::pair<std::string, ConfigNode>> ConfigNode::Children() const {
  std::vector<std::pair<std::string, ConfigNode>> children;
  if (!_value || !(_value->is_object() || _value->is_array())) return children;
  std::size_t index = 0;
  for (auto it = _value->begin(); it != _value->end(); ++it, ++index) {
    std::string name = _value->is_object() ? it.key() : std::to_string(index);
    std::string path = _value->is_object() ? KeyPath(name) : _path + "[" + name + "]";
    children.emplace_back(name, ConfigNode(_reader, &*it, path));
  }
  return children;
}

bool ConfigNode::ExpectObject() {
  if (_value && _value->is_object()) return true;
  if (_value) _reader->Report(_path, "an object", _value);
  _value = nullptr;
  return false;
}

void ConfigNode::Done() {
  if (!_value || !_value->is_object()) return;
  for (auto it = _value->begin(); it != _value->end(); ++it) {
    bool known = false;
    for (const std::string& key : _seen) known = known || key == it.key();
    if (!known) _reader->Unknown(KeyPath(it.key()));
  }
}

// ---- ConfigReader ----

ConfigReader::ConfigReader(std::string file, bool missingIsError) : _file(std::move(file)) {
  std::string error;
  switch (ReadBoundedJsonFile(_file, _document, error)) {
    case FileRead::Ok:
      _parsed = true;
      break;
    case FileRead::Missing:
      if (missingIsError) Fail("'" + _file + "' file does not exist!");
      break;
    case FileRead::Refused:
      Fail("'" + _file + "' : " + error);
      break;
  }
}

ConfigReader::ConfigReader(std::string origin, json document)
    : _file(std::move(origin)), _document(std::move(document)), _parsed(true) {}

ConfigReader::~ConfigReader() {
  if (_unknown.empty()) return;
  std::string names;
  for (const std::string& path : _unknown) names += (names.empty() ? "" : ", ") + path;
  LOG(WARNING) << "'" << _file << "' : unknown keys " << names;
}

ConfigNode ConfigReader::Root() {
  if (!_parsed) return ConfigNode(this, nullptr, "");
  if (!_document.is_object()) {
    if (!_rootChecked) Report("", "an object", &_document);
    _rootChecked = true;
    return ConfigNode(this, nullptr, "");
  }
  return ConfigNode(this, &_document, "");
}

void ConfigReader::Report(const std::string& path, const std::string& expected, const json* found) {
  Fail("'" + _file + "' : " + (path.empty() ? std::string("top level") : path) + " : expected " + expected +
       ", found " + Describe(found));
}

void ConfigReader::Fail(const std::string& text) {
  ++_errors;
  ++g_errorCount;
  LOG(ERROR) << text;
}

}  // namespace VESK::frame
