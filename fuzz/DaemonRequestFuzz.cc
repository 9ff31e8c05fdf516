// Feeds arbitrary bytes to the daemon's request handler as the broker would:
// the text before the first zero byte arrives on the request topic, the rest
// as one message of upload data. Replies are collected instead of published,
// and uploads, archives, project and runtime live in a private temporary
// folder. Whatever arrives, each request is answered or dropped: no crash,
// no hang, nothing written outside that folder.
#include <easylogging++.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "DaemonService.h"

namespace {

struct Sandbox {
  std::string dir;
  Sandbox() {
    char name[] = "/tmp/pemrix-fuzz-XXXXXX";
    dir = mkdtemp(name) ? name : "/nonexistent";
    mkdir((dir + "/Project").c_str(), 0755);
    mkdir((dir + "/Pemrix").c_str(), 0755);
    VESK::AppConfig& config = VESK::AppConfig::Instance;
    config._projectPath = dir + "/Project";
    config._projectName = "Project";
    config._runtimePath = dir + "/Pemrix";
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  }
  ~Sandbox() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox sandbox;
  // No settings files and no Initial: no broker, no host service.
  VESK::DaemonService service("/nonexistent", "/nonexistent", sandbox.dir);
  std::vector<std::string> replies;
  service._replyHandler = [&replies](const std::string& reply) { replies.push_back(reply); };
  const char* text = reinterpret_cast<const char*>(data);
  const void* zero = std::memchr(text, 0, size);
  const size_t cut = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : size;
  service.QueueRequest(text, cut);
  while (service.ExecuteNextRequest()) {
  }
  if (cut < size) service.OnUploadData(text + cut + 1, size - cut - 1);
  service.Destory();
  return 0;
}
