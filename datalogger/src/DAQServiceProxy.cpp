#include "DAQServiceProxy.h"

#include <easylogging++.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>

#include "BoundedJson.h"
#include "JsonRpcClient.h"

namespace VESK {

namespace {

// The tags of one call, comma-separated; a long list is cut to an excerpt.
std::string TagList(const std::vector<std::string>& tags) {
  std::string list;
  for (const auto& tag : tags) list += (list.empty() ? "" : ",") + tag;
  return frame::LogExcerpt(list);
}

nlohmann::json Params(const std::string& deviceId, const std::vector<std::string>& tags) {
  return {{"device_id", deviceId}, {"parameters", tags}};
}

}  // namespace

DAQServiceProxy::DAQServiceProxy(const std::string& url, int timeoutMs, int callsInFlight)
    : _url(url), _timeoutMs(timeoutMs) {
  for (int i = 0; i < std::max(1, callsInFlight); ++i) {
    _pool.push_back(std::make_unique<JsonRpcClient>(url));
    _pool.back()->SetTimeout(timeoutMs);
  }
}

DAQServiceProxy::~DAQServiceProxy() {
  {
    std::lock_guard<std::mutex> guard(_outageLock);
    _closing = true;
  }
  _outageChanged.notify_all();
  if (_prober.joinable()) _prober.join();
}

bool DAQServiceProxy::Silent(const std::string& deviceId) {
  std::lock_guard<std::mutex> guard(_outageLock);
  return !_silent.empty() && _silent.count(deviceId) > 0;
}

void DAQServiceProxy::MarkSilent(const std::string& deviceId, const std::vector<std::string>& tags) {
  {
    std::lock_guard<std::mutex> guard(_outageLock);
    if (!_silent.emplace(deviceId, Outage{Clock::now() + _backoffMin, _backoffMin, tags}).second) return;
    if (!_prober.joinable()) _prober = std::thread([this] { ProbeLoop(); });
  }
  _outageChanged.notify_all();
  LOG(ERROR) << "ReadParameter failed! " << deviceId << "/" << TagList(tags) << " (" << _url
             << ") : no answer, reads of " << deviceId << " fail at once until it answers again";
}

void DAQServiceProxy::ProbeLoop() {
  sigset_t all;  // signals belong to the loop thread
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  JsonRpcClient client(_url);
  client.SetTimeout(_timeoutMs);
  std::unique_lock<std::mutex> lock(_outageLock);
  while (!_closing) {
    auto next = std::min_element(_silent.begin(), _silent.end(),
                                 [](const auto& a, const auto& b) { return a.second.probeAt < b.second.probeAt; });
    if (next == _silent.end()) {
      _outageChanged.wait(lock);
      continue;
    }
    if (next->second.probeAt > Clock::now()) {
      _outageChanged.wait_until(lock, next->second.probeAt);
      continue;
    }
    const std::string device = next->first;
    const nlohmann::json params = Params(device, next->second.tags);
    lock.unlock();
    nlohmann::json result;
    // An error answer still proves the device answers; the socket stays
    // open then, and is closed only by a failed exchange.
    const bool answered = client.Invoke("ReadParameter", params, result) || client.IsOpen();
    lock.lock();
    auto outage = _silent.find(device);
    if (outage == _silent.end()) continue;
    if (answered) {
      _silent.erase(outage);
      LOG(INFO) << "ReadParameter answers again : " << device << " (" << _url << ")";
    } else {
      outage->second.backoff = std::min(outage->second.backoff * 2, _backoffMax);
      outage->second.probeAt = Clock::now() + outage->second.backoff;
    }
  }
}

bool DAQServiceProxy::Finish(const DeviceCall& call, JsonRpcClient& client, bool done, nlohmann::json& result) {
  const std::string& deviceId = *call.device;
  const std::vector<std::string>& tags = *call.tags;
  std::string repeats;
  if (!done) {
    // A closed socket means the exchange itself failed (no answer in time).
    if (!client.IsOpen()) {
      MarkSilent(deviceId, tags);
    } else if (_failureLog.Allow("failed " + deviceId, repeats)) {
      LOG(ERROR) << "ReadParameter failed! " << deviceId << "/" << TagList(tags) << " (" << _url << ")" << repeats;
    }
    return false;
  }
  // Anything but an object (or an object whose "values" is not one) is not
  // an answer to this call: no values from it.
  auto found = result.is_object() ? result.find("values") : result.end();
  if (!result.is_null() &&
      (!result.is_object() || (found != result.end() && !found->is_null() && !found->is_object()))) {
    if (_failureLog.Allow("invalid " + deviceId, repeats)) {
      LOG(ERROR) << "ReadParameter Result Invalid! " << deviceId << "/" << TagList(tags) << " (" << _url
                 << ") : " << frame::LogExcerpt(frame::SafeDump(result)) << repeats;
    }
    return false;
  }
  if (result.is_null() || found == result.end() || found->is_null()) {
    *call.values = nlohmann::json::object();
  } else {
    *call.values = std::move(*found);
  }
  return true;
}

void DAQServiceProxy::ReadTags(std::vector<DeviceCall>& calls, int stopFd) {
  using Step = JsonRpcClient::Step;
  std::lock_guard<std::mutex> guard(_lock);
  struct Slot {
    std::size_t call = 0;
    bool busy = false, sending = false;
    Clock::time_point deadline{};  // of the send, then of the answer
  };
  std::vector<Slot> slots(_pool.size());
  const auto timeout = std::chrono::milliseconds(_timeoutMs);
  std::size_t next = 0;
  // The next call that is not failing fast goes out on slot s.
  auto startNext = [&](std::size_t s) {
    slots[s].busy = false;
    while (next < calls.size() && !slots[s].busy) {
      DeviceCall& call = calls[next];
      slots[s] = {next++, true, true, Clock::now() + timeout};
      if (Silent(*call.device)) {
        slots[s].busy = false;
      } else if (!_pool[s]->Start("ReadParameter", Params(*call.device, *call.tags))) {
        nlohmann::json none;
        slots[s].busy = false;
        call.answered = Finish(call, *_pool[s], false, none);
      }
    }
  };
  for (std::size_t s = 0; s < slots.size(); ++s) startNext(s);
  std::vector<pollfd> fds;
  std::vector<std::size_t> waiting;  // the slot of each of fds but the last
  for (;;) {
    // Every call steps as far as it can without waiting; then one poll for
    // all that wait, the stop descriptor among them.
    fds.clear();
    waiting.clear();
    auto until = Clock::time_point::max();
    for (std::size_t s = 0; s < slots.size(); ++s) {
      Slot& slot = slots[s];
      JsonRpcClient& client = *_pool[s];
      while (slot.busy) {
        DeviceCall& call = calls[slot.call];
        nlohmann::json result;
        const Step step = slot.sending ? client.Send() : client.Receive(result);
        if (step == Step::Done && slot.sending) {
          slot.sending = false;
          slot.deadline = Clock::now() + timeout;
          continue;
        }
        if (step == Step::Again && Clock::now() < slot.deadline) {
          fds.push_back({client.WaitFd(slot.sending), POLLIN, 0});
          waiting.push_back(s);
          until = std::min(until, slot.deadline);
          break;
        }
        if (step == Step::Again) client.GiveUp(slot.sending);  // its time is up: closed, logged
        call.answered = Finish(call, client, step == Step::Done, result);
        startNext(s);
      }
    }
    if (waiting.empty()) return;
    if (stopFd >= 0) fds.push_back({stopFd, POLLIN, 0});
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    // A signal ends the wait early; the calls then step again.
    poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
    if (stopFd >= 0 && (fds.back().revents & POLLIN)) {
      for (std::size_t s : waiting) _pool[s]->Close();  // nothing of them may arrive later
      return;
    }
  }
}

bool DAQServiceProxy::Read(const std::string& deviceId, const std::string& parameter, nlohmann::json& value) {
  nlohmann::json values;
  if (!ReadTags(deviceId, {parameter}, values)) return false;
  auto it = values.find(parameter);
  value = (it == values.end()) ? nlohmann::json() : *it;
  return true;
}

bool DAQServiceProxy::ReadTags(const std::string& deviceId, const std::vector<std::string>& tags,
                               nlohmann::json& values) {
  // A tag missing from the answer is reported by the measurement that asked
  // for it, once per episode.
  std::vector<DeviceCall> calls{{&deviceId, &tags, false, &values}};
  ReadTags(calls);
  return calls[0].answered;
}

}  // namespace VESK
