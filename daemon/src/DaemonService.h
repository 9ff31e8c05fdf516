#pragma once
#include <atomic>
#include <fstream>
#include <list>
#include <memory>
#include <string>

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

  // No I/O and no logging: the global instance is built before logging exists.
  explicit DaemonService(std::string gatewayFile = kGatewayFile, std::string mqttFile = kMqttFile);
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

 private:
  void OnConnected();
  void OnRefused();
  void OnMessage(const mosquitto_message* message);
  void OnUploadData(const void* data, int length);
  // Status texts are retained, replies are not; both QoS 2 text publishes.
  void PublishStatus(const std::string& status);
  void PublishResponse(const std::string& text);

  void UploadFile(const std::shared_ptr<CommandRequest>& request);
  void DownloadProject(const std::shared_ptr<CommandRequest>& request);
  void UpdateProject(const std::shared_ptr<CommandRequest>& request);
  void UpdateRuntime(const std::shared_ptr<CommandRequest>& request);
  // Runs the unpack command, installs its result, publishes the reply.
  void UpdateDirectory(const std::shared_ptr<CommandRequest>& request, const std::string& unpack,
                       const std::string& unpacked, const std::string& installed);
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
  std::ofstream _uploadFile;
  std::string _uploadName;
  bool _uploading = false;
  int _uploadReceived = 0;
  int _uploadSize = 0;

  const std::string _gatewayFile;
  const std::string _mqttFile;
};

}  // namespace VESK
