#include "daemon_harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace pemrix::testing {

using json = nlohmann::json;

std::string WireText(const std::string& text) { return text + std::string(1, '\0'); }

std::string WireReply(const json& reply) { return WireText(reply.dump(0)); }

std::string ExpectedDeviceId() {
  std::ifstream file("/etc/gateway.json");
  json doc;
  try {
    if (file) file >> doc;
  } catch (const json::exception&) {
  }
  if (doc.is_object() && doc.contains("id") && doc["id"].is_string() && !doc["id"].get<std::string>().empty())
    return doc["id"];
  return "gateway";
}

DaemonHarness::DaemonHarness(const std::string& rootName)
    : root(dir.File(rootName)),
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
  // The programs are built with the sanitizers: what they report at an
  // orderly exit (leaks included) fails the test.
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
  Process::Options o;
  o.argv = {BinPath("Pemrix.Daemon")};
  o.cwd = dir.Path();
  o.env = extraEnv;
  o.output = dir.File("daemon.out");
  daemon = std::make_unique<Process>(o);
  return daemon->Start();
}

bool DaemonHarness::StartHost(const std::string& restartCommand) {
  json conf = {{"host_api", hostApi}};
  if (!restartCommand.empty()) conf["restart_command"] = restartCommand;
  WriteFile(dir.File("host.conf"), conf.dump());
  Process::Options o;
  // The stand-in reads app.conf from its working directory, then its own
  // file on top, as the daemon does.
  o.argv = {BinPath("pemrix-hostsvc"), dir.File("host.conf")};
  o.cwd = dir.Path();
  o.output = dir.File("host.out");
  host = std::make_unique<Process>(o);
  if (!host->Start()) return false;
  const std::string socketPath = hostApi.substr(std::string("ipc://").size());
  return WaitUntil([&] { return FileExists(socketPath) || !host->Running(); }, std::chrono::seconds(10)) &&
         host->Running();
}

bool DaemonHarness::Send(const std::string& payload) { return probe->Publish(Topic("request"), payload); }

std::optional<MqttMessage> DaemonHarness::Reply(std::chrono::milliseconds timeout) {
  return probe->WaitMessage(Topic("response"), timeout);
}

std::string DaemonHarness::Call(const json& request) {
  if (!Send(request)) return "";
  auto reply = Reply();
  return reply ? reply->payload : "";
}

bool DaemonHarness::WaitLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout, std::chrono::milliseconds(20));
}

}  // namespace pemrix::testing
