#pragma once
// Drives the built Pemrix.Daemon as a remote operator would: a real broker, a
// real MQTT client on the daemon's topics, the host-service stand-in on a
// private IPC endpoint, and project/runtime folders under a temporary root.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "MqttProbe.h"
#include "Servers.h"
#include "TestSupport.h"

namespace pemrix::testing {

// A text as the daemon's text publish puts it on the wire: one zero byte appended.
std::string WireText(const std::string& text);
// A reply on the wire: pretty JSON with indent 0, then the zero byte.
std::string WireReply(const nlohmann::json& reply);

class DaemonHarness {
 public:
  // rootName: folder under the temporary root holding the project and the
  // runtime; tests give it shell-hostile characters on purpose.
  // brokerConfig: extra mosquitto.conf lines (e.g. "set_tcp_nodelay true").
  explicit DaemonHarness(const std::string& rootName = "root", const std::string& brokerConfig = "");
  // Stops both programs; what their sanitizers report at exit fails the test.
  ~DaemonHarness();

  TempDir dir{"pemrix-daemon"};
  MosquittoBroker broker;
  nlohmann::json mqtt;     // written to mqtt.json by StartDaemon
  nlohmann::json appConf;  // written to app.conf by StartDaemon
  std::string root;        // parent of projectPath (root/Project) and runtimePath (root/Pemrix)
  std::string projectPath, runtimePath, hostApi, deviceId;
  std::unique_ptr<Process> daemon, host;
  std::unique_ptr<MqttProbe> probe;

  std::string Topic(const std::string& suffix) const;
  // Starts the broker and a probe subscribed to the status and response
  // topics, then the daemon; true once its "online" arrived.
  bool Start(const std::vector<std::string>& extraEnv = {});
  // Only the daemon (config files written first); does not wait.
  bool StartDaemon(const std::vector<std::string>& extraEnv = {});
  // Host-service stand-in on hostApi; restartCommand empty: only logs.
  bool StartHost(const std::string& restartCommand = "");
  // Publishes one request payload (exact bytes), or upload data.
  bool Send(const std::string& payload) { return probe->Publish(Topic("request"), payload); }
  bool Send(const nlohmann::json& request) { return Send(request.dump()); }
  bool SendData(const std::string& data) { return probe->Publish(Topic("receive"), data); }
  // Next reply on the response topic.
  std::optional<MqttMessage> Reply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends and returns the reply payload ("" when none came).
  std::string Call(const nlohmann::json& request);
  // A "test" request with this id is answered with its echo.
  bool Serving(int id);
  std::string Log() const { return daemon ? daemon->Output() : ""; }
  // Polls the daemon's output for text.
  bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
};

}  // namespace pemrix::testing
