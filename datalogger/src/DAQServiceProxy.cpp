#include "DAQServiceProxy.h"

#include <easylogging++.h>

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

}  // namespace

DAQServiceProxy::DAQServiceProxy(const std::string& url, int timeoutMs)
    : _url(url), _client(std::make_unique<JsonRpcClient>(url)) {
  _client->SetTimeout(timeoutMs);
}

DAQServiceProxy::~DAQServiceProxy() = default;

bool DAQServiceProxy::Call(const std::string& deviceId, const std::vector<std::string>& tags, nlohmann::json& values) {
  std::lock_guard<std::mutex> guard(_lock);
  const nlohmann::json params = {{"device_id", deviceId}, {"parameters", tags}};
  nlohmann::json result;
  std::string repeats;
  if (!_client->Invoke("ReadParameter", params, result)) {
    if (_failureLog.Allow("failed " + deviceId, repeats)) {
      LOG(ERROR) << "ReadParameter failed! " << deviceId << "/" << TagList(tags) << " (" << _url << ")" << repeats;
    }
    return false;
  }
  // Anything but an object (or an object whose "values" is not one) is not
  // an answer to this call: keep the last good values.
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
  if (!Call(deviceId, tags, values)) return false;
  for (const auto& tag : tags) {
    std::string repeats;
    if (values.contains(tag) || !_failureLog.Allow("missing " + deviceId + "/" + tag, repeats)) continue;
    LOG(ERROR) << "ReadParameter no value! " << deviceId << "/" << frame::LogExcerpt(tag) << " (" << _url << ")"
               << repeats;
  }
  return true;
}

}  // namespace VESK
