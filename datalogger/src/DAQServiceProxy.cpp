#include "DAQServiceProxy.h"

#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "BoundedJson.h"
#include "JsonRpcClient.h"

namespace VESK {

DAQServiceProxy::DAQServiceProxy(const std::string& url, int timeoutMs)
    : _client(std::make_unique<JsonRpcClient>(url)) {
  _client->SetTimeout(timeoutMs);
}

DAQServiceProxy::~DAQServiceProxy() = default;

bool DAQServiceProxy::Call(const std::string& deviceId, const std::vector<std::string>& tags, nlohmann::json& values) {
  std::lock_guard<std::mutex> guard(_lock);
  const nlohmann::json params = {{"device_id", deviceId}, {"parameters", tags}};
  nlohmann::json result;
  if (!_client->Invoke("ReadParameter", params, result)) return false;
  // Anything but an object (or an object whose "values" is not one) is not
  // an answer to this call: keep the last good values.
  auto found = result.is_object() ? result.find("values") : result.end();
  if (!result.is_null() &&
      (!result.is_object() || (found != result.end() && !found->is_null() && !found->is_object()))) {
    LOG(ERROR) << "ReadParameter Result Invalid! " << deviceId << "/" << (tags.empty() ? "" : tags.front()) << " : "
               << frame::LogExcerpt(frame::SafeDump(result));
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
  return Call(deviceId, tags, values);
}

}  // namespace VESK
