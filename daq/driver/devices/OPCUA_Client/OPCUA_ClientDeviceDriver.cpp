#include "OPCUA_ClientDeviceDriver.h"

#include <easylogging++.h>

#include <climits>

#include "ConfigReader.h"

namespace VESK::DAQ {

namespace {

// A string node identifier in the low 16 bits of the namespace; the caller
// owns the identifier text (UA_deleteMembers with the NodeId type).
UA_NodeId MakeNodeId(const _tag& tag) {
  UA_NodeId id{};
  id.namespaceIndex = UA_UInt16(tag.namespaceIndex & 0xFFFF);
  id.identifierType = UA_NODEIDTYPE_STRING;
  id.identifier.string = UA_String_fromChars(tag.nodeId.c_str());
  return id;
}

void FreeNodeId(UA_NodeId& id) { UA_deleteMembers(&id, &UA_TYPES[UA_TYPES_NODEID]); }

// What the driver needs of value types beyond the operations the acquisition
// core guarantees lives here: a real core exports nothing else, and a plug-in
// that imported more would not load there.

// The converting accessor set a value of a type code is written through.
enum class Family { None, Bool, Int64, Double, String };

Family FamilyOfType(DataType type) {
  switch (type) {
    case DT_BOOL:
      return Family::Bool;
    case DT_INT8:
    case DT_INT16:
    case DT_INT32:
    case DT_INT64:
    case DT_UINT8:
    case DT_UINT16:
    case DT_UINT32:
    case DT_UINT64:
      return Family::Int64;
    case DT_FLOAT:
    case DT_DOUBLE:
      return Family::Double;
    case DT_STRING:
      return Family::String;
    default:
      return Family::None;
  }
}

// Bytes one element of a fixed-width type takes in a memory image; 0 for the
// others (booleans count bits, strings have no width).
int ElementBytes(DataType type) {
  switch (type) {
    case DT_INT8:
    case DT_UINT8:
      return 1;
    case DT_INT16:
    case DT_UINT16:
      return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT:
      return 4;
    case DT_INT64:
    case DT_UINT64:
    case DT_DOUBLE:
    case DT_DATETIME:
      return 8;
    default:
      return 0;
  }
}

// The accessors of one family, by its element type.
template <class E>
struct Accessors;
template <>
struct Accessors<bool> {
  static bool Get(const DataValueBase& v) { return v.GetBool(); }
  static bool GetArray(const DataValueBase& v, std::vector<bool>& out) { return v.GetBoolArray(out); }
  static bool SetAt(DataValueBase& v, bool x, const std::vector<int>& at) { return v.SetBool(x, at); }
  static bool SetArray(DataValueBase& v, const std::vector<bool>& x) { return v.SetBoolArray(x); }
};
template <>
struct Accessors<int64_t> {
  static int64_t Get(const DataValueBase& v) { return v.GetInt64(); }
  static bool GetArray(const DataValueBase& v, std::vector<int64_t>& out) { return v.GetInt64Array(out); }
  static bool SetAt(DataValueBase& v, int64_t x, const std::vector<int>& at) { return v.SetInt64(x, at); }
  static bool SetArray(DataValueBase& v, const std::vector<int64_t>& x) { return v.SetInt64Array(x); }
};
template <>
struct Accessors<double> {
  static double Get(const DataValueBase& v) { return v.GetDouble(); }
  static bool GetArray(const DataValueBase& v, std::vector<double>& out) { return v.GetDoubleArray(out); }
  static bool SetAt(DataValueBase& v, double x, const std::vector<int>& at) { return v.SetDouble(x, at); }
  static bool SetArray(DataValueBase& v, const std::vector<double>& x) { return v.SetDoubleArray(x); }
};
template <>
struct Accessors<std::string> {
  static std::string Get(const DataValueBase& v) { return v.GetString(); }
  static bool GetArray(const DataValueBase& v, std::vector<std::string>& out) { return v.GetStringArray(out); }
  static bool SetAt(DataValueBase& v, const std::string& x, const std::vector<int>& at) { return v.SetString(x, at); }
  static bool SetArray(DataValueBase& v, const std::vector<std::string>& x) { return v.SetStringArray(x); }
};

// An array source replaces the whole target (indices must be empty); a
// scalar goes to the element the indices name (none: a scalar target).
template <class E>
bool CopyThrough(DataValueBase& to, const DataValueBase& from, const std::vector<int>& indices) {
  if (from.IsArray()) {
    std::vector<E> elements;
    return indices.empty() && Accessors<E>::GetArray(from, elements) && Accessors<E>::SetArray(to, elements);
  }
  return Accessors<E>::SetAt(to, Accessors<E>::Get(from), indices);
}

// Copies from into to through family's accessors. False, and to unchanged,
// for a null source, the family None, or indices that name no element.
bool CopyValue(Family family, DataValueBase& to, const DataValueBase& from, const std::vector<int>& indices) {
  if (from.IsNull()) return false;
  switch (family) {
    case Family::Bool:
      return CopyThrough<bool>(to, from, indices);
    case Family::Int64:
      return CopyThrough<int64_t>(to, from, indices);
    case Family::Double:
      return CopyThrough<double>(to, from, indices);
    case Family::String:
      return CopyThrough<std::string>(to, from, indices);
    case Family::None:
      break;
  }
  return false;
}

// A null value of the parameter's type and declared shape, as its tag holds.
std::shared_ptr<DataValueBase> NewValueFor(const ProfileParameter& parameter) {
  if (parameter.arrayLength < 1) return DataValueBase::Create(parameter.type);
  std::vector<int> dimensions = parameter.dimensions;
  if (dimensions.empty()) dimensions.push_back(parameter.arrayLength);
  return DataValueBase::Create(parameter.type, dimensions);
}

// Where a reference reads in its source's memory image. A boolean source
// counts index in bits; the others count elements of their width. False for
// a negative index or bit offset, a source type without a width, or an
// offset beyond int.
bool ReferenceOffsets(DataType sourceType, int index, int bitOffset, int& byteOffset, int& bit) {
  if (index < 0 || bitOffset < 0) return false;
  int64_t bytePosition;
  switch (sourceType) {
    case DT_BOOL:
      byteOffset = index / 8;
      bit = index % 8;
      return true;
    case DT_INT8:
    case DT_UINT8:
    case DT_INT16:
    case DT_UINT16:
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT:
    case DT_INT64:
    case DT_UINT64:
    case DT_DOUBLE:
    case DT_DATETIME:
      bytePosition = int64_t(index) * ElementBytes(sourceType) + bitOffset / 8;
      break;
    default:
      return false;
  }
  if (bytePosition > INT_MAX) return false;
  byteOffset = int(bytePosition);
  bit = bitOffset % 8;
  return true;
}

}  // namespace

OPCUA_ClientDeviceDriver::~OPCUA_ClientDeviceDriver() {
  _channel.reset();
  for (auto& entry : _tags) delete entry.second;
  _tags.clear();
  FreeReadNodes();
  std::lock_guard<std::mutex> lock(_writeMutex);
  _writeRequests.clear();  // each request's deleter frees its identifier
}

std::string OPCUA_ClientDeviceDriver::DeviceName() const { return _device ? _device->GetName() : std::string(); }

bool OPCUA_ClientDeviceDriver::IsConnect() { return _channel && _channel->IsChannelConnected(); }

int OPCUA_ClientDeviceDriver::GetStatus() { return 0; }

void OPCUA_ClientDeviceDriver::OnProbe(IDevice* device, nlohmann::json& config, std::shared_ptr<IChannelDriver> channel,
                                       std::shared_ptr<WorkLogProxy>) {
  // Each setting is checked on its own: a bad value is logged with its key
  // and leaves that setting as it was, and the probe still binds the device
  // and channel and builds the tags.
  const std::string name = device ? device->GetName() : std::string();
  if (!config.is_object() && !config.is_null()) {
    LOG(ERROR) << "Device '" << name << "' driver probe : configuration must be an object, found "
               << config.type_name();
  } else if (!config["Properties"].is_null()) {  // the lookup adds an absent key, as the host expects
    VESK::frame::ConfigReader reader("device '" + name + "' probe configuration", config);
    VESK::frame::ConfigNode properties = reader.Root().Object("Properties");
    properties.Read("BulkReadSize", _bulkReadSize, VESK::frame::IntRange{1, INT_MAX});
    std::string endian;
    if (properties.OneOf("Endian", endian, {"big", "little"})) _endian = endian == "big" ? ENDIAN_BIG : ENDIAN_LITTLE;
    properties.Done();
  }
  _device = device;
  _channel = std::dynamic_pointer_cast<OPCUA_ClientChannelDriver>(channel);
  if (!_channel) LOG(ERROR) << "Device '" << DeviceName() << "' channel driver is null ";
  CreateTagList();
}

void OPCUA_ClientDeviceDriver::CreateTagList() {
  std::shared_ptr<Profile> profile = _device ? _device->GetProfile() : nullptr;
  if (!profile) {
    LOG(ERROR) << "Device '" << DeviceName() << "' has no profile, no parameters";
    return;
  }
  std::list<std::shared_ptr<ProfileParameter>> parameters;
  profile->QueryParameters(parameters);
  for (const auto& parameter : parameters) {
    if (!parameter || _tags.count(parameter->id)) continue;  // the first of an id wins
    try {
      nlohmann::json attributes = parameter->attributes;
      auto tag = std::make_unique<_tag>();
      tag->name = parameter->id;
      tag->parameter = parameter;
      tag->arrayLength = parameter->arrayLength;
      tag->value = NewValueFor(*parameter);
      if (!parameter->isReference) {
        nlohmann::json& address = attributes["address"];
        const char* key = !address["node_id"].is_null() ? "node_id" : "browse_path";
        if (!address[key].is_null()) {
          const std::string text = address[key].get<std::string>();
          try {
            NodeStringParse(text, tag->namespaceIndex, key[0] == 'n' ? tag->nodeId : tag->browsePath);
          } catch (const std::logic_error&) {  // what std::stoi throws
            throw std::invalid_argument(std::string(key) + " '" + text + "' is not <namespace number>:<identifier>");
          }
        }
      }
      _tags[parameter->id] = tag.release();
    } catch (const std::exception& e) {
      LOG(ERROR) << "Create Parameter Failed! : Id = " << parameter->id << " Exception : " << e.what();
    }
  }
  // What every update walks, resolved once: the tags in key order, and each
  // reference with its source (tags are never removed).
  _ordered.clear();
  _references.clear();
  for (const auto& entry : _tags) {
    _ordered.push_back(entry.second);
    const auto& parameter = entry.second->parameter;
    if (!parameter || !parameter->isReference) continue;
    auto source = _tags.find(parameter->referenceId);
    if (source != _tags.end()) _references.emplace_back(entry.second, source->second);  // none: keeps its value
  }
}

_tag* OPCUA_ClientDeviceDriver::CreateTag(const char* name, DataType type, int arrayLength, int namespaceIndex,
                                          const char* nodeId) {
  auto tag = std::make_unique<_tag>();
  tag->name = name ? name : "";
  tag->arrayLength = arrayLength;
  tag->namespaceIndex = namespaceIndex;
  tag->nodeId = nodeId ? nodeId : "";
  tag->value = arrayLength < 1 ? DataValueBase::Create(type) : DataValueBase::Create(type, {arrayLength});
  return tag.release();
}

void OPCUA_ClientDeviceDriver::OnStart() {
  for (const auto& entry : _tags) {
    const _tag& tag = *entry.second;
    if (tag.parameter && tag.parameter->isReference) continue;
    auto node = std::make_unique<_nodeData>();
    node->nodeId = MakeNodeId(tag);
    node->value = tag.value;  // a read updates the tag in place
    _readNodes.push_back(node.release());
  }
}

void OPCUA_ClientDeviceDriver::FreeReadNodes() {
  for (_nodeData* node : _readNodes) {
    FreeNodeId(node->nodeId);
    delete node;
  }
  _readNodes.clear();
}

void OPCUA_ClientDeviceDriver::OnStop() { FreeReadNodes(); }

void OPCUA_ClientDeviceDriver::OnPerformUpdating(nlohmann::json& out) {
  nlohmann::json values;
  ReadParameter(values);
  out["parameters"] = std::move(values);
}

int OPCUA_ClientDeviceDriver::ReadParameter(nlohmann::json& values) {
  const bool wasRead = IsConnect();
  if (wasRead && !_readNodes.empty()) {
    // One call for the whole pass: the channel sends its batches together.
    _channel->ReadNodes(_readNodes, kReadBatchSize);
  }
  // Asked again: the connection may have dropped during the reads, and then
  // what they left in the tags is not reported.
  const bool connected = IsConnect();
  if (connected) {
    UpdateTagReference();
  } else {
    // A tag holds only what a connected pass gave it: a reference not cut
    // out afresh, or a node not read, would otherwise answer single reads
    // with a value from before the outage.
    if (!wasRead)
      for (const auto& entry : _tags) entry.second->value->SetNull();
    for (const auto& reference : _references) reference.first->value->SetNull();
  }
  if (values.is_null()) values = nlohmann::json::object();
  auto& members = values.get_ref<nlohmann::json::object_t&>();
  // _tags is in key order: into an empty object each member goes at the end,
  // with no comparison; members already there are replaced by key.
  const bool append = members.empty();
  for (const _tag* tag : _ordered) {
    nlohmann::json value = connected ? tag->value->ToJson() : nlohmann::json();
    if (append)
      members.emplace_hint(members.end(), tag->name, std::move(value));
    else
      members[tag->name] = std::move(value);
  }
  return 0;
}

void OPCUA_ClientDeviceDriver::UpdateTagReference() {
  // Each source is serialised at most once per pass, however many references
  // point into it.
  std::map<_tag*, std::vector<uint8_t>> images;
  for (const auto& [reference, source] : _references) {
    _tag& tag = *reference;
    if (source->value->IsNull()) {
      tag.value->SetNull();
      continue;
    }
    auto image = images.find(source);
    if (image == images.end()) {
      image = images.emplace(source, std::vector<uint8_t>()).first;
      source->value->SaveToMemory(&image->second, _endian);
    }
    int byteOffset = 0;
    int bitOffset = 0;
    if (!ReferenceOffsets(source->value->GetType(), tag.parameter->index, tag.parameter->bitOffset, byteOffset,
                          bitOffset)) {
      tag.value->SetNull();
      continue;
    }
    tag.value->LoadFromMemory(image->second, byteOffset, bitOffset, _endian);  // null when out of bounds
  }
}

nlohmann::json OPCUA_ClientDeviceDriver::ReadParameter(const std::string& id) {
  std::shared_ptr<Profile> profile = _device ? _device->GetProfile() : nullptr;
  if (!profile) return false;
  std::shared_ptr<ProfileParameter> parameter = profile->GetParameter(id);
  if (!parameter) return false;
  return ReadInternalMemory(parameter);
}

nlohmann::json OPCUA_ClientDeviceDriver::ReadInternalMemory(std::shared_ptr<ProfileParameter> parameter) {
  auto found = _tags.find(parameter->id);
  if (found == _tags.end()) return false;
  return found->second->value->ToJson();
}

int OPCUA_ClientDeviceDriver::WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value) {
  WriteParameter(id, std::move(value), std::vector<int>());
  return 0;
}

