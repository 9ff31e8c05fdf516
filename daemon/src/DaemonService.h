#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "RequestGuard.h"
#include "UploadFile.h"

struct mosquitto_message;

namespace VESK {

class MqttConnector;
class JsonRpcClient;

// One queued management request: the request object exactly as parsed from
// the MQTT payload. Defined in DaemonService.cpp, the only place that reads it.
struct CommandRequest;

// The gateway's identity on the MQTT broker and its remote-management channel.
//
// Threading: everything runs on the thread that calls Run(). The connector's
// handlers run inside MqttClient::RunOnce, which only Run calls, so the queue
// and the upload state need no lock. Stop() is the one exception: it may be
// called from a signal handler and only sets an atomic flag.
//
// Blocking: a request is executed synchronously inside Run; its shell commands
// and the restart call (bounded by the JSON-RPC client's time-out) stall the
// whole service, MQTT traffic included, until they return.
class DaemonService {
 public:
  static constexpr const char* kGatewayFile = "/etc/gateway.json";
  static constexpr const char* kMqttFile = "mqtt.json";
  // Folder of uploads and of the fixed archive names.
  static constexpr const char* kWorkDir = "/tmp";
  // A request is refused above these: real ones are a few hundred bytes and
  // a handful of levels deep.
  static constexpr size_t kMaxRequestBytes = 1u << 20;
  static constexpr int kMaxRequestDepth = 64;
  // Requests waiting to run (a long install lets them pile up): beyond either
  // bound a request is refused at once, with a reply when it names a command.
  static constexpr size_t kMaxQueuedRequests = 1024;
  static constexpr size_t kMaxQueuedBytes = 16u << 20;

  // Flags a command's table row carries, for the checks every request passes.
  enum CommandFlag : unsigned {
    kChangesGateway = 1u << 0,  // changes files or the running system
    // With signing on: the announcement must name its data's sha256, and an
    // install takes only the archive (Command::archive) a verified upload left.
    kAnnouncesUpload = 1u << 1,
    kInstallsUpload = 1u << 2,
  };

  // No I/O and no logging: the global instance is built before logging exists.
  explicit DaemonService(std::string gatewayFile = kGatewayFile, std::string mqttFile = kMqttFile,
                         std::string workDir = kWorkDir);
  ~DaemonService();
  DaemonService(const DaemonService&) = delete;
  DaemonService& operator=(const DaemonService&) = delete;

  // Reads the device id and the MQTT settings, derives the topics and
  // configures the connector (it connects on the first poll in Run). False,
  // after one ERROR line, when the MQTT settings are unusable: the daemon
  // cannot do its job then and the program exits with status 1.
  bool Initial();
  // The service loop; returns after Stop(), having published "offline".
  void Run();
  // Async-signal-safe: sets the stop flag, nothing else.
  void Stop() { _stop = true; }
  // Closes the upload, disconnects from the broker, closes the host client.
  // Safe after a failed Initial and safe to call twice.
  void Destory();

  // Asks the host service to restart the system. Blocks until the host
  // answers or the client's time-out passes; the outcome is only logged.
  void SendSystemRestart();
  // Executes one management request and publishes at most one reply. Throws
  // the JSON library's errors for malformed requests (Run catches them).
  void DispatchRequest(std::shared_ptr<CommandRequest> request);

  // The request topic's handler: a text within the size and nesting limits
  // is queued, anything else is dropped with one ERROR line; a full queue
  // refuses it ("Too many requests!", one ERROR until the queue drains).
  // Never executes.
  void QueueRequest(const char* data, size_t size);
  // The receive topic's handler: appends to the upload in progress.
  void OnUploadData(const void* data, size_t length);
  // Takes the oldest queued request and executes it; false when none was
  // queued. A request that fails is logged and gone.
  bool ExecuteNextRequest();
  // Where replies go; set by Initial to the response topic. The request
  // handler can thus be driven without a broker.
  std::function<void(const std::string&)> _replyHandler;
  // Which requests may run; its clock can be set to replay recorded ones.
  RequestGuard& Guard() { return _guard; }

