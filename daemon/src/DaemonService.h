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
  // is queued, anything else is dropped with one ERROR line. Never executes.
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

  void UploadFile(const std::shared_ptr<CommandRequest>& request);
  void UploadStatus(const std::shared_ptr<CommandRequest>& request);
  // The upload is complete: closes it and, when a digest was announced,
  // publishes the verdict (a mismatched file is removed).
  void FinishUpload();
  void DownloadProject(const std::shared_ptr<CommandRequest>& request);
  // Unpacks the archive workDir/archiveName into a fresh folder beside
  // installed and installs it (member: the archive's folder to install, ""
  // for the whole archive); publishes the reply. Nothing of a refused archive
  // stays anywhere.
  void UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& archiveName,
                       const std::string& member, const std::string& installed);
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
  std::unique_ptr<JsonRpcClient> _hostClient;
  RequestGuard _guard;
  // The upload in progress, or the last one (for "upload_status").
  VESK::UploadFile _uploadFile;
  std::string _uploadName;
  bool _uploading = false;
  int64_t _uploadReceived = 0;
  int64_t _uploadSize = 0;
  // The announcement of the upload in progress (for the verdict's command
  // and id) and the digest it announced ("" for none).
  std::shared_ptr<CommandRequest> _uploadRequest;
  std::string _uploadSha256;
  // Upload data counts as activity: it keeps the loop's short turns.
  std::chrono::steady_clock::time_point _lastActivity{};

  const std::string _gatewayFile;
  const std::string _mqttFile;
  const std::string _workDir;
};

}  // namespace VESK