int OPCUA_ClientDeviceDriver::WriteParameter(const std::string& id, std::shared_ptr<DataValueBase> value,
                                             const std::vector<int>& indices) {
  std::shared_ptr<Profile> profile = _device ? _device->GetProfile() : nullptr;
  if (!profile) return 0;
  auto found = _tags.find(id);
  if (found == _tags.end()) return 0;
  const _tag& tag = *found->second;
  std::shared_ptr<ProfileParameter> parameter = profile->GetParameter(id);
  if (!parameter) return 0;
  // Nothing to write: refused rather than written as 0 / false / "".
  if (!value || value->IsNull()) {
    LOG(ERROR) << "Device '" << DeviceName() << "' write of '" << id << "' refused : no value";
    return 0;
  }
  if (parameter->writeMode == 0) return WriteInternalMemory(parameter, value, indices);

  std::shared_ptr<_writeRequest> request(new _writeRequest{}, [](_writeRequest* r) {
    FreeNodeId(r->nodeId);
    delete r;
  });
  request->nodeId = MakeNodeId(tag);
  try {
    request->value = value->IsArray() ? DataValueBase::Create(parameter->type, {value->GetArraySize()})
                                      : DataValueBase::Create(parameter->type);
  } catch (const std::exception& e) {  // an empty array has no value to create
    LOG(ERROR) << "Device '" << DeviceName() << "' write of '" << id << "' refused : " << e.what();
    return 0;
  }
  const Family family = FamilyOfType(request->value->GetType());
  if (family == Family::None) return 0;
  if (!CopyValue(family, *request->value, *value, {})) return 0;
  // Element indices must name an element of the parameter's value; otherwise
  // the host would hear 1 for a write the device can never take.
  if (!value->IsArray() && !indices.empty()) {
    std::shared_ptr<DataValueBase> probe = NewValueFor(*tag.parameter);  // built once already: cannot throw
    if (!CopyValue(family, *probe, *value, indices)) {
      LOG(ERROR) << "Device '" << DeviceName() << "' write of '" << id
                 << "' refused : the indices name no element of the value";
      return 0;
    }
  }
  request->indices = indices;
  AddWriteRequest(request);
  return 1;
}

