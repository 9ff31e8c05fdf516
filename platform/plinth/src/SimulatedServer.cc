#include "plinth/SimulatedServer.h"

#include <easylogging++.h>

#include <cmath>
#include <optional>
#include <stdexcept>

#include "ConfigReader.h"

namespace VESK::DAQ {

namespace {

// A value computed from the time since the server's epoch.
struct Generator {
  enum Kind { Counter, Ramp, Sine, Bits } kind = Counter;
  double periodMs = 1000;
  double start = 0, step = 1, max = 0;  // counter: max used when hasMax
  bool hasMax = false;
  double low = 0, high = 100;        // ramp
  double amplitude = 1, offset = 0;  // sine
  std::vector<int64_t> patterns;     // bits; empty: a walking bit over width bits
  int width = 16;

  bool Integral() const { return kind == Counter || kind == Bits; }

  double At(double ms) const {
    double n = std::floor(ms / periodMs);
    switch (kind) {
      case Counter:
        if (hasMax) {
          double values = std::floor((max - start) / step) + 1;
          return start + step * std::fmod(n, values);
        }
        return start + step * n;
      case Ramp:
        return low + (high - low) * (std::fmod(ms, periodMs) / periodMs);
      case Sine:
        return offset + amplitude * std::sin(2 * M_PI * ms / periodMs);
      case Bits:
        if (!patterns.empty()) return double(patterns[size_t(std::fmod(n, double(patterns.size())))]);
        return double(int64_t(1) << int64_t(std::fmod(n, width)));
    }
    return 0;
  }
};

// Throws std::invalid_argument (or a JSON type error) on an unusable description.
Generator ParseGenerator(const nlohmann::json& j, DataType type) {
  if (!j.is_object()) throw std::invalid_argument("\"generator\" is not an object");
  if (FamilyOf(type) == ValueFamily::String || FamilyOf(type) == ValueFamily::None)
    throw std::invalid_argument(std::string("no generator for type ") + DataTypeName(type));
  Generator g;
  std::string kind = j.at("kind").get<std::string>();
  g.periodMs = j.value("period_ms", 1000.0);
  if (!(g.periodMs > 0)) throw std::invalid_argument("\"period_ms\" must be above 0");
  if (kind == "counter") {
    g.kind = Generator::Counter;
    g.start = j.value("start", 0.0);
    g.step = j.value("step", 1.0);
    if (j.contains("max")) {
      g.hasMax = true;
      g.max = j.at("max").get<double>();
      if (!(g.step > 0) || g.max < g.start)
        throw std::invalid_argument("a counter with \"max\" needs step > 0 and max >= start");
    }
  } else if (kind == "ramp") {
    g.kind = Generator::Ramp;
    g.low = j.value("min", 0.0);
    g.high = j.value("max", 100.0);
  } else if (kind == "sine") {
    g.kind = Generator::Sine;
    g.amplitude = j.value("amplitude", 1.0);
    g.offset = j.value("offset", 0.0);
  } else if (kind == "bits") {
    g.kind = Generator::Bits;
    g.patterns = j.value("patterns", std::vector<int64_t>());
    g.width = j.value("width", 16);
    if (g.width < 1 || g.width > 63) throw std::invalid_argument("\"width\" outside 1..63");
  } else {
    throw std::invalid_argument("unknown generator kind '" + kind + "'");
  }
  return g;
}

}  // namespace

struct SimulatedServer::Node {
  std::shared_ptr<DataValueBase> value;  // type and shape; the data unless generated
  std::optional<Generator> generator;
};

SimulatedServer::SimulatedServer() : _epochSet(true), _epoch(Clock::now()) {}
SimulatedServer::~SimulatedServer() = default;

std::string SimulatedServer::NodeKey(int namespaceIndex, const std::string& identifier) {
  return std::to_string(namespaceIndex) + ":" + identifier;
}

std::shared_ptr<SimulatedServer> SimulatedServer::LoadFromJSON(const nlohmann::json& document) {
  if (!document.is_object() || !document.contains("nodes") || !document["nodes"].is_array()) {
    LOG(ERROR) << "Simulated server rejected : not an object with a \"nodes\" array";
    return nullptr;
  }
  auto server = std::make_shared<SimulatedServer>();
  const auto& nodes = document["nodes"];
  for (size_t i = 0; i < nodes.size(); ++i) {
    try {
      const auto& n = nodes[i];
      int ns = n.value("namespace", 0);
      if (ns < 0 || ns > 0xFFFF) throw std::invalid_argument("\"namespace\" outside 0..65535");
      std::string id = n.at("id").get<std::string>();
      nlohmann::json initial = n.value("value", nlohmann::json());
      DataType type = DT_UNKNOWN;
      if (n.contains("type")) {
        const auto& t = n["type"];
        type = t.is_string() ? DataTypeFromName(t.get<std::string>()) : DataType(t.get<int>());
      } else if (auto guess = DataValueBase::FromJson(initial)) {
        type = guess->GetType();
      }
      if (!IsKnownDataType(type)) throw std::invalid_argument("no usable \"type\"");
      std::vector<int> dims = n.value("dimensions", std::vector<int>());
      if (!n.contains("dimensions") && initial.is_array()) {
        if (auto guess = DataValueBase::FromJson(initial)) dims = guess->GetDimensions();
      }
      if (n.contains("generator")) {
        if (!server->AddGeneratedNode(ns, id, type, dims, n["generator"]))
          throw std::invalid_argument("unusable \"generator\"");
      } else {
        auto value = DataValueBase::Create(type, dims);
        if (!initial.is_null() && !value->SetJson(initial))
          throw std::invalid_argument("\"value\" does not fit type " + std::string(DataTypeName(type)));
        server->AddNode(ns, id, value);
      }
    } catch (const std::exception& e) {
      LOG(ERROR) << "Simulated server rejected : node " << i << " : " << e.what();
      return nullptr;
    }
  }
  server->_connected = document.value("connected", true);
  server->_reachable = document.value("reachable", true);
  return server;
}

std::shared_ptr<SimulatedServer> SimulatedServer::LoadFromFile(const std::string& path) {
  VESK::frame::ConfigReader reader(path);
  if (!reader.Parsed()) return nullptr;  // the reader logged why
  const nlohmann::json& document = reader.Document();
  return LoadFromJSON(document);
}

bool SimulatedServer::AddNode(int namespaceIndex, const std::string& identifier, std::shared_ptr<DataValueBase> value) {
  if (!value || value->GetType() == DT_UNKNOWN) return false;
  auto node = std::make_shared<Node>();
  node->value = std::move(value);
  std::lock_guard<std::mutex> lock(_mutex);
  _nodes[NodeKey(namespaceIndex, identifier)] = std::move(node);
  return true;
}

bool SimulatedServer::AddGeneratedNode(int namespaceIndex, const std::string& identifier, DataType type,
                                       const std::vector<int>& dimensions, const nlohmann::json& generator) {
  auto node = std::make_shared<Node>();
  try {
    node->generator = ParseGenerator(generator, type);
    node->value = DataValueBase::Create(type, dimensions);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Simulated node '" << NodeKey(namespaceIndex, identifier) << "' generator rejected : " << e.what();
    return false;
  }
  std::lock_guard<std::mutex> lock(_mutex);
  _nodes[NodeKey(namespaceIndex, identifier)] = std::move(node);
  return true;
}

bool SimulatedServer::HasNode(int namespaceIndex, const std::string& identifier) const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _nodes.count(NodeKey(namespaceIndex, identifier)) > 0;
}

