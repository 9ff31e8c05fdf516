#pragma once
// The data logger's one gateway to the acquisition service.
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace VESK {

class JsonRpcClient;

// Shared by every measurement. Owns its JSON-RPC client exclusively (the
// socket closes when the last holder lets go) and serialises calls on it.
class DAQServiceProxy {
 public:
  // Connects lazily to url; each call waits at most timeoutMs to send and
  // as long again for the answer.
  explicit DAQServiceProxy(const std::string& url, int timeoutMs = 5000);
  ~DAQServiceProxy();
  DAQServiceProxy(const DAQServiceProxy&) = delete;
  DAQServiceProxy& operator=(const DAQServiceProxy&) = delete;

  // One "ReadParameter" call for one tag of one device, holding the lock for
  // the whole exchange. On success value = result.values[parameter] (null
  // when the service did not return that tag). A failed exchange, an error
  // answer or a result of the wrong shape returns false and leaves value
  // untouched.
  bool Read(const std::string& deviceId, const std::string& parameter, nlohmann::json& value);

 private:
  std::unique_ptr<JsonRpcClient> _client;
  std::mutex _lock;  // guards _client for the whole exchange
};

}  // namespace VESK