 private:
  void OnConnected();
  void OnRefused();
  void OnMessage(const mosquitto_message* message);
  // Status texts are retained, replies are not; both QoS 2 text publishes.
  void PublishStatus(const std::string& status);
  void PublishResponse(const std::string& text);
  void Respond(const nlohmann::json& reply);

  // One row per command: the handler runs only after CheckRequest passed.
  using Handler = void (DaemonService::*)(const std::shared_ptr<CommandRequest>& request);
  struct Command {
    const char* name;  // compared exactly
    Handler handler;
    // The command's own checks of the request's members: the refusal
    // message for the reply, or nullptr. nullptr: nothing to check.
    const char* (*check)(const nlohmann::json& request);
    unsigned flags;                 // CommandFlag bits
    const char* archive = nullptr;  // in the work folder, for kInstallsUpload
  };
  static const Command kCommands[];
  // The table row of the request's command; nullptr for an unknown command.
  // Throws the JSON library's error when there is no string "command".
  static const Command* FindCommand(const nlohmann::json& request);
  // The one place every request passes before its handler runs: the refusal
  // message for the reply, or nullptr to go on.
  const char* CheckRequest(const Command& command, const nlohmann::json& request) const;

  void Echo(const std::shared_ptr<CommandRequest>& request);
  void Restart(const std::shared_ptr<CommandRequest>& request);
  void UploadFile(const std::shared_ptr<CommandRequest>& request);
  void UploadStatus(const std::shared_ptr<CommandRequest>& request);
  // The upload is complete: closes it and, when a digest was announced,
  // publishes the verdict (a mismatched file is removed).
  void FinishUpload();
  void DownloadProject(const std::shared_ptr<CommandRequest>& request);
  void UpdateProject(const std::shared_ptr<CommandRequest>& request);
  void UpdateRuntime(const std::shared_ptr<CommandRequest>& request);
  // Unpacks the archive workDir/archiveName into a fresh folder beside
  // installed, checks it and installs it (member: the archive's folder to install, ""
  // for the whole archive); publishes the reply. Nothing of a refused archive
  // stays anywhere.
  // check(unpacked, installed) judges the unpacked folder before it is
  // installed: "" to go on, else why it is refused.
  using UnpackedCheck = std::string (*)(const std::string& unpacked, const std::string& installed);
  void UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& archiveName,
                       const std::string& member, const std::string& installed, UnpackedCheck check);
  // Moves unpacked into installed, keeping the old one as installed + ".bak".
  // Never leaves installed missing: on any failure the old one is put back.
  bool InstallDirectory(const std::string& unpacked, const std::string& installed);

  std::atomic<bool> _stop{false};
  bool _idle = true;
  std::string _deviceId = "gateway";
  std::string _topicRoot = "/pemrix/gateways/";
  std::string _requestTopic;
  std::string _responseTopic;
  std::string _receiveTopic;
  std::string _sendTopic;
  std::string _statusTopic;
  std::shared_ptr<MqttConnector> _connector;
  std::list<std::shared_ptr<CommandRequest>> _requests;
  size_t _queuedBytes = 0;  // request text behind _requests
  bool _queueFull = false;  // logged once; cleared when the queue is empty
  std::unique_ptr<JsonRpcClient> _hostClient;
  RequestGuard _guard;
  // The upload in progress, or the last one (for "upload_status"). Replaced
  // as a whole by the next accepted announcement.
  struct UploadSession {
    VESK::UploadFile file;
    std::string name;
    int64_t size = 0;
    int64_t received = 0;
    bool open = false;  // data on the receive topic goes to file
    // The announcement (for the verdict's command and id) and the digest it
    // announced ("" for none).
    std::shared_ptr<CommandRequest> request;
    std::string sha256;
  };
  UploadSession _upload;
  // Upload data counts as activity: it keeps the loop's short turns.
  std::chrono::steady_clock::time_point _lastActivity{};

  const std::string _gatewayFile;
  const std::string _mqttFile;
  const std::string _workDir;
};

}  // namespace VESK
