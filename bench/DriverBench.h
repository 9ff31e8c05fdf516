#pragma once
// What the plug-in benchmarks share: Quillet.drv opened as the acquisition
// service opens it, and one driver probed and started over a given channel.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <easylogging++.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "strata/IDeviceDriver.h"

namespace bench {

[[noreturn]] inline void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::exit(1);
}

struct Driver {
  Driver(const nlohmann::json& params, std::shared_ptr<VESK::DAQ::IChannelDriver> channel, nlohmann::json config) {
    using namespace VESK::DAQ;
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");  // would measure the terminal
    void* plugin = dlopen(pemrix::testing::BinPath("Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin) Fail(dlerror());
    device = std::make_shared<Device>("Bench", Profile::LoadFromJSON({{"name", "Bench"}, {"parameters", params}}));
    driver = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(plugin, kCreateDeviceDriverSymbol))();
    driver->OnProbe(device.get(), config, std::move(channel), nullptr);
    driver->OnStart();
  }
  // One update per iteration; check judges the last output's parameters.
  void Update(benchmark::State& state, bool (*check)(const nlohmann::json&)) {
    nlohmann::json out;
    for (auto _ : state) {
      driver->OnPerformUpdating(out);
      benchmark::DoNotOptimize(out);
    }
    if (!check(out["parameters"])) state.SkipWithError("wrong output");
  }
  std::shared_ptr<VESK::DAQ::Device> device;  // outlives the driver, which points at it
  std::shared_ptr<VESK::DAQ::IDeviceDriver> driver;
};

}  // namespace bench
