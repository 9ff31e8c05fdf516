#pragma once
// A local client's view of the acquisition service: JSON-RPC calls and the
// event stream over real nanomsg sockets with bounded waits, and the built
// pemrix-daqsvc run in a temporary folder.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace pemrix::testing {

// One exchange on a fresh request socket: the reply text, "" when none came.
std::string RpcText(const std::string& url, const std::string& text, std::chrono::milliseconds timeout = 5s);
// A call with id 7: the parsed reply, null when none came.
nlohmann::json RpcCall(const std::string& url, const std::string& method, const nlohmann::json& params,
                       std::chrono::milliseconds timeout = 5s);

// Up to count events taken by a fresh subscriber, decoded from BSON (null
// where that fails); fewer when timeout passes between two of them.
std::vector<nlohmann::json> Events(const std::string& url, size_t count, std::chrono::milliseconds timeout);

// pemrix-daqsvc in a temporary folder, logging to daqsvc.log there, on
// endpoints private to the folder.
class DaqServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  std::string Config(const nlohmann::json& devices, int cycleMs = 50);  // the file's path
  // ready: waits (bounded) for the service to start serving.
  std::unique_ptr<Process> Launch(const std::string& config, bool ready = true);
  std::string Log() const { return ReadFile(dir.File("daqsvc.log")); }
  nlohmann::json Read(const nlohmann::json& ids, const std::string& device) {
    return RpcCall(api, "ReadParameter", {{"device_id", device}, {"parameters", ids}});
  }
  nlohmann::json Write(const std::string& device, const std::string& id, const nlohmann::json& value,
                       const nlohmann::json& indices = nlohmann::json::array()) {
    return RpcCall(api, "WriteParameter",
                   {{"device_id", device}, {"parameter", id}, {"value", value}, {"indices", indices}});
  }

  TempDir dir{"pemrix-daqsvc"};
  const std::string api = dir.Ipc("daq.api"), event = dir.Ipc("daq.event");
};

}  // namespace pemrix::testing
