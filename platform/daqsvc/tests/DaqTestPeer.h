#pragma once
// A local client of the acquisition service over real nanomsg sockets, and the built service in a temporary folder.
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

// A subscriber taking every event from the moment it connects.
class EventSubscriber {
 public:
  explicit EventSubscriber(const std::string& url);
  ~EventSubscriber();
  EventSubscriber(const EventSubscriber&) = delete;
  EventSubscriber& operator=(const EventSubscriber&) = delete;
  // The next event decoded from BSON; null after timeout or for bytes that are not BSON.
  nlohmann::json Next(std::chrono::milliseconds timeout);

 private:
  int _fd;
};

class DaqServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  std::string Config(const nlohmann::json& devices, int cycleMs = 50);  // the file's path
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
