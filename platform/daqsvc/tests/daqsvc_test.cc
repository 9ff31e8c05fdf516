// The acquisition-service stand-in with the real plug-in over a simulated server, as its clients see it.
#include <arpa/inet.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <tuple>

#include "DaqTestPeer.h"

using namespace pemrix::testing;
using json = nlohmann::json;

namespace {

class DaqServiceTest : public DaqServiceFixture {
 protected:
  void SetUp() override {
    DaqServiceFixture::SetUp();
    WriteFile(dir.File("press.profile.json"), R"({"name": "press", "parameters": [
      {"id": "Speed", "type": "double", "attributes": {"address": {"node_id": "2:Speed"}}},
      {"id": "Name", "type": "string", "attributes": {"address": {"node_id": "2:Name"}}},
      {"id": "Flags", "type": "uint16", "array_length": 4, "write_mode": 1,
       "attributes": {"address": {"node_id": "2:Flags"}}},
      {"id": "Setpoint", "type": "double", "write_mode": 1, "attributes": {"address": {"node_id": "2:Setpoint"}}},
      {"id": "Ready", "type": "bool", "attributes": {"address": {"node_id": "2:Ready"}}},
      {"id": "Jammed", "type": "bool", "attributes": {"address": {"node_id": "Ready"}}},
      {"id": "Count", "type": "uint32", "attributes": {"address": {"node_id": "2:Count"}}}]})");
    WriteFile(dir.File("press.server.json"), R"({"nodes": [{"namespace": 2, "id": "Name", "value": "Filler"},
      {"namespace": 2, "id": "Speed", "type": "double", "value": 12.5}, {"namespace": 2, "id": "Ready", "value": false},
      {"namespace": 2, "id": "Flags", "type": "uint16", "value": [1, 0, 8, 0]},
      {"namespace": 2, "id": "Setpoint", "type": "double", "value": 20.0},
      {"namespace": 2, "id": "Count", "type": "uint32", "generator": {"kind": "counter", "period_ms": 10}}]})");
  }
  static json Device(const std::string& id, const std::string& driver = "Quillet.drv") {
    const json channel = {{"simulated_server", "press.server.json"}};
    return {{"id", id}, {"driver", driver}, {"profile", "press.profile.json"}, {"channel", channel}};
  }
};

TEST_F(DaqServiceTest, ReadsWritesAndRefusesBadRequestsWithErrorObjects) {
  auto p = Launch(Config(json::array({Device("press")})));
  auto reply = [&] { return Read({"Speed", "Name", "Flags", "Missing", "Ready", "Jammed"}, "press"); };
  ASSERT_TRUE(WaitUntil([&] { return reply()["result"]["values"]["Speed"] == 12.5; }, 10s)) << reply().dump() << Log();
  json response = reply();
  EXPECT_EQ(response["id"], 7);
  // Not in the profile, or without a usable tag: null, never the driver's "false".
  EXPECT_EQ(response["result"]["values"], json::parse(R"({"Speed": 12.5, "Name": "Filler", "Flags": [1, 0, 8, 0],
      "Missing": null, "Ready": false, "Jammed": null})"));

  const char *read = "ReadParameter", *write = "WriteParameter";
  const std::tuple<const char*, json, int> refused[] = {
      {read, {{"device_id", "nope"}, {"parameters", {"Speed"}}}, -32001},
      {read, {{"device_id", "press"}, {"parameters", "Speed"}}, -32602},
      {read, {{"device_id", "press"}, {"parameters", {"Speed", 3}}}, -32602},
      {read, json::array({"press"}), -32602},
      {write, {{"device_id", "nope"}, {"parameter", "Setpoint"}, {"value", 1}}, -32001},
      {write, {{"device_id", "press"}, {"parameter", "Missing"}, {"value", 1}}, -32002},
      {write, {{"device_id", "press"}, {"parameter", "Setpoint"}, {"value", {{"a", 1}}}}, -32602},
      {write, {{"device_id", "press"}, {"parameter", "Setpoint"}}, -32602},
      {write, {{"device_id", "press"}, {"parameter", "Flags"}, {"value", 1}, {"indices", {-1}}}, -32602},
      {"Reboot", json::object(), -32601},
  };
  const std::string nested = R"({"id":7,"jsonrpc":"2.0","method":"WriteParameter","params":{"device_id":"press",)"
                             R"("parameter":"Setpoint","value":)" +
                             std::string(100000, '[') + "1" + std::string(100000, ']') + "}}";
  EXPECT_NE(RpcText(api, nested).find("-32700"), std::string::npos) << "refused; the table below is still served";
  for (const auto& [method, params, code] : refused) {
    response = RpcCall(api, method, params);
    EXPECT_EQ(response["error"]["code"], code) << method << " " << params.dump() << " -> " << response.dump();
    EXPECT_TRUE(response["id"] == 7 && !response.contains("result")) << response.dump();
  }

  // Device writes go out with the next cycle and come back with the one after.
  EXPECT_EQ(Write("press", "Setpoint", 42.5)["result"], 1);
  EXPECT_EQ(Write("press", "Flags", 5, {2})["result"], 1);
  const json written = {{"Setpoint", 42.5}, {"Flags", {1, 0, 5, 0}}};
  auto values = [&] { return Read({"Setpoint", "Flags"}, "press")["result"]["values"]; };
  EXPECT_TRUE(WaitUntil([&] { return values() == written; }, 10s)) << values().dump() << Log();
  EXPECT_EQ(Log().find("INFO 'nn_recv'"), std::string::npos) << "polls are not logged one by one";
}

