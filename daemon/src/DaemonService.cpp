#include "DaemonService.h"

#include <easylogging++.h>
#include <mosquitto.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "AppConfig.h"
#include "ArchiveUnpack.h"
#include "BoundedJson.h"
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

// Fixed names in the work folder: a remote "upload_file" puts the archives
// there, "download_project" leaves its archive there.
const char* const kProjectArchive = "Project.tar.gz";
const char* const kRuntimeArchive = "Pemrix.tar.gz";
// The folder a runtime archive must hold at its top level.
const char* const kRuntimeFolder = "Pemrix";

const char* const kCannotDecompress = "Data file cannot be decompressed!";
const char* const kCannotInstall = "Data file cannot be installed!";
const char* const kInvalidName = "Invalid file name!";
const char* const kCannotCreate = "File cannot be created!";

// After this long without an executed request or upload data the loop
// takes its long turns.
constexpr auto kBusyPeriod = 1s;
// Longest wait of one turn for broker traffic; traffic ends it at once. A
// quiet turn is as long as a turn that used to poll 100 ms and then sleep
// 100 ms, at half the wake-ups; a busy one as long as that poll alone.
constexpr int kBusyWaitMs = 100;
constexpr int kIdleWaitMs = 200;
// Poll steps after "offline" so the status can leave before disconnecting.
constexpr int kFlushSteps = 10;
// Longest wait for the reply to "restart" to complete its QoS 2 handshake.
constexpr std::chrono::seconds kReplyFlushTimeout{2};
// Log lines show at most this much of a request.
constexpr size_t kLoggedChars = 512;

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

// Upload names come from the network and are joined to the work folder:
// only a plain name may pass, never a path, a directory reference, or a
// control character (which would let the sender forge log lines).
bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// A peer's text, quoted and cut short for a log line.
std::string Shown(const std::string& text) { return frame::LogExcerpt(frame::SafeDump(json(text)), kLoggedChars); }

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
json Reply(const json& request, int result, const char* message = nullptr) {
  json reply = json::object();
  reply["command"] = request.at("command");
  auto id = request.find("id");
  reply["id"] = id != request.end() ? *id : json(nullptr);
  reply["result"] = result;
  if (message) reply["message"] = message;
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

// A fresh folder private to this process beside path (same file system, so
// installing it is a rename), or "" when none can be made.
std::string MakeStagingDir(const std::string& path) {
  std::string name = path + ".unpack-XXXXXX";
  return mkdtemp(&name[0]) ? name : "";
}

}  // namespace

DaemonService::DaemonService(std::string gatewayFile, std::string mqttFile, std::string workDir)
    : _gatewayFile(std::move(gatewayFile)), _mqttFile(std::move(mqttFile)), _workDir(std::move(workDir)) {}

DaemonService::~DaemonService() = default;

bool DaemonService::Initial() {
  std::string id = ReadDeviceId(_gatewayFile);
  if (!id.empty()) _deviceId = id;
  LOG(INFO) << "Device ID:" << _deviceId;

  _hostClient = std::make_unique<JsonRpcClient>(AppConfig::Instance._hostApi);

  // Without usable connection settings there is nothing to connect to; the
  // caller exits with a failure status instead of idling forever.
  auto connector = std::make_shared<MqttConnector>();
  if (!LoadMqttSettings(_mqttFile, *connector, _topicRoot) || !_guard.Load(_mqttFile, _deviceId)) return false;
  _connector = connector;

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
  _replyHandler = [this](const std::string& text) { _connector->Publish(_responseTopic, 2, false, text); };
  return true;
}

void DaemonService::Run() {
  if (!_connector) return;
  _lastActivity = std::chrono::steady_clock::now();
  _idle = false;
  while (!_stop) {
    // Each turn waits on the broker's socket, so traffic ends the wait at
    // once; the two speeds only bound how long a quiet turn lasts. Queued
    // requests do not wait at all.
    _connector->RunOnce(!_requests.empty() ? 0 : _idle ? kIdleWaitMs : kBusyWaitMs);
    const auto now = std::chrono::steady_clock::now();
    if (ExecuteNextRequest()) {
      _lastActivity = now;
      _idle = false;
      continue;  // at most one request per turn
    }
    _idle = now - _lastActivity >= kBusyPeriod;
  }
  frame::LogPendingSignal();
  // Refused with an ERROR line by the client while the link is down; the
  // broker then keeps the will it published when the link broke.
  PublishStatus("offline");
  for (int i = 0; i < kFlushSteps; ++i) _connector->RunOnce();
}

bool DaemonService::ExecuteNextRequest() {
  if (_requests.empty()) return false;
  std::shared_ptr<CommandRequest> request = _requests.front();
  _requests.pop_front();
  LOG(INFO) << frame::LogExcerpt(frame::SafeDump(request->_payload), kLoggedChars);
  try {
    DispatchRequest(request);
  } catch (const std::exception& e) {
    // A malformed request must not end the service. Standard error for an
    // attended console, the log for a headless box.
    std::cerr << e.what() << '\n';
    LOG(ERROR) << "Request failed! " << e.what();
  }
  return true;
}

