#pragma once
// The built Pemrix.Daemon driven as a remote operator drives it, with a real
// broker, the host-service stand-in and folders under a temporary root.
#include <csignal>
#include <nlohmann/json.hpp>

#include "MqttProbe.h"
#include "Servers.h"

namespace pemrix::testing {

using json = nlohmann::json;

// The daemon's text publish appends one zero byte; its replies are JSON with indent 0.
// A data_logger.json the daemon's update check accepts: a database and one measurement.
const std::string kLoggerJson =
    R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","port":8086,"database_name":"p"}},)"
    R"("measurements":[{"id":"m","fields":[{"device_id":"d","tag_id":"t"}],"cycle_ms":1000}]})";

inline std::string WireText(const std::string& text) { return text + '\0'; }
inline std::string WireReply(const json& reply) { return WireText(reply.dump(0)); }

// pemrix-ctl run to its end in dir: exit status (-1: still running after 120 s), output, time taken.
struct CtlRun {
  int status;
  std::string output;
  std::chrono::milliseconds took;
};
inline CtlRun RunCtl(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), BinPath("pemrix-ctl"));
  const std::string out = dir.File("ctl-" + std::to_string(getpid()) + ".out");
  RunShell("rm -f " + out);
  Process process({args, dir.Path(), {}, out});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(process.Start());
  const bool ended = process.Wait(120s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return {ended ? process.ExitCode() : -1, ReadFile(out), took};
}

struct DaemonHarness {
  explicit DaemonHarness(const std::string& rootName = "root", const std::string& brokerConfig = "")
      : broker(brokerConfig), root(dir.File(rootName)), projectPath(root + "/Project"), runtimePath(root + "/Pemrix") {
    RunShell("mkdir -p '" + projectPath + "' '" + runtimePath + "'");
    mqtt = json::parse(R"({"mqtt_topic_root": "/pemrix/test", "mqtt_client": {"host": "127.0.0.1", "keep_alive": 5,
                                  "reconnect_time": 1, "encryption_mode": 0}})");
    mqtt["mqtt_client"]["port"] = broker.Port();
    json gateway = json::parse(ReadFile("/etc/gateway.json"), nullptr, false);  // where the daemon's id comes from
    if (gateway.is_object() && gateway.value("id", json()).is_string() && gateway["id"] != "") deviceId = gateway["id"];
    WriteFile(dir.File("log.conf"),
              "* GLOBAL:\n FORMAT = \"%level %msg\"\n TO_FILE = false\n TO_STANDARD_OUTPUT = true\n");
  }
  ~DaemonHarness() {
    for (Process* p : {daemon.get(), host.get()}) {
      if (!p) continue;
      p->Stop(SIGINT, 5s);
      for (const char* report : {"runtime error:", "AddressSanitizer", "LeakSanitizer"})
        if (p->Output().find(report) != std::string::npos) ADD_FAILURE() << p->Output();
    }
  }

  std::string Topic(const std::string& suffix) const { return "/pemrix/test/" + deviceId + "/" + suffix; }
  bool Connect() {
    probe = std::make_unique<MqttProbe>(broker.Port());
    return probe->Connect() && probe->Subscribe(Topic("status")) && probe->Subscribe(Topic("response"));
  }
  bool Start(const std::vector<std::string>& env = {}) {
    if (!broker.Start() || !Connect() || !StartDaemon(env)) return false;
    auto status = probe->WaitMessage(Topic("status"), 10s);
    return status && status->payload == WireText("online");
  }
  bool StartDaemon(const std::vector<std::string>& env = {}) {
    WriteFile(dir.File("mqtt.json"), mqtt.dump());
    WriteFile(dir.File("app.conf"),
              json{{"project_path", projectPath}, {"runtime_path", runtimePath}, {"host_api", hostApi}}.dump());
    daemon = std::make_unique<Process>(
        Process::Options{{BinPath("Pemrix.Daemon")}, dir.Path(), env, dir.File("daemon.out")});
    return daemon->Start();
  }
  bool StartHost(const std::string& restartCommand = "") {
    WriteFile(dir.File("host.conf"), json{{"host_api", hostApi}, {"restart_command", restartCommand}}.dump());
    host = std::make_unique<Process>(
        Process::Options{{BinPath("pemrix-hostsvc"), dir.File("host.conf")}, dir.Path(), {}, dir.File("host.out")});
    return host->Start() && WaitUntil([&] { return FileExists(dir.File("host.ipc")); }, 10s);
  }
  CtlRun Ctl(std::vector<std::string> args) {  // pemrix-ctl to this gateway
    args.insert(args.begin(), {"--port", std::to_string(broker.Port()), "--root", "/pemrix/test", "--id", deviceId,
                               "--timeout", "20"});
    return RunCtl(dir, std::move(args));
  }
  bool Send(const std::string& payload) { return probe->Publish(Topic("request"), payload); }
  bool SendData(const std::string& data) { return probe->Publish(Topic("receive"), data); }
  auto Reply(std::chrono::milliseconds timeout = 10s) { return probe->WaitMessage(Topic("response"), timeout); }
  std::string Call(const json& request) {
    auto reply = Send(request.dump()) ? Reply() : std::nullopt;
    return reply ? reply->payload : "";
  }
  bool Serving(int id) {
    return Call({{"command", "test"}, {"id", id}}) == WireReply({{"command", "test"}, {"id", id}});
  }
  std::string Log() const { return daemon ? daemon->Output() : ""; }
  bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout, 20ms);
  }

  TempDir dir{"pemrix-daemon"};
  MosquittoBroker broker;
  std::string root, projectPath, runtimePath, hostApi = dir.Ipc("host"), deviceId = "gateway";
  json mqtt;
  std::unique_ptr<Process> daemon, host;
  std::unique_ptr<MqttProbe> probe;
};

}  // namespace pemrix::testing
