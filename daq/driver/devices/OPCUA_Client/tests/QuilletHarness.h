#pragma once
// Drives Quillet.drv the way the acquisition service does: the library is
// opened with dlopen, the driver made by its exported factory and used only
// through IDeviceDriver, over a simulated OPC UA server.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"
#include "strata/IDeviceDriver.h"

namespace quillet_test {

using namespace VESK::DAQ;
using json = nlohmann::json;

// NodeStringParse(const std::string&, int&, std::string&) as exported.
inline constexpr const char* kNodeStringParseSymbol =
    "_Z15NodeStringParseRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERiRS4_";

// The plug-in, opened once per test process with RTLD_NOW.
struct Plugin {
  void* handle = nullptr;
  CreateDeviceDriverFunc create = nullptr;
  void (*nodeStringParse)(const std::string&, int&, std::string&) = nullptr;
  std::string error;
};
const Plugin& LoadPlugin();

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Builds the device from a profile document and probes the driver;
  // returns the configuration as the probe left it.
  json Probe(const json& profile, json config = json::object());
  void ProbeAndStart(const json& profile, json config = json::object()) {
    Probe(profile, std::move(config));
    driver->OnStart();
  }
  // out["parameters"] of one OnPerformUpdating.
  json Update();
  // Node counts of the ReadNodes / WriteNodes calls the server saw.
  std::vector<size_t> ReadBatches() const;
  std::vector<std::string> WrittenNodes() const;
  int Write(const std::string& id, const json& value, const std::vector<int>& indices = {});

  std::shared_ptr<SimulatedServer> server;
  std::shared_ptr<OPCUA_ClientChannelDriver> channel;
  std::shared_ptr<Device> device;  // outlives the driver, which only points at it
  std::shared_ptr<IDeviceDriver> driver;
};

// A profile parameter entry addressed at namespace 2 by its own id.
json Param(const std::string& id, const json& type, const json& extra = json::object());
json ProfileDoc(const std::vector<json>& parameters);

}  // namespace quillet_test
