#pragma once
// The one reader of configuration files, for both programs and the stand-ins.
// Every value is read through a call that knows its key path, the expected
// type and range, so each problem is one log line naming the file, the key,
// what was expected and what was found:
//
//   ERROR   '<file>' : <key path> : expected <what>, found <value>
//   WARNING '<file>' : unknown keys <path>, <path>        (once per file)
//
// Adding a key to a loader is one line:
//
//   frame::ConfigReader reader("mqtt.json");     // logs a missing/bad file
//   frame::ConfigNode root = reader.Root();      // invalid after that
//   frame::ConfigNode client = root.Object("mqtt_client", frame::Need::Required);
//   client.Read("host", _host, frame::Need::Required);
//   client.Read("port", _port, frame::IntRange{1, 65535}, frame::Need::Required);
//   client.OneOf("encryption_mode", _mode, {0, 1, 2}, frame::Need::Required);
//   client.Done();                               // the rest are unknown keys
//   root.Done();
//   if (reader.Errors() > 0) ...                 // the loader's own outcome
//
// A read stores only a value that passed its check, so a failed read leaves
// the target as it was. Reads on an invalid node (absent or failed object)
// do nothing and report nothing: its absence has been reported once already.
// Not thread-safe; readers are used at start-up on one thread.
#include <cstddef>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace VESK::frame {

enum class Need { Optional, Required };

struct IntRange {
  long long lo;
  long long hi;
};

// Problems reported by every reader of this process so far: what
// --check-config turns into its exit status.
int ConfigErrorCount();

// A JSON number that holds a whole value (8086 or 8086.0) within
// [range.lo, range.hi]; nothing for fractions, other types or out of range.
std::optional<long long> JsonInteger(const nlohmann::json& value, IntRange range);

class ConfigReader;

// One value of a configuration file at a key path, usually an object.
class ConfigNode {
 public:
  ConfigNode() = default;
  ConfigNode(ConfigReader* reader, const nlohmann::json* value, std::string path);

  bool Valid() const { return _value != nullptr; }
  const std::string& Path() const { return _path; }
  // The value itself (null when invalid), for settings passed on unread.
  const nlohmann::json& Json() const;

  // Typed reads of one member; true when out was set. A member that is
  // absent is an error only when required; present, it must match.
  bool Read(const char* key, std::string& out, Need need = Need::Optional);
  bool Read(const char* key, bool& out, Need need = Need::Optional);
  bool Read(const char* key, int& out, IntRange range, Need need = Need::Optional);
  bool OneOf(const char* key, int& out, std::initializer_list<int> allowed, Need need = Need::Optional);
  bool OneOf(const char* key, std::string& out, std::initializer_list<const char*> allowed, Need need = Need::Optional);
  // Nested values; invalid when absent or of another type (reported).
  ConfigNode Object(const char* key, Need need = Need::Optional);
  ConfigNode Array(const char* key, Need need = Need::Optional);
  ConfigNode Collection(const char* key, Need need = Need::Optional);  // object or array

  // Members of an object or elements of an array, with their names (array
  // elements are named by their decimal index).
  std::vector<std::pair<std::string, ConfigNode>> Children() const;
  // This node must be an object; otherwise reports it and returns false.
  bool ExpectObject();
  // Reports a loader's own check on a member that failed (ok == false).
  bool Check(const char* key, bool ok, const std::string& expected);
  // A WARNING about a member that is used in spite of text (not an error).
  void Warn(const char* key, const std::string& text);
  // Marks a member as known without reading it through this node.
  void Accept(const char* key) { _seen.emplace_back(key); }
  // Members that no call above asked for go into the file's one WARNING.
  void Done();

 private:
  const nlohmann::json* Member(const char* key, Need need, const std::string& expected);
  std::string KeyPath(const std::string& key) const;
  ConfigNode Nested(const char* key, Need need, bool object, bool array, const char* expected);

  ConfigReader* _reader = nullptr;
  const nlohmann::json* _value = nullptr;
  std::string _path;
  std::vector<std::string> _seen;
};

// One configuration file: reads and parses it, or wraps a document already
// parsed (origin names it in messages). The unknown-key WARNING is written
// when the reader goes away.
class ConfigReader {
 public:
  // A missing file logs "'<file>' file does not exist!" and counts as an
  // error unless missingIsError is false (then it is silent).
  explicit ConfigReader(std::string file, bool missingIsError = true);
  ConfigReader(std::string origin, nlohmann::json document);
  ~ConfigReader();
  ConfigReader(const ConfigReader&) = delete;
  ConfigReader& operator=(const ConfigReader&) = delete;

  // True when the file was read and parsed (whatever it holds).
  bool Parsed() const { return _parsed; }
  // The top level, which must be an object (reported once otherwise).
  ConfigNode Root();
  const std::string& File() const { return _file; }
  // The whole document (null when not parsed), for formats read elsewhere.
  const nlohmann::json& Document() const { return _document; }
  int Errors() const { return _errors; }

  // One ERROR line for the value at path; found is null when absent.
  void Report(const std::string& path, const std::string& expected, const nlohmann::json* found);
  void Unknown(const std::string& path) { _unknown.push_back(path); }

 private:
  void Fail(const std::string& text);

  std::string _file;
  nlohmann::json _document;
  bool _parsed = false;
  bool _rootChecked = false;
  int _errors = 0;
  std::vector<std::string> _unknown;
};

}  // namespace VESK::frame
