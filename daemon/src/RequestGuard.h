#pragma once
// The daemon's side of signed management: which requests may run at all, and
// which archives an update may install. With no trusted key configured it
// lets everything through unchanged and remembers nothing.
//
// Owned by the service and used on its thread only.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "LogThrottle.h"
#include "RequestSignature.h"

namespace VESK {

class RequestGuard {
 public:
  // Reads the signing settings of the MQTT settings file for the gateway
  // deviceId. False (logged) when signing is configured but unusable.
  bool Load(const std::string& mqttFile, const std::string& deviceId);
  bool Enabled() const { return _verifier.Enabled(); }

  // Replaces request by the signed request it carries when it passes. When
  // it does not: the reply message, with request set to what the reply can
  // be built from (it may lack a command). Refusals are logged once per kind
  // until a request passes again.
  const char* Admit(nlohmann::json& request);

  // Uploads: with signing on, an announcement must name the data's digest,
  // and an archive is installable only while it is what a verified upload
  // left. The refusal message, or nullptr.
  const char* CheckAnnouncement(const nlohmann::json& request) const;
  const char* CheckArchive(const std::string& path) const;
  // An upload to path was announced (forgets what path held) or was
  // received whole with the announced digest.
  void UploadAnnounced(const std::string& path) { _verified.erase(path); }
  void UploadVerified(const std::string& path, const std::string& sha256);

  // Unix seconds for the freshness check; replaceable so that recorded
  // signed requests can be replayed.
  std::function<int64_t()> now = [] { return static_cast<int64_t>(std::time(nullptr)); };

 private:
  RequestVerifier _verifier;
  frame::LogThrottle _refusals{std::chrono::minutes(10)};
  bool _refusing = false;
  // Path of each verified upload and the digest it was received with.
  std::map<std::string, std::string> _verified;
};

}  // namespace VESK