TEST_F(DaqServiceTest, PublishesEveryUpdateAsAnEvent) {
  auto p = Launch(Config(json::array({Device("press"), Device("second")})));
  std::set<std::string> devices;
  json last;
  EventSubscriber subscriber(event);
  auto bothUpdated = [&] {
    for (json e = subscriber.Next(1s); !e.is_null(); e = subscriber.Next(1ms)) {
      last = e;
      EXPECT_EQ(e["event"], "DeviceUpdate");
      if (e["params"]["parameters"]["Speed"] == 12.5 && e["params"]["connected"] == true)
        devices.insert(e["params"]["device_id"].get<std::string>());
    }
    return devices.size() == 2;
  };
  ASSERT_TRUE(WaitUntil(bothUpdated, 10s)) << last.dump() << Log();
  EXPECT_EQ(last["params"]["parameters"]["Name"], "Filler");
}

// A server that takes the connection and never answers holds up neither the other device's cycle nor the stop.
TEST_F(DaqServiceTest, ASilentServerHoldsUpNeitherTheOtherDeviceNorTheStop) {
  struct Silent {  // listens and never accepts: the kernel completes connections, nobody ever reads
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bool ok = !bind(fd, (sockaddr*)&a, n) && !listen(fd, 8) && !getsockname(fd, (sockaddr*)&a, &n);
    ~Silent() { close(fd); }
  } silent;
  ASSERT_TRUE(silent.ok);
  json sick = Device("sick");
  sick["channel"] = {{"endpoint", "opc.tcp://127.0.0.1:" + std::to_string(ntohs(silent.a.sin_port))},
                     {"request_timeout_ms", 2000}};
  auto p = Launch(Config(json::array({sick, Device("press")})));  // 50 ms cycle
  ASSERT_TRUE(WaitUntil([&] { return Log().find("Device 'sick' update took") != std::string::npos; }, 10s)) << Log();
  std::set<json> seen;  // distinct counts of the healthy device in one second: about 20
  EventSubscriber subscriber(event);
  for (auto end = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < end;)
    if (json e = subscriber.Next(100ms); e["params"]["device_id"] == "press")
      seen.insert(e["params"]["parameters"]["Count"]);
  EXPECT_GE(seen.size(), 10u) << Log();
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Read({"Count"}, "sick")["result"]["values"], json({{"Count", nullptr}}));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "answered without waiting for the busy device";

  before = std::chrono::steady_clock::now();
  p->Signal(SIGTERM);
  ASSERT_TRUE(p->Wait(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s + 1500ms) << "one request time-out, and some slack";
}

TEST_F(DaqServiceTest, LeavesOutUnusableDevicesStopsOnSigtermAndFailsWithoutAny) {
  {
    auto p = Launch(Config(json::array({Device("ghost", "Missing.drv"), json{{"id", "press"}}, Device("press")})));
    EXPECT_TRUE(Read({"Name"}, "press").contains("result"));
    EXPECT_EQ(Read({"Name"}, "ghost")["error"]["code"], -32001);

    auto second = Launch(dir.File("daqsvc.json"), false);
    ASSERT_TRUE(second->Wait(20s));
    EXPECT_EQ(second->ExitCode(), 1) << "the endpoint is taken";

    p->Signal(SIGTERM);
    ASSERT_TRUE(p->Wait(10s)) << Log();
    EXPECT_EQ(p->ExitCode(), 0) << Log() << p->Output();
    auto again = Launch(Config(json::array({Device("press")})));
    EXPECT_TRUE(Read({"Name"}, "press").contains("result")) << "the endpoint was freed";
  }
  for (const std::string& config : {Config(json::array({Device("ghost", "Missing.drv")})), dir.File("absent.json")}) {
    WriteFile(dir.File("daqsvc.log"), "");
    auto p = Launch(config, false);
    ASSERT_TRUE(p->Wait(20s)) << config;
    EXPECT_EQ(p->ExitCode(), 1) << Log();
  }
}

}  // namespace