int OPCUA_ClientDeviceDriver::WriteInternalMemory(std::shared_ptr<ProfileParameter> parameter,
                                                  std::shared_ptr<DataValueBase> value,
                                                  const std::vector<int>& indices) {
  auto found = _tags.find(parameter->id);
  if (found == _tags.end() || !value) return 0;
  const Family family = FamilyOfType(parameter->type);
  if (family == Family::None) return 0;  // nothing was stored
  // An array replaces the whole tag value (indices unused); a scalar goes to
  // the element the indices name (none: a scalar tag). Tried on a fresh
  // value of the tag's shape here, stored into the tag by the next
  // OnPerformRequest: the tag belongs to the update, which may be running.
  MemoryWrite write{found->second, value, value->IsArray() ? std::vector<int>() : indices};
  if (!CopyValue(family, *NewValueFor(*found->second->parameter), *value, write.indices)) {
    LOG(ERROR) << "Device '" << DeviceName() << "' write of '" << parameter->id
               << "' refused : the indices name no element of the value";
    return 0;
  }
  std::lock_guard<std::mutex> lock(_writeMutex);
  _memoryWrites.push_back(std::move(write));
  return 1;
}

void OPCUA_ClientDeviceDriver::AddWriteRequest(std::shared_ptr<_writeRequest> request) {
  std::lock_guard<std::mutex> lock(_writeMutex);
  _writeRequests.push_back(std::move(request));
}

