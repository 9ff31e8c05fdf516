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

// The text a reply or status carries on the wire: the daemon's text publish
// appends one zero byte.
std::string WireText(const std::string& text);
// The daemon's reply form: pretty JSON with indent 0, then the zero byte.
std::string WireReply(const nlohmann::json& reply);

// The id the daemon derives from /etc/gateway.json on this machine.
std::string ExpectedDeviceId();

class DaemonHarness {
 public:
  // rootName: folder under the temporary root holding the project and the
  // runtime; tests give it shell-hostile characters on purpose.
  explicit DaemonHarness(const std::string& rootName = "root");
  ~DaemonHarness();

  TempDir dir{"pemrix-daemon"};
  MosquittoBroker broker;
  nlohmann::json mqtt;      // written to mqtt.json by StartDaemon
  nlohmann::json appConf;   // written to app.conf by StartDaemon
  std::string root;         // parent of project and runtime
  std::string projectPath;  // root/Project
  std::string runtimePath;  // root/Pemrix
  std::string hostApi;
  std::string deviceId;
  std::unique_ptr<Process> daemon;
  std::unique_ptr<Process> host;
  std::unique_ptr<MqttProbe> probe;

  std::string Topic(const std::string& suffix) const;
  // Starts the broker and a probe subscribed to the status and response
  // topics, then the daemon; true once its retained "online" arrived.
  bool Start(const std::vector<std::string>& extraEnv = {});
  // Only the daemon (config files written first); does not wait.
  bool StartDaemon(const std::vector<std::string>& extraEnv = {});
  // Host-service stand-in on hostApi; restartCommand empty: only logs.
  bool StartHost(const std::string& restartCommand = "");
  // Publishes one request payload (exact bytes).
  bool Send(const std::string& payload);
  bool Send(const nlohmann::json& request) { return Send(request.dump()); }
  // Next reply on the response topic.
  std::optional<MqttMessage> Reply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends and returns the reply payload ("" when none came).
  std::string Call(const nlohmann::json& request);
  std::string Log() const { return daemon ? daemon->Output() : ""; }
  // Polls the daemon's output for text.
  bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
};

}  // namespace pemrix::testing
