#include "DaemonService.h"

#include <easylogging++.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "AppConfig.h"
#include "ConfigReader.h"
#include "JsonRpcClient.h"
#include "MqttConnector.h"
#include "ServiceFrame.h"
#include "Shell.h"

namespace VESK {

struct CommandRequest {
  nlohmann::json _payload;
};

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Fixed working files of the management commands. Only the daemon writes
// them; a remote "upload_file" puts the archives there first.
const std::string kUploadDir = "/tmp/";
const std::string kProjectUnpackDir = "/tmp/Project";
const std::string kRuntimeUnpackDir = "/tmp/Pemrix";

const char* const kCannotDecompress = "Data file cannot be decompressed!";
const char* const kCannotInstall = "Data file cannot be installed!";

// After this long without an executed request the loop starts pausing.
constexpr auto kBusyPeriod = 1s;
constexpr auto kIdlePause = 100ms;
// Poll steps after "offline" so the status can leave before disconnecting.
constexpr int kFlushSteps = 10;
// Longest wait for the reply to "restart" to complete its QoS 2 handshake.
constexpr std::chrono::seconds kReplyFlushTimeout{2};

// Runs a shell command; true only when the shell ran it and it exited 0.
bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// The install steps of the updates are logged with their exact text, so a
// box that was left half-updated shows in its log what was done.
bool ShellLogged(const std::string& command) {
  LOG(INFO) << command;
  return Shell(command);
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A real directory, not a symbolic link to one: an archive must not be able
// to install a link to somewhere else as the project or runtime.
bool IsRealDirectory(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Upload names come from the network and are joined to "/tmp/": only a
// plain name may pass, never a path or a directory reference.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// A JSON number as a 32-bit signed integer. Floating-point values outside the
// range are clamped (a plain cast would be undefined behaviour); integers
// convert as the JSON library converts them. Other types throw.
int ToInt32(const json& value) {
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (d >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (d <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(d);
  }
  return value.get<int>();
}

// The standard reply: the request's command and id, and the result code.
json Reply(const json& request, int result) {
  json reply = json::object();
  reply["command"] = request.at("command");
  auto id = request.find("id");
  reply["id"] = id != request.end() ? *id : json(nullptr);
  reply["result"] = result;
  return reply;
}

// The device id from the gateway file, or empty. A missing file is normal
// on a box that was never provisioned and is not logged; a file that is
// there but unusable is reported.
std::string ReadDeviceId(const std::string& path) {
  frame::ConfigReader reader(path, false);
  frame::ConfigNode root = reader.Root();
  std::string id;
  root.Read("id", id, frame::Need::Required);
  root.Done();
  return id;
}

}  // namespace

DaemonService::DaemonService(std::string gatewayFile, std::string mqttFile)
    : _gatewayFile(std::move(gatewayFile)), _mqttFile(std::move(mqttFile)) {}

DaemonService::~DaemonService() = default;

bool DaemonService::Initial() {
  frame::ConfigReader settings(_mqttFile);
  frame::ConfigNode root = settings.Root();

  std::string id = ReadDeviceId(_gatewayFile);
  if (!id.empty()) _deviceId = id;
  LOG(INFO) << "Device ID:" << _deviceId;

  _hostClient = std::make_unique<JsonRpcClient>(AppConfig::Instance._hostApi);

  // Without usable connection settings there is nothing to connect to; the
  // caller exits with a failure status instead of idling forever. The topic
  // root is read first so that one run reports every problem; without it
  // the default root stays.
  auto connector = std::make_shared<MqttConnector>();
  const bool usable = connector->Load(root.Object("mqtt_client", frame::Need::Required));
  root.Read("mqtt_topic_root", _topicRoot, frame::Need::Required);
  root.Done();
  if (!usable) return false;
  _connector = connector;

  if (!_topicRoot.empty() && _topicRoot.back() != '/') _topicRoot += '/';

  const std::string base = _topicRoot + _deviceId;
  _requestTopic = base + "/request";
  _responseTopic = base + "/response";
  _receiveTopic = base + "/receive";
  _sendTopic = base + "/send";
  _statusTopic = base + "/status";
  LOG(INFO) << "Request Topic  : " << _requestTopic;
  LOG(INFO) << "Response Topic : " << _responseTopic;
  LOG(INFO) << "Receive Topic  : " << _receiveTopic;
  LOG(INFO) << "Send Topic     : " << _sendTopic;
  LOG(INFO) << "Status Topic   : " << _statusTopic;

  // Recorded now; the client subscribes on every accepted connection.
  _connector->Subscribe({_requestTopic, _receiveTopic}, 2);
  WillMessageSetting will{true, _statusTopic, "offline", 2, true};
  _connector->SetWillMessage(will);
  _connector->_connectedHandler = [this] { OnConnected(); };
  _connector->_disconnectedHandler = [this] { OnRefused(); };
  _connector->_messageHandler = [this](const mosquitto_message* message) { OnMessage(message); };
  return true;
}

void DaemonService::Run() {
  if (!_connector) return;
  auto busySince = std::chrono::steady_clock::now();
  _idle = false;
  while (!_stop) {
    _connector->RunOnce();
    if (!_requests.empty()) {
      busySince = std::chrono::steady_clock::now();
      _idle = false;
      std::shared_ptr<CommandRequest> request = _requests.front();
      _requests.pop_front();
      LOG(INFO) << request->_payload.dump();
      try {
        DispatchRequest(request);
      } catch (const std::exception& e) {
        // A malformed request must not end the service. Standard error for
        // an attended console, the log for a headless box.
        std::cerr << e.what() << '\n';
        LOG(ERROR) << "Request failed! " << e.what();
      }
      continue;  // at most one request per turn, no pause after one
    }
    if (!_idle && std::chrono::steady_clock::now() - busySince >= kBusyPeriod) _idle = true;
    if (_idle) std::this_thread::sleep_for(kIdlePause);
  }
  frame::LogPendingSignal();
  // Refused with an ERROR line by the client while the link is down; the
  // broker then keeps the will it published when the link broke.
  PublishStatus("offline");
  for (int i = 0; i < kFlushSteps; ++i) _connector->RunOnce();
}

void DaemonService::Destory() {
  if (_uploadFile.is_open()) _uploadFile.close();
  _uploading = false;
  if (_connector) {
    _connector->Disconnect();
    _connector.reset();
  }
  if (_hostClient) {
    if (_hostClient->IsOpen()) _hostClient->Close();
    _hostClient.reset();
  }
}

void DaemonService::SendSystemRestart() {
  if (!_hostClient) return;
  json result;
  // The client logs a failure or time-out itself; the daemon carries on
  // either way, and a restarting host ends it soon enough.
  _hostClient->Invoke("Restart", nullptr, result);
}

void DaemonService::PublishStatus(const std::string& status) {
  if (_connector) _connector->Publish(_statusTopic, 2, true, status);
}

void DaemonService::PublishResponse(const std::string& text) {
  if (_connector) _connector->Publish(_responseTopic, 2, false, text);
}

void DaemonService::OnConnected() {
  LOG(INFO) << "Broker Connected! " << _connector->_host;
  PublishStatus("online");
  LOG(INFO) << _statusTopic << " = online";
}

void DaemonService::OnRefused() { LOG(INFO) << "Broker Disconnect! " << _connector->_host; }

void DaemonService::OnMessage(const mosquitto_message* message) {
  if (message == nullptr || message->topic == nullptr || message->payloadlen <= 0) return;
  if (_requestTopic == message->topic) {
    const char* bytes = static_cast<const char*>(message->payload);
    json value;
    try {
      value = json::parse(bytes, bytes + message->payloadlen);
    } catch (const json::exception& e) {
      LOG(ERROR) << e.what();
      return;
    }
    // Executed later by Run, never inside the network poll.
    _requests.push_back(std::make_shared<CommandRequest>(CommandRequest{std::move(value)}));
  } else if (_receiveTopic == message->topic) {
    OnUploadData(message->payload, message->payloadlen);
  }
}

void DaemonService::OnUploadData(const void* data, int length) {
  if (!_uploading || !_uploadFile.good()) return;
  _uploadFile.write(static_cast<const char*>(data), length);
  if (!_uploadFile) {
    LOG(ERROR) << "Upload cannot be written! " << kUploadDir << _uploadName;
    _uploadFile.close();
    _uploading = false;
    return;
  }
  // Saturating: more data than announced must not overflow the counter.
  long long received = static_cast<long long>(_uploadReceived) + length;
  _uploadReceived = received > INT_MAX ? INT_MAX : static_cast<int>(received);
  if (_uploadReceived < _uploadSize) return;
  _uploadFile.close();
  _uploading = false;
  _uploadReceived = 0;
  _uploadSize = 0;
  if (_uploadFile.fail()) {
    // The last buffered bytes did not reach the disk (disk full).
    LOG(ERROR) << "Upload cannot be written! " << kUploadDir << _uploadName;
    return;
  }
  LOG(INFO) << "Save to " << kUploadDir << _uploadName;
}

void DaemonService::DispatchRequest(std::shared_ptr<CommandRequest> request) {
  const json& payload = request->_payload;
  const std::string command = payload.at("command").get<std::string>();
  if (command == "test") {
    PublishResponse(payload.dump(0));
  } else if (command == "restart") {
    // The reply must be out before the host is asked: once it restarts, the
    // daemon gets no other chance. A QoS 2 message reaches subscribers only
    // after its release handshake, so the loop polls until the broker has
    // completed it (or a bounded wait has passed): a fixed number of steps is
    // not enough when other requests arrive at the same time. Handlers that
    // run meanwhile only queue requests or write upload data.
    PublishResponse(Reply(payload, 0).dump(0));
    const auto deadline = std::chrono::steady_clock::now() + kReplyFlushTimeout;
    while (_connector->HasPendingPublishes() && std::chrono::steady_clock::now() < deadline) _connector->RunOnce();
    SendSystemRestart();
  } else if (command == "upload_file") {
    UploadFile(request);
  } else if (command == "download_project") {
    DownloadProject(request);
  } else if (command == "update_project") {
    UpdateProject(request);
  } else if (command == "update_runtime") {
    UpdateRuntime(request);
  }
}

void DaemonService::UploadFile(const std::shared_ptr<CommandRequest>& request) {
  const json& payload = request->_payload;
  LOG(INFO) << "Upload File";
  _uploadName = payload.at("filename").get<std::string>();
  const int size = ToInt32(payload.at("size"));
  _uploadReceived = 0;
  _uploading = false;
  _uploadSize = size;
  // A new announcement abandons an upload in progress; its partial file stays.
  if (_uploadFile.is_open()) _uploadFile.close();
  _uploadFile.clear();

  if (!IsPlainFileName(_uploadName)) {
    LOG(ERROR) << "Invalid file name! " << json(_uploadName).dump();
    json reply = Reply(payload, 1);
    reply["message"] = "Invalid file name!";
    PublishResponse(reply.dump(0));
    return;
  }
  if (size <= 0) {
    PublishResponse(Reply(payload, 0).dump(0));
    return;
  }
  LOG(INFO) << "\tfilename = " << _uploadName;
  LOG(INFO) << "\tsize = " << size;
  // Opened before replying, so the reply tells the truth about the target.
  _uploadFile.open(kUploadDir + _uploadName, std::ios::binary | std::ios::trunc);
  _uploading = _uploadFile.good();
  if (!_uploading) {
    LOG(ERROR) << "File cannot be created! " << kUploadDir << _uploadName;
    json reply = Reply(payload, 1);
    reply["message"] = "File cannot be created!";
    PublishResponse(reply.dump(0));
    return;
  }
  PublishResponse(Reply(payload, 0).dump(0));
  LOG(INFO) << "Receive...";
}

void DaemonService::DownloadProject(const std::shared_ptr<CommandRequest>& request) {
  const AppConfig& config = AppConfig::Instance;
  Shell("rm -f " + kUploadDir + "Project.tar.gz");
  bool packed = Shell("cd /tmp && tar zcvf Project.tar.gz -C " + frame::ShellQuote(config._projectPath + "/..") + " " +
                      frame::ShellQuote(config._projectName));
  json reply = Reply(request->_payload, packed ? 0 : 1);
  if (!packed) reply["message"] = "Project cannot be compressed!";
  PublishResponse(reply.dump(0));
}

void DaemonService::UpdateProject(const std::shared_ptr<CommandRequest>& request) {
  Shell("rm -rf " + kProjectUnpackDir);
  Shell("mkdir " + kProjectUnpackDir);
  // "&&": if the directory could not be made, nothing is unpacked elsewhere.
  UpdateDirectory(request, "cd " + kProjectUnpackDir + " && tar zxvf ../Project.tar.gz", kProjectUnpackDir,
                  AppConfig::Instance._projectPath);
}

void DaemonService::UpdateRuntime(const std::shared_ptr<CommandRequest>& request) {
  Shell("rm -rf " + kRuntimeUnpackDir);
  UpdateDirectory(request, "cd /tmp && tar zxvf Pemrix.tar.gz", kRuntimeUnpackDir, AppConfig::Instance._runtimePath);
}

void DaemonService::UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& unpack,
                                    const std::string& unpacked, const std::string& installed) {
  const char* error = !Shell(unpack)                           ? kCannotDecompress
                      : !InstallDirectory(unpacked, installed) ? kCannotInstall
                                                               : nullptr;
  json reply = Reply(request->_payload, error ? 1 : 0);
  reply["error"] = error ? json(error) : json(nullptr);
  PublishResponse(reply.dump(0));
}

bool DaemonService::InstallDirectory(const std::string& unpacked, const std::string& installed) {
  if (installed.empty()) {
    LOG(ERROR) << "No installation directory configured for " << unpacked;
    return false;
  }
  if (!IsRealDirectory(unpacked)) {
    LOG(ERROR) << "Unpacked directory missing! " << unpacked;
    return false;
  }
  const std::string backup = installed + ".bak";
  const std::string quotedInstalled = frame::ShellQuote(installed);
  const std::string quotedBackup = frame::ShellQuote(backup);

  // The old backup must be gone: "mv dir existing-dir" would move into it.
  if (!ShellLogged("rm -rf " + quotedBackup) || PathExists(backup)) {
    LOG(ERROR) << "Backup cannot be removed! " << backup;
    return false;
  }
  // A first installation has nothing to move aside.
  bool hadInstalled = PathExists(installed);
  if (hadInstalled && !ShellLogged("mv " + quotedInstalled + " " + quotedBackup)) {
    LOG(ERROR) << "Installed directory cannot be moved aside! " << installed;
    if (!PathExists(installed) && PathExists(backup)) ShellLogged("mv " + quotedBackup + " " + quotedInstalled);
    return false;
  }
  if (ShellLogged("mv " + frame::ShellQuote(unpacked) + " " + quotedInstalled)) return true;

  // Whatever part of the new directory arrived is removed, then the old one
  // goes back in place.
  LOG(ERROR) << "New directory cannot be moved in! " << installed;
  ShellLogged("rm -rf " + quotedInstalled);
  if (hadInstalled) ShellLogged("mv " + quotedBackup + " " + quotedInstalled);
  return false;
}

}  // namespace VESK