void OPCUA_ClientDeviceDriver::OnPerformRequest() {
  // Held for the whole drain, WriteNodes calls included (see the header).
  std::lock_guard<std::mutex> lock(_writeMutex);
  for (const MemoryWrite& write : _memoryWrites)
    CopyValue(FamilyOfType(write.tag->parameter->type), *write.tag->value, *write.value, write.indices);
  _memoryWrites.clear();
  if (!_channel) {
    if (!_writeRequests.empty())
      LOG(ERROR) << "Device '" << DeviceName() << "' has no channel driver, " << _writeRequests.size()
                 << " writes discarded";
    _writeRequests.clear();
    return;
  }
  if (_channel->IsChannelConnected() || _channel->CheckConnection()) {
    while (!_writeRequests.empty()) {
      std::shared_ptr<_writeRequest> request = std::move(_writeRequests.front());
      _writeRequests.pop_front();
      // The node borrows the request's identifier; the request frees it.
      _nodeData node{};
      node.nodeId = request->nodeId;
      node.indices = request->indices;
      node.value = request->value;
      _channel->WriteNodes(std::vector<_nodeData*>{&node});
    }
  } else if (!_writeRequests.empty()) {
    LOG(ERROR) << "Device '" << DeviceName() << "' channel is down, " << _writeRequests.size() << " writes discarded";
    _writeRequests.clear();
  }
}

}  // namespace VESK::DAQ

std::shared_ptr<VESK::DAQ::IDeviceDriver> CreateDeviceDriver() {
  return std::shared_ptr<VESK::DAQ::IDeviceDriver>(new VESK::DAQ::OPCUA_ClientDeviceDriver(),
                                                   [](VESK::DAQ::IDeviceDriver* driver) { delete driver; });
}

void NodeStringParse(const std::string& text, int& namespaceIndex, std::string& identifier) {
  namespaceIndex = std::stoi(text);
  size_t colon = text.find(':');
  if (colon != std::string::npos) identifier = text.substr(colon + 1);
}