std::shared_ptr<DataValueBase> SimulatedServer::CurrentValue(const Node& node) const {
  auto value = node.value->Clone();
  if (!node.generator) return value;
  Clock::time_point now = _clock ? _clock() : Clock::now();
  if (!_epochSet) {
    _epoch = now;
    _epochSet = true;
  }
  double ms = std::chrono::duration<double, std::milli>(now - _epoch).count();
  double v = node.generator->At(ms);
  size_t count = size_t(value->GetArraySize());
  if (node.generator->Integral()) {
    int64_t i = int64_t(v);
    if (value->IsArray())
      value->SetInt64Array(std::vector<int64_t>(count, i));
    else
      value->SetInt64(i);
  } else {
    if (value->IsArray())
      value->SetDoubleArray(std::vector<double>(count, v));
    else
      value->SetDouble(v);
  }
  return value;
}

bool SimulatedServer::SetValue(int namespaceIndex, const std::string& identifier, const DataValueBase& value) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _nodes.find(NodeKey(namespaceIndex, identifier));
  if (it == _nodes.end()) return false;
  Node& node = *it->second;
  auto stored = node.value->Clone();
  if (!stored->CopyFrom(value)) return false;
  node.value = stored;
  node.generator.reset();
  return true;
}

bool SimulatedServer::SetValue(int namespaceIndex, const std::string& identifier, const nlohmann::json& value) {
  if (value.is_null()) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _nodes.find(NodeKey(namespaceIndex, identifier));
    if (it == _nodes.end()) return false;
    it->second->value->SetNull();
    it->second->generator.reset();
    return true;
  }
  auto converted = DataValueBase::FromJson(value);
  return converted && SetValue(namespaceIndex, identifier, *converted);
}

std::shared_ptr<DataValueBase> SimulatedServer::GetValue(int namespaceIndex, const std::string& identifier) const {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _nodes.find(NodeKey(namespaceIndex, identifier));
  return it == _nodes.end() ? nullptr : CurrentValue(*it->second);
}

nlohmann::json SimulatedServer::GetJson(int namespaceIndex, const std::string& identifier) const {
  auto value = GetValue(namespaceIndex, identifier);
  return value ? value->ToJson() : nlohmann::json();
}

