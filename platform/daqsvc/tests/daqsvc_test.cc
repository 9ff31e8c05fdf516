// The acquisition-service stand-in as its clients see it: the built program
// with the real plug-in over a simulated server, reached through real ipc
// sockets.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "DaqTestPeer.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using json = nlohmann::json;

namespace {

const char* kProfile = R"({"name": "press", "parameters": [
  {"id": "Speed",    "type": "double", "attributes": {"address": {"node_id": "2:Speed"}}},
  {"id": "Name",     "type": "string", "attributes": {"address": {"node_id": "2:Name"}}},
  {"id": "Flags",    "type": "uint16", "array_length": 4, "write_mode": 1,
   "attributes": {"address": {"node_id": "2:Flags"}}},
  {"id": "Setpoint", "type": "double", "write_mode": 1, "attributes": {"address": {"node_id": "2:Setpoint"}}},
  {"id": "Broken",   "type": "int32",  "attributes": {"address": {"node_id": "Speed"}}},
  {"id": "Ready",    "type": "bool",   "attributes": {"address": {"node_id": "2:Ready"}}},
  {"id": "Jammed",   "type": "bool",   "attributes": {"address": {"node_id": "Ready"}}}
]})";

const char* kServer = R"({"nodes": [
  {"namespace": 2, "id": "Speed",    "type": "double", "value": 12.5},
  {"namespace": 2, "id": "Name",     "value": "Filler"},
  {"namespace": 2, "id": "Flags",    "type": "uint16", "value": [1, 0, 8, 0]},
  {"namespace": 2, "id": "Setpoint", "type": "double", "value": 20.0},
  {"namespace": 2, "id": "Ready",    "value": false}
]})";

class DaqServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.File("log.conf"), "* GLOBAL:\n   FORMAT = \"%datetime %level %msg\"\n   FILENAME = \"" +
                                        dir.File("daqsvc.log") +
                                        "\"\n   TO_FILE = true\n   TO_STANDARD_OUTPUT = false\n");
    WriteFile(dir.File("press.profile.json"), kProfile);
    WriteFile(dir.File("press.server.json"), kServer);
  }

  json Device(const std::string& id, const std::string& driver = "Quillet.drv") {
    return {{"id", id},
            {"driver", driver},
            {"profile", "press.profile.json"},
            {"channel", {{"simulated_server", "press.server.json"}}}};
  }

  std::string Config(const json& devices) {
    json config = {{"daq_api", api}, {"daq_event", event}, {"cycle_ms", 50}, {"devices", devices}};
    WriteFile(dir.File("daqsvc.json"), config.dump(2));
    return dir.File("daqsvc.json");
  }

  std::unique_ptr<Process> Launch(const std::string& config) {
    Process::Options o;
    o.argv = {BinPath("pemrix-daqsvc"), config};
    o.cwd = dir.Path();
    o.output = dir.File("daqsvc.out");
    auto p = std::make_unique<Process>(o);
    EXPECT_TRUE(p->Start());
    return p;
  }

  std::unique_ptr<Process> LaunchReady(const json& devices) {
    auto p = Launch(Config(devices));
    EXPECT_TRUE(WaitUntil([&] { return Log().find("DAQ Service Started") != std::string::npos; }, 20s)) << Log();
    return p;
  }

  std::string Log() { return ReadFile(dir.File("daqsvc.log")); }

  json Read(const json& parameters, const std::string& device = "press") {
    return RpcCall(api, "ReadParameter", {{"device_id", device}, {"parameters", parameters}});
  }

  TempDir dir{"pemrix-daqsvc"};
  std::string api = dir.Ipc("daq.api");
  std::string event = dir.Ipc("daq.event");
};