void DaemonService::Destory() {
  _uploadFile.Close();
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
  // The client logs a failure or time-out itself (and drops the request with
  // its socket, so it never reaches a host service that starts later); the
  // daemon carries on either way, and a restarting host ends it soon enough.
  _hostClient->Invoke("Restart", nullptr, result);
}

void DaemonService::PublishStatus(const std::string& status) {
  if (_connector) _connector->Publish(_statusTopic, 2, true, status);
}

void DaemonService::PublishResponse(const std::string& text) {
  if (_replyHandler) _replyHandler(text);
}

void DaemonService::Respond(const nlohmann::json& reply) { PublishResponse(frame::SafeDump(reply, 0)); }

void DaemonService::OnConnected() {
  LOG(INFO) << "Broker Connected! " << _connector->_host;
  PublishStatus("online");
  LOG(INFO) << _statusTopic << " = online";
}

void DaemonService::OnRefused() { LOG(INFO) << "Broker Disconnect! " << _connector->_host; }

void DaemonService::OnMessage(const mosquitto_message* message) {
  if (message == nullptr || message->topic == nullptr || message->payloadlen <= 0) return;
  if (_requestTopic == message->topic) {
    QueueRequest(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  } else if (_receiveTopic == message->topic) {
    OnUploadData(message->payload, static_cast<size_t>(message->payloadlen));
  }
}

void DaemonService::QueueRequest(const char* data, size_t size) {
  if (size == 0) return;
  json value;
  std::string error;
  if (!frame::ParseBoundedJson(data, size, value, error, frame::JsonLimits{kMaxRequestBytes, kMaxRequestDepth})) {
    LOG(ERROR) << frame::LogExcerpt(error, kLoggedChars);
    return;
  }
  // Executed later by Run, never inside the network poll.
  _requests.push_back(std::make_shared<CommandRequest>(CommandRequest{std::move(value)}));
}

void DaemonService::OnUploadData(const void* data, size_t length) {
  _lastActivity = std::chrono::steady_clock::now();
  if (!_uploading) return;
  if (!_uploadFile.Append(data, length)) {
    // Logged and removed by the file; a sender waiting for a verdict gets one.
    _uploading = false;
    _uploadReceived = 0;
    if (!_uploadSha256.empty()) Respond(Reply(_uploadRequest->_payload, 1, "File cannot be written!"));
    return;
  }
  _uploadReceived = _uploadFile.Received();
  if (_uploadFile.Complete()) FinishUpload();
}

void DaemonService::FinishUpload() {
  const std::string path = _workDir + "/" + _uploadName;
  _uploading = false;
  const std::string digest = _uploadFile.HexDigest();
  _uploadFile.Close();
  if (_uploadSha256.empty()) {
    LOG(INFO) << "Save to " << path;
    return;
  }
  if (digest != _uploadSha256) {
    LOG(ERROR) << "Upload checksum mismatch! " << path << " sha256 " << digest;
    _uploadFile.Remove();
    _uploadReceived = 0;
    Respond(Reply(_uploadRequest->_payload, 1, "Checksum mismatch!"));
    return;
  }
  LOG(INFO) << "Save to " << path;
  _guard.UploadVerified(path, digest);
  Respond(Reply(_uploadRequest->_payload, 0));
}

void DaemonService::DispatchRequest(std::shared_ptr<CommandRequest> request) {
  if (const char* refusal = _guard.Admit(request->_payload)) {
    if (request->_payload.is_object() && request->_payload.value("command", json()).is_string())
      Respond(Reply(request->_payload, 1, refusal));
    return;
  }
  const json& payload = request->_payload;
  const std::string command = payload.at("command").get<std::string>();
  if (command == "test") {
    PublishResponse(frame::SafeDump(payload, 0));
  } else if (command == "restart") {
    // The reply must be out before the host is asked: once it restarts, the
    // daemon gets no other chance. A QoS 2 message reaches subscribers only
    // after its release handshake, so the loop polls until the broker has
    // completed it (or a bounded wait has passed): a fixed number of steps is
    // not enough when other requests arrive at the same time. Handlers that
    // run meanwhile only queue requests or write upload data.
    Respond(Reply(payload, 0));
    const auto deadline = std::chrono::steady_clock::now() + kReplyFlushTimeout;
    while (_connector && _connector->HasPendingPublishes() && std::chrono::steady_clock::now() < deadline)
      _connector->RunOnce();
    SendSystemRestart();
  } else if (command == "upload_file") {
    UploadFile(request);
  } else if (command == "upload_status") {
    UploadStatus(request);
  } else if (command == "download_project") {
    DownloadProject(request);
  } else if (command == "update_project") {
    UpdateDirectory(request, kProjectArchive, "", AppConfig::Instance._projectPath);
  } else if (command == "update_runtime") {
    UpdateDirectory(request, kRuntimeArchive, kRuntimeFolder, AppConfig::Instance._runtimePath);
  }
}

void DaemonService::UploadFile(const std::shared_ptr<CommandRequest>& request) {
  const json& payload = request->_payload;
  LOG(INFO) << "Upload File";
  // Everything is read and checked before the upload in progress is
  // touched: a refused announcement leaves it exactly as it was.
  const std::string name = payload.at("filename").get<std::string>();
  const int size = ToInt32(payload.at("size"));
  auto refuse = [&](const char* message) {
    LOG(ERROR) << message << " " << Shown(name);
    Respond(Reply(payload, 1, message));
  };
  if (!IsPlainFileName(name)) return refuse(kInvalidName);
  if (const char* refusal = _guard.CheckAnnouncement(payload)) return refuse(refusal);
  // Optional: the digest the finished file must have, and the byte at
  // which a resumed upload goes on.
  std::string sha256;
  int64_t offset = 0;
  if (auto it = payload.find("sha256"); it != payload.end()) {
    if (!it->is_string() || !IsSha256Hex(it->get<std::string>())) return refuse("Invalid sha256!");
    sha256 = it->get<std::string>();
    for (char& c : sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (auto it = payload.find("offset"); it != payload.end()) {
    if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > std::max(size, 0))
      return refuse("Invalid offset!");
    offset = it->get<int64_t>();
  }

  if (size <= 0) {
    // A valid announcement of nothing ends the upload in progress (its
    // partial file stays) and starts none.
    _uploadFile.Close();
    _uploading = false;
    _uploadName = name;
    _uploadSize = size;
    _uploadReceived = 0;
    Respond(Reply(payload, 0));
    return;
  }
  LOG(INFO) << "\tfilename = " << frame::LogExcerpt(name, kLoggedChars);
  LOG(INFO) << "\tsize = " << size;
  // Opened before replying, so the reply tells the truth about the target.
  // The upload in progress (its partial file stays) ends only when the new
  // one has its file.
  VESK::UploadFile next;
  switch (next.Open(_workDir + "/" + name, size, offset, !sha256.empty())) {
    case VESK::UploadFile::OpenResult::Ok:
      break;
    case VESK::UploadFile::OpenResult::NoSpace:
      return refuse("Not enough free space!");
    case VESK::UploadFile::OpenResult::OffsetMismatch:
      return refuse("Offset does not match the file!");
    case VESK::UploadFile::OpenResult::CannotCreate:
      return refuse(kCannotCreate);
  }
  _guard.UploadAnnounced(_workDir + "/" + name);
  _uploadFile = std::move(next);
  _uploading = true;
  _uploadName = name;
  _uploadSize = size;
  _uploadReceived = offset;
  _uploadRequest = request;
  _uploadSha256 = sha256;
  Respond(Reply(payload, 0));
  LOG(INFO) << "Receive...";
  if (_uploadFile.Complete()) FinishUpload();  // resumed with nothing missing
}

void DaemonService::UploadStatus(const std::shared_ptr<CommandRequest>& request) {
  json reply = Reply(request->_payload, 0);
  reply["filename"] = _uploadName;
  reply["size"] = _uploadSize;
  reply["received"] = _uploadReceived;
  reply["open"] = _uploading;
  Respond(reply);
}

void DaemonService::DownloadProject(const std::shared_ptr<CommandRequest>& request) {
  const AppConfig& config = AppConfig::Instance;
  Shell("rm -f " + frame::ShellQuote(_workDir + "/" + kProjectArchive));
  bool packed = Shell("cd " + frame::ShellQuote(_workDir) + " && tar zcvf " + kProjectArchive + " -C " +
                      frame::ShellQuote(config._projectPath + "/..") + " " + frame::ShellQuote(config._projectName));
  Respond(Reply(request->_payload, packed ? 0 : 1, packed ? nullptr : "Project cannot be compressed!"));
}

void DaemonService::UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& archiveName,
                                    const std::string& member, const std::string& installed) {
  if (const char* refusal = _guard.CheckArchive(_workDir + "/" + archiveName)) {
    Respond(Reply(request->_payload, 1, refusal));
    return;
  }
  const char* error = nullptr;
  const std::string staging = installed.empty() ? "" : MakeStagingDir(installed);
  if (staging.empty()) {
    LOG(ERROR) << "No folder to unpack into beside " << (installed.empty() ? "(not configured)" : installed);
    error = kCannotInstall;
  } else {
    std::string reason;
    switch (UnpackArchive(_workDir + "/" + archiveName, staging, UnpackLimits(), reason)) {
      case UnpackResult::Unreadable:
        error = kCannotDecompress;
        break;
      case UnpackResult::Refused:
        error = kCannotInstall;
        break;
      case UnpackResult::Ok:
        // The whole archive becomes the project: it gets a project's
        // permissions, not the private ones of a fresh temporary folder.
        if (member.empty()) chmod(staging.c_str(), 0755);
        if (!InstallDirectory(member.empty() ? staging : staging + "/" + member, installed)) error = kCannotInstall;
        break;
    }
    if (!reason.empty()) LOG(ERROR) << "Archive refused! " << archiveName << " : " << frame::LogExcerpt(reason);
    Shell("rm -rf " + frame::ShellQuote(staging));
  }
  json reply = Reply(request->_payload, error ? 1 : 0);
  reply["error"] = error ? json(error) : json(nullptr);
  Respond(reply);
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
