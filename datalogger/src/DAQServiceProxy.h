#pragma once
// The data logger's one gateway to the acquisition service.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "LogThrottle.h"

namespace VESK {

class JsonRpcClient;

// Shared by every measurement. Owns its JSON-RPC client exclusively (the
// socket closes when the last holder lets go) and serialises calls on it.
// Answers arrive through the client's bounded reader (size and nesting), so
// nothing here walks an unbounded structure; log lines carry excerpts only.
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

  // One "ReadParameter" call for several tags of one device. On success
  // values is the answer's "values" object (empty when it had none); the
  // caller treats a tag missing from it as a failed read of that tag.
  bool ReadTags(const std::string& deviceId, const std::vector<std::string>& tags, nlohmann::json& values);

  // Field reads that failed (exchange failed or tag missing), counted by
  // the callers; any thread may read it.
  std::atomic<std::uint64_t> failedReads{0};

 private:
  // The exchange both reads share; values as for ReadTags.
  bool Call(const std::string& deviceId, const std::vector<std::string>& tags, nlohmann::json& values);

  std::string _url;  // named in failure lines beside device and tags
  std::unique_ptr<JsonRpcClient> _client;
  // Keyed by device (and tag): a device that stays away logs once a minute.
  frame::LogThrottle _failureLog;
  std::mutex _lock;  // guards _client for the whole exchange
};

}  // namespace VESK
