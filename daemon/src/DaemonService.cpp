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
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "AppConfig.h"
#include "ArchiveUnpack.h"
#include "BoundedJson.h"
#include "ConfigReader.h"
#include "DataLoggerCheck.h"
#include "JsonRpcClient.h"
#include "MqttConnector.h"
#include "Readiness.h"
#include "ServiceFrame.h"
#include "Shell.h"

namespace VESK {

struct CommandRequest {
  nlohmann::json _payload;
  size_t _size = 0;  // the text it came as, counted against the queue's bound
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

// The announced size of an upload: a whole number from 0 to 2^31 - 1 (the
// largest file the gateway takes); nothing for anything else, never wrapped
// or clamped into the range.
std::optional<int64_t> UploadSize(const json& request) {
  auto it = request.find("size");
  if (it == request.end()) return std::nullopt;
  std::optional<long long> size = frame::JsonInteger(*it, {0, INT32_MAX});
  if (!size) return std::nullopt;
  return static_cast<int64_t>(*size);
}

// "upload_file"'s members, checked before the upload in progress is touched:
// a refused announcement leaves it exactly as it was.
const char* CheckUpload(const json& request) {
  auto name = request.find("filename");
  if (name == request.end() || !name->is_string() || !IsPlainFileName(name->get<std::string>())) return kInvalidName;
  const std::optional<int64_t> size = UploadSize(request);
  if (!size) return "Invalid size!";
  // Optional: the digest the finished file must have, and the byte at
  // which a resumed upload goes on.
  if (auto it = request.find("sha256"); it != request.end()) {
    if (!it->is_string() || !IsSha256Hex(it->get<std::string>())) return "Invalid sha256!";
  }
  if (auto it = request.find("offset"); it != request.end()) {
    if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > *size) return "Invalid offset!";
  }
  return nullptr;
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

// An unpacked project is installed only when the data logger will take it:
// data_logger.json at its top, passing the data logger's own checks (the
// code of its --check-config, which logs each problem). "" when usable, else
// why not.
std::string CheckProject(const std::string& unpacked, const std::string& /*installed*/) {
  struct stat st {};
  if (lstat((unpacked + "/data_logger.json").c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return "no data_logger.json at the top of the archive";
  const int before = frame::ConfigErrorCount();
  DataLogger logger;
  const bool loaded = logger.Initial(unpacked);
  logger.Destory();
  if (!loaded || frame::ConfigErrorCount() != before) return "data_logger.json does not pass the data logger's checks";
  return "";
}

// A runtime replaces programs: each executable file of the installed one
// must be in the new one at the same place, executable too. "" when so,
// else the first one missing.
std::string CheckRuntime(const std::string& unpacked, const std::string& installed) {
  namespace fs = std::filesystem;
  const auto executable = [](const fs::file_status& status) {
    return fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
  };
  std::error_code ec, ignored;
  for (fs::recursive_directory_iterator it(installed, ec), end; !ec && it != end; it.increment(ec)) {
    if (!executable(it->symlink_status(ignored))) continue;
    const fs::path relative = it->path().lexically_relative(installed);
    if (!executable(fs::symlink_status(fs::path(unpacked) / relative, ignored)))
      return "the program " + relative.string() + " is missing";
  }
  return "";
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
  if (_deviceId == "gateway")
    frame::ReportConfigWarning("Device ID is the default \"gateway\": set \"id\" in '" + _gatewayFile +
                               "', boxes sharing an id take each other's requests and status");

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
  frame::Heartbeat heartbeat("daemon loop");  // watchdog: see Readiness.h
  while (!_stop) {
    heartbeat.Beat();
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
  _queuedBytes -= request->_size;
  if (_requests.empty()) _queueFull = false;
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
  _upload.file.Close();
  _upload.open = false;
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
  if (!_hostClient->Invoke("Restart", nullptr, result))
    LOG(ERROR) << "Restart did not happen: the host service at " << AppConfig::Instance._hostApi
               << " did not confirm it";
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
  // An upload belongs to the link it was announced on: what its sender
  // published after the loss is gone, so the file can never complete from
  // the data still to come. Its bytes so far stay, to be resumed by an
  // announcement with their count as offset; until then data is dropped.
  if (_upload.open) {
    _upload.file.Close();
    _upload.open = false;
    LOG(ERROR) << "Upload abandoned, link lost! " << _workDir << "/" << _upload.name << " received " << _upload.received
               << " of " << _upload.size;
  }
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
  if (_requests.size() >= kMaxQueuedRequests || _queuedBytes + size > kMaxQueuedBytes) {
    if (!_queueFull)
      LOG(ERROR) << "Request refused! queue full : " << _requests.size() << " requests, " << _queuedBytes
                 << " bytes waiting";
    _queueFull = true;
    if (value.is_object() && value.value("command", json()).is_string()) Respond(Reply(value, 1, "Too many requests!"));
    return;
  }
  // Executed later by Run, never inside the network poll.
  _requests.push_back(std::make_shared<CommandRequest>(CommandRequest{std::move(value), size}));
  _queuedBytes += size;
}

void DaemonService::OnUploadData(const void* data, size_t length) {
  _lastActivity = std::chrono::steady_clock::now();
  if (!_upload.open) return;
  if (!_upload.file.Append(data, length)) {
    // Logged and removed by the file; a sender waiting for a verdict gets one.
    _upload.open = false;
    _upload.received = 0;
    if (!_upload.sha256.empty()) Respond(Reply(_upload.request->_payload, 1, "File cannot be written!"));
    return;
  }
  _upload.received = _upload.file.Received();
  if (_upload.file.Complete()) FinishUpload();
}

void DaemonService::FinishUpload() {
  const std::string path = _workDir + "/" + _upload.name;
  _upload.open = false;
  const std::string digest = _upload.file.HexDigest();
  _upload.file.Close();
  if (_upload.sha256.empty()) {
    LOG(INFO) << "Save to " << path;
    return;
  }
  if (digest != _upload.sha256) {
    LOG(ERROR) << "Upload checksum mismatch! " << path << " sha256 " << digest;
    _upload.file.Remove();
    _upload.received = 0;
    Respond(Reply(_upload.request->_payload, 1, "Checksum mismatch!"));
    return;
  }
  LOG(INFO) << "Save to " << path;
  _guard.UploadVerified(path, digest);
  Respond(Reply(_upload.request->_payload, 0));
}

const DaemonService::Command DaemonService::kCommands[] = {
    {"test", &DaemonService::Echo, nullptr, 0},
    {"restart", &DaemonService::Restart, nullptr, kChangesGateway},
    {"upload_file", &DaemonService::UploadFile, CheckUpload, kChangesGateway | kAnnouncesUpload},
    {"upload_status", &DaemonService::UploadStatus, nullptr, 0},
    {"download_project", &DaemonService::DownloadProject, nullptr, kChangesGateway},
    {"update_project", &DaemonService::UpdateProject, nullptr, kChangesGateway | kInstallsUpload, kProjectArchive},
    {"update_runtime", &DaemonService::UpdateRuntime, nullptr, kChangesGateway | kInstallsUpload, kRuntimeArchive},
};

const DaemonService::Command* DaemonService::FindCommand(const json& request) {
  const std::string name = request.at("command").get<std::string>();
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

const char* DaemonService::CheckRequest(const Command& command, const json& request) const {
  const char* refusal = command.check ? command.check(request) : nullptr;
  if (!refusal && (command.flags & kAnnouncesUpload)) refusal = _guard.CheckAnnouncement(request);
  if (!refusal && (command.flags & kInstallsUpload)) refusal = _guard.CheckArchive(_workDir + "/" + command.archive);
  return refusal;
}

void DaemonService::DispatchRequest(std::shared_ptr<CommandRequest> request) {
  // A signed request is unwrapped here, before anything in it is believed.
  if (const char* refusal = _guard.Admit(request->_payload)) {
    const json& refused = request->_payload;
    if (refused.is_object() && refused.value("command", json()).is_string()) Respond(Reply(refused, 1, refusal));
    return;
  }
  const json& payload = request->_payload;
  const Command* command = FindCommand(payload);
  if (command == nullptr) return;  // unknown commands get no reply
  if (const char* refusal = CheckRequest(*command, payload)) {
    LOG(ERROR) << "Request refused! " << command->name << " : " << refusal;
    Respond(Reply(payload, 1, refusal));
    return;
  }
  (this->*command->handler)(request);
}

void DaemonService::Echo(const std::shared_ptr<CommandRequest>& request) {
  PublishResponse(frame::SafeDump(request->_payload, 0));
}

void DaemonService::Restart(const std::shared_ptr<CommandRequest>& request) {
  // The reply must be out before the host is asked: once it restarts, the
  // daemon gets no other chance. A QoS 2 message reaches subscribers only
  // after its release handshake, so the loop polls until the broker has
  // completed it (or a bounded wait has passed): a fixed number of steps is
  // not enough when other requests arrive at the same time. Handlers that
  // run meanwhile only queue requests or write upload data.
  Respond(Reply(request->_payload, 0));
  const auto deadline = std::chrono::steady_clock::now() + kReplyFlushTimeout;
  while (_connector && _connector->HasPendingPublishes() && std::chrono::steady_clock::now() < deadline)
    _connector->RunOnce();
  SendSystemRestart();
}

void DaemonService::UploadFile(const std::shared_ptr<CommandRequest>& request) {
  const json& payload = request->_payload;
  LOG(INFO) << "Upload File";
  // CheckUpload has passed: the members are there and well-formed.
  const std::string name = payload.at("filename").get<std::string>();
  const int64_t size = *UploadSize(payload);
  std::string sha256 = payload.value("sha256", std::string());
  for (char& c : sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int64_t offset = payload.value("offset", int64_t(0));
  auto refuse = [&](const char* message) {
    LOG(ERROR) << message << " " << Shown(name);
    Respond(Reply(payload, 1, message));
  };

  UploadSession next;
  next.name = name;
  next.size = size;
  if (size == 0) {
    // A valid announcement of nothing ends the upload in progress (its
    // partial file stays) and starts none.
    _upload = std::move(next);
    Respond(Reply(payload, 0));
    return;
  }
  LOG(INFO) << "\tfilename = " << frame::LogExcerpt(name, kLoggedChars);
  LOG(INFO) << "\tsize = " << size;
  // Opened before replying, so the reply tells the truth about the target.
  // The upload in progress (its partial file stays) ends only when the new
  // one has its file.
  _guard.UploadAnnounced(_workDir + "/" + name);
  switch (next.file.Open(_workDir + "/" + name, size, offset, !sha256.empty())) {
    case VESK::UploadFile::OpenResult::Ok:
      break;
    case VESK::UploadFile::OpenResult::NoSpace:
      return refuse("Not enough free space!");
    case VESK::UploadFile::OpenResult::OffsetMismatch:
      return refuse("Offset does not match the file!");
    case VESK::UploadFile::OpenResult::CannotCreate:
      return refuse(kCannotCreate);
  }
  next.open = true;
  next.received = offset;
  next.request = request;
  next.sha256 = sha256;
  _upload = std::move(next);
  Respond(Reply(payload, 0));
  LOG(INFO) << "Receive...";
  if (_upload.file.Complete()) FinishUpload();  // resumed with nothing missing
}

void DaemonService::UploadStatus(const std::shared_ptr<CommandRequest>& request) {
  json reply = Reply(request->_payload, 0);
  reply["filename"] = _upload.name;
  reply["size"] = _upload.size;
  reply["received"] = _upload.received;
  reply["open"] = _upload.open;
  Respond(reply);
}

void DaemonService::DownloadProject(const std::shared_ptr<CommandRequest>& request) {
  const AppConfig& config = AppConfig::Instance;
  Shell("rm -f " + frame::ShellQuote(_workDir + "/" + kProjectArchive));
  bool packed = Shell("cd " + frame::ShellQuote(_workDir) + " && tar zcvf " + kProjectArchive + " -C " +
                      frame::ShellQuote(config._projectPath + "/..") + " " + frame::ShellQuote(config._projectName));
  Respond(Reply(request->_payload, packed ? 0 : 1, packed ? nullptr : "Project cannot be compressed!"));
}

void DaemonService::UpdateProject(const std::shared_ptr<CommandRequest>& request) {
  UpdateDirectory(request, kProjectArchive, "", AppConfig::Instance._projectPath, CheckProject);
}

void DaemonService::UpdateRuntime(const std::shared_ptr<CommandRequest>& request) {
  UpdateDirectory(request, kRuntimeArchive, kRuntimeFolder, AppConfig::Instance._runtimePath, CheckRuntime);
}

void DaemonService::UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& archiveName,
                                    const std::string& member, const std::string& installed, UnpackedCheck check) {
  const char* error = nullptr;
  // A partial archive must never be taken for a whole one.
  const bool uploading = _upload.name == archiveName && _upload.received < _upload.size;
  const std::string staging = installed.empty() || uploading ? "" : MakeStagingDir(installed);
  if (uploading) {
    LOG(ERROR) << "Archive refused! " << archiveName << " : its upload is not complete, received " << _upload.received
               << " of " << _upload.size;
    error = kCannotInstall;
  } else if (staging.empty()) {
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
      case UnpackResult::Ok: {
        // The whole archive becomes the project: it gets a project's
        // permissions, not the private ones of a fresh temporary folder.
        if (member.empty()) chmod(staging.c_str(), 0755);
        const std::string unpacked = member.empty() ? staging : staging + "/" + member;
        if (IsRealDirectory(unpacked)) reason = check(unpacked, installed);
        if (!reason.empty() || !InstallDirectory(unpacked, installed)) error = kCannotInstall;
        break;
      }
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
