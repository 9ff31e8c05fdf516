#pragma once
// Quillet.drv opened as the acquisition service opens it, one driver started over a channel.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "strata/IDeviceDriver.h"

namespace bench {

inline nlohmann::json Param(const std::string& id, const std::string& type, const std::string& node) {
  return {{"id", id}, {"type", type}, {"attributes", {{"address", {{"node_id", node}}}}}};
}

struct Driver {
  Driver(const nlohmann::json& params, std::shared_ptr<VESK::DAQ::IChannelDriver> channel, nlohmann::json config) {
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");  // would measure the terminal
    void* plugin = dlopen(pemrix::testing::BinPath("Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin) throw std::runtime_error(dlerror());
    auto profile = VESK::DAQ::Profile::LoadFromJSON({{"name", "Bench"}, {"parameters", params}});
    device = std::make_shared<VESK::DAQ::Device>("Bench", profile);
    driver = reinterpret_cast<VESK::DAQ::CreateDeviceDriverFunc>(dlsym(plugin, VESK::DAQ::kCreateDeviceDriverSymbol))();
    driver->OnProbe(device.get(), config, std::move(channel), nullptr);
    driver->OnStart();
  }
  // One update per iteration; check judges the last output's parameters.
  void Update(benchmark::State& state, bool (*check)(const nlohmann::json&)) {
    nlohmann::json out;
    for (auto _ : state) driver->OnPerformUpdating(out);
    if (!check(out["parameters"])) state.SkipWithError("wrong output");
  }
  std::shared_ptr<VESK::DAQ::Device> device;  // outlives the driver, which points at it
  std::shared_ptr<VESK::DAQ::IDeviceDriver> driver;
};

}  // namespace bench