void SimulatedServer::SetConnected(bool connected) {
  std::lock_guard<std::mutex> lock(_mutex);
  _connected = connected;
}

void SimulatedServer::SetReachable(bool reachable) {
  std::lock_guard<std::mutex> lock(_mutex);
  _reachable = reachable;
}

void SimulatedServer::QueueConnectionAnswers(const std::vector<bool>& answers) {
  std::lock_guard<std::mutex> lock(_mutex);
  _connectionAnswers.insert(_connectionAnswers.end(), answers.begin(), answers.end());
}

void SimulatedServer::ThrowOnWriteCall(int nth) {
  std::lock_guard<std::mutex> lock(_mutex);
  _throwOnWrite = nth;
}

void SimulatedServer::SetWriteHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(_mutex);
  _writeHook = std::move(hook);
}

std::vector<SimulatedServer::Call> SimulatedServer::Calls() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return std::vector<Call>(_calls.begin(), _calls.end());
}

void SimulatedServer::SetCallLogLimit(size_t calls) {
  std::lock_guard<std::mutex> lock(_mutex);
  _callLogLimit = calls;
  while (_calls.size() > _callLogLimit) _calls.pop_front();
}

void SimulatedServer::ClearCalls() {
  std::lock_guard<std::mutex> lock(_mutex);
  _calls.clear();
}

void SimulatedServer::SetClock(std::function<Clock::time_point()> clock) {
  std::lock_guard<std::mutex> lock(_mutex);
  _clock = std::move(clock);
  _epochSet = false;
}

bool SimulatedServer::IsConnected() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (!_connectionAnswers.empty()) {
    bool answer = _connectionAnswers.front();
    _connectionAnswers.pop_front();
    return answer;
  }
  return _connected;
}

bool SimulatedServer::Reconnect() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (!_connected && _reachable) _connected = true;
  return _connected;
}

void SimulatedServer::Record(Call call) {
  if (_callLogLimit == 0) return;
  _calls.push_back(std::move(call));
  while (_calls.size() > _callLogLimit) _calls.pop_front();
}

namespace {
// The key of a node given by a driver; empty for identifiers the simulated
// address space cannot hold (only string identifiers are simulated).
std::string KeyOf(const _nodeData& node) {
  if (node.nodeId.identifierType != UA_NODEIDTYPE_STRING) return std::string();
  const UA_String& s = node.nodeId.identifier.string;
  std::string identifier = s.length ? std::string(reinterpret_cast<const char*>(s.data), s.length) : std::string();
  return SimulatedServer::NodeKey(node.nodeId.namespaceIndex, identifier);
}

SimulatedServer::Call Describe(SimulatedServer::Call::Kind kind, const std::vector<_nodeData*>& nodes, bool connected) {
  SimulatedServer::Call call{kind, {}, {}, connected};
  call.nodes.reserve(nodes.size());
  for (const _nodeData* n : nodes) {
    call.nodes.push_back(n ? KeyOf(*n) : std::string());
    call.indices.push_back(n ? n->indices : std::vector<int>());
  }
  return call;
}
}  // namespace

int SimulatedServer::Read(const std::vector<_nodeData*>& nodes, size_t batch) {
  std::lock_guard<std::mutex> lock(_mutex);
  // One call recorded per request a real server would get.
  if (batch == 0 || nodes.size() <= batch) Record(Describe(Call::Read, nodes, _connected));
  for (size_t i = 0; batch > 0 && nodes.size() > batch && i < nodes.size(); i += batch)
    Record(Describe(Call::Read, {nodes.begin() + long(i), nodes.begin() + long(std::min(i + batch, nodes.size()))},
                    _connected));
  int read = 0;
  for (_nodeData* n : nodes) {
    if (!n || !n->value) continue;
    auto it = _connected ? _nodes.find(KeyOf(*n)) : _nodes.end();
    if (it != _nodes.end() && n->value->CopyFrom(*CurrentValue(*it->second))) {
      ++read;
    } else {
      n->value->SetNull();
    }
  }
  return read;
}

int SimulatedServer::Write(const std::vector<_nodeData*>& nodes) {
  std::function<void()> hook;
  int written = 0;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    Record(Describe(Call::Write, nodes, _connected));
    if (_throwOnWrite > 0 && --_throwOnWrite == 0) throw std::runtime_error("simulated write failure");
    if (_connected) {
      for (const _nodeData* n : nodes) {
        if (!n || !n->value) continue;
        auto it = _nodes.find(KeyOf(*n));
        if (it == _nodes.end()) continue;
        Node& node = *it->second;
        // A write lands on what the node shows now; a generated node then
        // keeps the written data.
        auto stored = CurrentValue(node);
        if (!stored->CopyFrom(*n->value, n->indices)) continue;
        node.value = stored;
        node.generator.reset();
        ++written;
      }
    }
    hook = _writeHook;
  }
  if (hook) hook();
  return written;
}

}  // namespace VESK::DAQ
