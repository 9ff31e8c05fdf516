#include "daemon_harness.h"

#include <gtest/gtest.h>

#include <csignal>

namespace pemrix::testing {

using json = nlohmann::json;

std::string WireText(const std::string& text) { return text + std::string(1, '\0'); }

std::string WireReply(const json& reply) { return WireText(reply.dump(0)); }

namespace {

// The id the daemon derives from /etc/gateway.json on this machine.
std::string ExpectedDeviceId() {
  json doc = json::parse(ReadFile("/etc/gateway.json"), nullptr, false);
  if (doc.is_object() && doc.contains("id") && doc["id"].is_string() && !doc["id"].get<std::string>().empty())
    return doc["id"];
  return "gateway";
}

}  // namespace

DaemonHarness::DaemonHarness(const std::string& rootName, const std::string& brokerConfig)
    : broker(brokerConfig),
      root(dir.File(rootName)),
      projectPath(root + "/Project"),
      runtimePath(root + "/Pemrix"),
      hostApi(dir.Ipc("host")),
      deviceId(ExpectedDeviceId()) {
  RunShell("mkdir -p '" + projectPath + "' '" + runtimePath + "'");
  mqtt = {{"mqtt_topic_root", "/pemrix/test"},
          {"mqtt_client",
           {{"host", "127.0.0.1"},
            {"port", broker.Port()},
            {"keep_alive", 5},
            {"reconnect_time", 1},
            {"encryption_mode", 0}}}};
  appConf = {{"project_path", projectPath}, {"runtime_path", runtimePath}, {"host_api", hostApi}};
  // Plain "LEVEL message" lines on standard output, which the tests read.
  WriteFile(dir.File("log.conf"),
            "* GLOBAL:\n   FORMAT = \"%level %msg\"\n   TO_FILE = false\n   TO_STANDARD_OUTPUT = true\n");
}

DaemonHarness::~DaemonHarness() {
  probe.reset();
  for (Process* p : {daemon.get(), host.get()}) {
    if (!p) continue;
    p->Stop(SIGINT, std::chrono::seconds(5));
    const std::string out = p->Output();
    for (const char* report : {"runtime error:", "AddressSanitizer", "LeakSanitizer"})
      if (out.find(report) != std::string::npos) ADD_FAILURE() << out;
  }
}

std::string DaemonHarness::Topic(const std::string& suffix) const { return "/pemrix/test/" + deviceId + "/" + suffix; }

bool DaemonHarness::Start(const std::vector<std::string>& extraEnv) {
  if (!broker.Start()) return false;
  probe = std::make_unique<MqttProbe>(broker.Port());
  if (!probe->Connect() || !probe->Subscribe(Topic("status")) || !probe->Subscribe(Topic("response"))) return false;
  if (!StartDaemon(extraEnv)) return false;
  auto status = probe->WaitMessage(Topic("status"), std::chrono::seconds(10));
  return status && status->payload == WireText("online");
}

bool DaemonHarness::StartDaemon(const std::vector<std::string>& extraEnv) {
  WriteFile(dir.File("mqtt.json"), mqtt.dump(2));
  WriteFile(dir.File("app.conf"), appConf.dump(2));
  daemon = std::make_unique<Process>(
      Process::Options{{BinPath("Pemrix.Daemon")}, dir.Path(), extraEnv, dir.File("daemon.out")});
  return daemon->Start();
}

bool DaemonHarness::StartHost(const std::string& restartCommand) {
  json conf = {{"host_api", hostApi}};
  if (!restartCommand.empty()) conf["restart_command"] = restartCommand;
  WriteFile(dir.File("host.conf"), conf.dump());
  // The stand-in reads app.conf from its working directory, then its own
  // file on top, as the daemon does.
  host = std::make_unique<Process>(
      Process::Options{{BinPath("pemrix-hostsvc"), dir.File("host.conf")}, dir.Path(), {}, dir.File("host.out")});
  if (!host->Start()) return false;
  const std::string socketPath = hostApi.substr(std::string("ipc://").size());
  return WaitUntil([&] { return FileExists(socketPath) || !host->Running(); }, std::chrono::seconds(10)) &&
         host->Running();
}

std::optional<MqttMessage> DaemonHarness::Reply(std::chrono::milliseconds timeout) {
  return probe->WaitMessage(Topic("response"), timeout);
}

std::string DaemonHarness::Call(const json& request) {
  if (!Send(request)) return "";
  auto reply = Reply();
  return reply ? reply->payload : "";
}

bool DaemonHarness::Serving(int id) {
  const json request = {{"command", "test"}, {"id", id}};
  return Call(request) == WireReply(request);
}

bool DaemonHarness::WaitLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout, std::chrono::milliseconds(20));
}

}  // namespace pemrix::testing