TEST_F(DaqServiceTest, ReadsWritesAndRefusesBadRequestsWithErrorObjects) {
  auto p = LaunchReady(json::array({Device("press")}));
  json response;
  ASSERT_TRUE(WaitUntil(
      [&] {
        response = Read({"Speed", "Name", "Flags", "Missing", "Broken", "Ready", "Jammed"});
        return response["result"]["values"]["Speed"] == 12.5;
      },
      10s))
      << response.dump() << Log();
  EXPECT_EQ(response["id"], 7);
  // Not in the profile, and in the profile without a usable tag: both null,
  // never the driver's "false" for an unknown id.
  EXPECT_EQ(response["result"]["values"], json::parse(R"({"Speed": 12.5, "Name": "Filler", "Flags": [1, 0, 8, 0],
      "Missing": null, "Broken": null, "Ready": false, "Jammed": null})"));
  EXPECT_EQ(Read(json::array())["result"], json({{"values", json::object()}}));

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
    EXPECT_EQ(response["id"], 7);
    EXPECT_FALSE(response.contains("result"));
  }

  // Device writes go out with the next cycle and come back with the one after.
  json w = RpcCall(api, "WriteParameter", {{"device_id", "press"}, {"parameter", "Setpoint"}, {"value", 42.5}});
  EXPECT_EQ(w["result"], 1) << w.dump();
  w = RpcCall(api, "WriteParameter", {{"device_id", "press"}, {"parameter", "Flags"}, {"value", 5}, {"indices", {2}}});
  EXPECT_EQ(w["result"], 1) << w.dump();
  json values;
  EXPECT_TRUE(WaitUntil(
      [&] {
        values = Read({"Setpoint", "Flags"})["result"]["values"];
        return values["Setpoint"] == 42.5 && values["Flags"] == json::array({1, 0, 5, 0});
      },
      10s))
      << values.dump() << Log();
  EXPECT_NE(Log().find("WriteParameter press/Setpoint = 42.5 : 1"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("INFO 'nn_recv'"), std::string::npos) << "polls are not logged one by one";
}

TEST_F(DaqServiceTest, PublishesEveryUpdateAsAnEvent) {
  auto p = LaunchReady(json::array({Device("press"), Device("second")}));
  EventSubscriber subscriber(event);
  std::set<std::string> devices;
  json last;
  ASSERT_TRUE(WaitUntil(
      [&] {
        json e = subscriber.Next(1s);
        if (e.is_null()) return false;
        last = e;
        EXPECT_EQ(e["event"], "DeviceUpdate");
        if (e["params"]["parameters"]["Speed"] == 12.5 && e["params"]["connected"] == true)
          devices.insert(e["params"]["device_id"].get<std::string>());
        return devices.size() == 2;
      },
      10s))
      << last.dump() << Log();
  EXPECT_EQ(last["params"]["parameters"]["Name"], "Filler");
}

TEST_F(DaqServiceTest, LeavesOutUnusableDevicesStopsOnSigtermAndFailsWithoutAny) {
  // A device that cannot start is logged and the others run.
  {
    json devices = json::array({Device("ghost", "Missing.drv"), json{{"id", "press"}}, Device("press")});
    auto p = LaunchReady(devices);
    EXPECT_NE(Log().find("Driver cannot be loaded!"), std::string::npos) << Log();
    EXPECT_NE(Log().find("devices[1].driver : expected a string, found nothing"), std::string::npos) << Log();
    EXPECT_TRUE(Read({"Name"}).contains("result"));
    EXPECT_EQ(Read({"Name"}, "ghost")["error"]["code"], -32001);

    // A second instance on the same endpoint gives up at once.
    auto second = Launch(dir.File("daqsvc.json"));
    ASSERT_TRUE(second->Wait(20s));
    EXPECT_EQ(second->ExitCode(), 1);

    // SIGTERM stops the devices in order and frees the endpoint.
    p->Signal(SIGTERM);
    ASSERT_TRUE(p->Wait(10s)) << Log();
    EXPECT_EQ(p->ExitCode(), 0) << Log() << p->Output();
    EXPECT_NE(Log().find("Signal Code = 15"), std::string::npos) << Log();
    EXPECT_NE(Log().find("Device Stopped = press"), std::string::npos) << Log();
    auto again = LaunchReady(json::array({Device("press")}));
    EXPECT_TRUE(Read({"Name"}).contains("result"));
  }
  // Nothing usable, or no configuration at all: exit status 1.
  for (const std::string& config : {Config(json::array({Device("ghost", "Missing.drv")})), dir.File("absent.json")}) {
    WriteFile(dir.File("daqsvc.log"), "");
    auto p = Launch(config);
    ASSERT_TRUE(p->Wait(20s)) << config;
    EXPECT_EQ(p->ExitCode(), 1) << Log();
  }
}

}  // namespace
