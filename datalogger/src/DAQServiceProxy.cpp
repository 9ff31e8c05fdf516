#include "DAQServiceProxy.h"

#include <easylogging++.h>
#include <signal.h>

#include <algorithm>
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

DAQServiceProxy::DAQServiceProxy(const std::string& url, int timeoutMs)
    : _url(url), _timeoutMs(timeoutMs), _client(std::make_unique<JsonRpcClient>(url)) {
  _client->SetTimeout(timeoutMs);
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

bool DAQServiceProxy::Call(const std::string& deviceId, const std::vector<std::string>& tags, nlohmann::json& values) {
  if (Silent(deviceId)) return false;
  std::unique_lock<std::mutex> guard(_lock);
  nlohmann::json result;
  std::string repeats;
  if (!_client->Invoke("ReadParameter", Params(deviceId, tags), result)) {
    // A closed socket means the exchange itself failed (no answer in time).
    const bool noAnswer = !_client->IsOpen();
    guard.unlock();
    if (noAnswer) {
      MarkSilent(deviceId, tags);
    } else if (_failureLog.Allow("failed " + deviceId, repeats)) {
      LOG(ERROR) << "ReadParameter failed! " << deviceId << "/" << TagList(tags) << " (" << _url << ")" << repeats;
    }
    return false;
  }
  guard.unlock();
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
    values = nlohmann::json::object();
  } else {
    values = std::move(*found);
  }
  return true;
}

bool DAQServiceProxy::Read(const std::string& deviceId, const std::string& parameter, nlohmann::json& value) {
  nlohmann::json values;
  if (!Call(deviceId, {parameter}, values)) return false;
  auto it = values.find(parameter);
  value = (it == values.end()) ? nlohmann::json() : *it;
  return true;
}

bool DAQServiceProxy::ReadTags(const std::string& deviceId, const std::vector<std::string>& tags,
                               nlohmann::json& values) {
  // A tag missing from the answer is reported by the measurement that asked
  // for it, once per episode.
  return Call(deviceId, tags, values);
}

}  // namespace VESK
