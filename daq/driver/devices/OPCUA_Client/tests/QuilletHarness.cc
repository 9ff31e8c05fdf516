#include "QuilletHarness.h"

#include <dlfcn.h>

#include "TestSupport.h"

namespace quillet_test {

const Plugin& LoadPlugin() {
  static const Plugin plugin = [] {
    Plugin p;
    std::string path = pemrix::testing::BinPath("Quillet.drv");
    p.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!p.handle) {
      p.error = dlerror();
      return p;
    }
    p.create = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(p.handle, kCreateDeviceDriverSymbol));
    p.nodeStringParse =
        reinterpret_cast<void (*)(const std::string&, int&, std::string&)>(dlsym(p.handle, kNodeStringParseSymbol));
    return p;
  }();
  return plugin;
}

void DriverTest::SetUp() {
  const Plugin& plugin = LoadPlugin();
  ASSERT_NE(plugin.handle, nullptr) << plugin.error;
  ASSERT_NE(plugin.create, nullptr);
  server = std::make_shared<SimulatedServer>();
  channel = std::make_shared<OPCUA_ClientChannelDriver>(server);
  driver = plugin.create();
  ASSERT_NE(driver, nullptr);
}

json DriverTest::Probe(const json& profile, json config) {
  device = std::make_shared<Device>("Filler", VESK::DAQ::Profile::LoadFromJSON(profile));
  driver->OnProbe(device.get(), config, channel, std::make_shared<WorkLogProxy>("Filler"));
  return config;
}

json DriverTest::Update() {
  json out;
  driver->OnPerformUpdating(out);
  return out["parameters"];
}

std::vector<size_t> DriverTest::ReadBatches() const {
  std::vector<size_t> sizes;
  for (const auto& call : server->Calls())
    if (call.kind == SimulatedServer::Call::Read) sizes.push_back(call.nodes.size());
  return sizes;
}

std::vector<std::string> DriverTest::WrittenNodes() const {
  std::vector<std::string> nodes;
  for (const auto& call : server->Calls())
    if (call.kind == SimulatedServer::Call::Write) {
      EXPECT_EQ(call.nodes.size(), 1u) << "one node per WriteNodes call";
      nodes.insert(nodes.end(), call.nodes.begin(), call.nodes.end());
    }
  return nodes;
}

int DriverTest::Write(const std::string& id, const json& value, const std::vector<int>& indices) {
  return driver->WriteParameter(id, DataValueBase::FromJson(value), indices);
}

json Param(const std::string& id, const json& type, const json& extra) {
  json p = {{"id", id}, {"type", type}, {"attributes", {{"address", {{"node_id", "2:" + id}}}}}};
  for (const auto& [key, value] : extra.items()) p[key] = value;
  return p;
}

json ProfileDoc(const std::vector<json>& parameters) { return {{"name", "Filler"}, {"parameters", parameters}}; }

}  // namespace quillet_test
