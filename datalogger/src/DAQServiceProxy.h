#pragma once
// The data logger's one gateway to the acquisition service.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <thread>
#include <vector>

#include "LogThrottle.h"

namespace VESK {

class JsonRpcClient;

// Shared by every measurement. Owns its JSON-RPC clients exclusively (the
// sockets close when the last holder lets go): a small pool, so that the
// calls of one pass to several devices are in flight together, each on its
// own socket with its own time-out. One caller at a time uses the pool.
// Answers arrive through the client's bounded reader (size and nesting), so
// nothing here walks an unbounded structure; log lines carry excerpts only.
//
// Outages cost one time-out: a device whose call got no answer (time-out or
// a socket failure) is marked silent, and its reads then fail at once, with
// no I/O, while a prober thread of the proxy (its own socket, the same
// time-out) asks it again with back-off. The first answer, even an error
// answer, ends the outage. Both ends are logged once.
class DAQServiceProxy {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr int kDefaultCallsInFlight = 4;

  // Connects lazily to url; each call waits at most timeoutMs to send and
  // as long again for the answer. At most callsInFlight calls (sockets) at
  // once, at least one.
  explicit DAQServiceProxy(const std::string& url, int timeoutMs = 5000, int callsInFlight = kDefaultCallsInFlight);
  // Waits for a probe in flight (at most twice the time-out).
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

  // One "ReadParameter" call of several, and its outcome as ReadTags gives
  // it (answered, values).
  struct DeviceCall {
    const std::string* device;
    const std::vector<std::string>* tags;
    bool answered = false;
    nlohmann::json* values;  // the caller's, set when answered
  };
  // The calls of one pass, each as ReadTags, at most callsInFlight at once.
  // A call whose socket is busy waits for the next free one; a silent device
  // fails at once as above. Returns when all are done, or as soon as stopFd
  // (when not -1) polls readable: the calls still in flight are then
  // abandoned (not answered, no device marked silent).
  void ReadTags(std::vector<DeviceCall>& calls, int stopFd = -1);

  // Field reads that failed (exchange failed or tag missing), counted by
  // the callers; any thread may read it.
  std::atomic<std::uint64_t> failedReads{0};

 private:
  // The outcome of one call: done when the exchange on client brought an
  // answer (result holds its "result"); true with *call.values set when that
  // answer has the right shape. Marks the device silent when the exchange
  // failed (client closed), logs an error answer otherwise.
  bool Finish(const DeviceCall& call, JsonRpcClient& client, bool done, nlohmann::json& result);
  // True while deviceId is silent: the call is not made.
  bool Silent(const std::string& deviceId);
  void MarkSilent(const std::string& deviceId, const std::vector<std::string>& tags);
  void ProbeLoop();

  // A device that did not answer: when to ask it next, and what.
  struct Outage {
    Clock::time_point probeAt;
    Clock::duration backoff;
    std::vector<std::string> tags;
  };

  std::string _url;  // named in failure lines beside device and tags
  int _timeoutMs;
  std::vector<std::unique_ptr<JsonRpcClient>> _pool;  // sockets open on first use
  // Keyed by device (and tag): a device that stays away logs once a minute.
  frame::LogThrottle _failureLog;
  std::mutex _lock;  // guards _pool for the whole of a ReadTags

  // Between probes of a silent device: doubling from the first to the last.
  const Clock::duration _backoffMin = std::chrono::milliseconds(200), _backoffMax = std::chrono::seconds(5);
  std::mutex _outageLock;  // guards _silent and _closing; never held across a call
  std::condition_variable _outageChanged;
  std::map<std::string, Outage> _silent;
  bool _closing = false;
  std::thread _prober;  // started with the first outage
};

}  // namespace VESK
