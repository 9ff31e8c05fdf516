#include "DAQServiceProxy.h"

#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "JsonRpcClient.h"

namespace VESK {

DAQServiceProxy::DAQServiceProxy(const std::string& url, int timeoutMs)
    : _client(std::make_unique<JsonRpcClient>(url)) {
  _client->SetTimeout(timeoutMs);
}

DAQServiceProxy::~DAQServiceProxy() = default;

bool DAQServiceProxy::Read(const std::string& deviceId, const std::string& parameter, nlohmann::json& value) {
  std::lock_guard<std::mutex> guard(_lock);
  const nlohmann::json params = {{"device_id", deviceId}, {"parameters", nlohmann::json::array({parameter})}};
  nlohmann::json result;
  if (!_client->Invoke("ReadParameter", params, result)) return false;
  if (result.is_null()) {
    value = nullptr;
    return true;
  }
  // Anything but an object (or an object whose "values" is not one) is not
  // an answer to this call: keep the last good value.
  auto values = result.is_object() ? result.find("values") : result.end();
  if (!result.is_object() || (values != result.end() && !values->is_null() && !values->is_object())) {
    LOG(ERROR) << "ReadParameter Result Invalid! " << deviceId << "/" << parameter << " : " << result.dump();
    return false;
  }
  if (values == result.end() || values->is_null()) {
    value = nullptr;
    return true;
  }
  auto it = values->find(parameter);
  value = (it == values->end()) ? nlohmann::json() : *it;
  return true;
}

}  // namespace VESK
