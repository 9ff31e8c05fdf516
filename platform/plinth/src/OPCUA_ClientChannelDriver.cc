#include "plinth/OPCUA_ClientChannelDriver.h"

#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "ConfigReader.h"
#include "plinth/SimulatedServer.h"
#include "plinth/UaTcpSession.h"

namespace VESK::DAQ {

OpcUaSession::~OpcUaSession() = default;

OPCUA_ClientChannelDriver::OPCUA_ClientChannelDriver(std::shared_ptr<OpcUaSession> session)
    : _session(std::move(session)) {}

OPCUA_ClientChannelDriver::~OPCUA_ClientChannelDriver() = default;

std::shared_ptr<OPCUA_ClientChannelDriver> OPCUA_ClientChannelDriver::Create(const nlohmann::json& settings,
                                                                             const std::string& baseDir) {
  if (settings.is_object() && settings.contains("endpoint") && !settings.contains("simulated_server")) {
    UaTcpSession::Settings client;
    if (!UaTcpSession::Settings::FromJson(settings, client, baseDir)) return nullptr;  // the reader logged why
    // Not connected yet: the first CheckConnection connects, so a server that
    // is down at start-up does not hold up the host.
    return std::make_shared<OPCUA_ClientChannelDriver>(std::make_shared<UaTcpSession>(client));
  }
  if (!settings.is_object() || !settings.contains("simulated_server")) {
    LOG(ERROR) << "OPC UA channel rejected : settings need \"endpoint\" (a real server) or \"simulated_server\"";
    return nullptr;
  }
  const nlohmann::json& server = settings["simulated_server"];
  std::shared_ptr<SimulatedServer> session;
  if (server.is_string()) {
    std::string path = server.get<std::string>();
    if (!path.empty() && path[0] != '/' && !baseDir.empty()) path = baseDir + "/" + path;
    session = SimulatedServer::LoadFromFile(path);
  } else if (server.is_object()) {
    session = SimulatedServer::LoadFromJSON(server);
  } else {
    LOG(ERROR) << "OPC UA channel rejected : \"simulated_server\" must be a path or an object";
    return nullptr;
  }
  if (!session) return nullptr;  // the loader logged why
  return std::make_shared<OPCUA_ClientChannelDriver>(session);
}

std::shared_ptr<OPCUA_ClientChannelDriver> OPCUA_ClientChannelDriver::CreateFromFile(const std::string& settingsPath) {
  VESK::frame::ConfigReader reader(settingsPath);
  if (!reader.Parsed()) return nullptr;  // the reader logged why
  const nlohmann::json& settings = reader.Document();
  size_t slash = settingsPath.rfind('/');
  return Create(settings, slash == std::string::npos ? std::string(".") : settingsPath.substr(0, slash));
}

int OPCUA_ClientChannelDriver::ReadNodes(const std::vector<_nodeData*>& nodes, size_t batch) {
  std::unique_lock<std::mutex> lock(_sessionMutex, std::defer_lock);
  if (!_closed) lock.lock();
  if (!_session || _closed) {
    for (_nodeData* n : nodes)
      if (n && n->value) n->value->SetNull();
    return 0;
  }
  return _session->Read(nodes, batch);
}

int OPCUA_ClientChannelDriver::WriteNodes(const std::vector<_nodeData*>& nodes) {
  if (_closed) return 0;
  std::lock_guard<std::mutex> lock(_sessionMutex);
  return _session && !_closed ? _session->Write(nodes) : 0;
}

// Without the session lock: a read in progress must not hold up the query
// (sessions answer IsConnected from any thread).
bool OPCUA_ClientChannelDriver::IsChannelConnected() { return _session && !_closed && _session->IsConnected(); }

bool OPCUA_ClientChannelDriver::CheckConnection() {
  if (_closed) return false;
  std::lock_guard<std::mutex> lock(_sessionMutex);
  return _session && !_closed && _session->Reconnect();
}

std::shared_ptr<SimulatedServer> OPCUA_ClientChannelDriver::GetSimulatedServer() const {
  return std::dynamic_pointer_cast<SimulatedServer>(_session);
}

}  // namespace VESK::DAQ
