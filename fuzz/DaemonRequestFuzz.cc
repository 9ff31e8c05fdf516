// Bytes to the daemon's request handler: up to the first zero byte a request,
// the rest upload data; every folder it writes to is a private temporary one.
// Each input goes to a gateway without signing and to one that requires it
// (gateway id "gateway", its clock at the time the corpus was signed).
#include <easylogging++.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

#include "AppConfig.h"
#include "DaemonService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const struct Sandbox {
    std::string dir = "/tmp/pemrix-fuzz-XXXXXX";
    Sandbox() {
      if (!mkdtemp(&dir[0])) abort();
      VESK::AppConfig& config = VESK::AppConfig::Instance;
      config._projectPath = dir + "/Project";
      config._runtimePath = dir + "/Pemrix";
      std::system(("mkdir '" + config._projectPath + "' '" + config._runtimePath + "'").c_str());
      el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
      std::ofstream(dir + "/mqtt.json")
          << R"({"mqtt_topic_root": "t", "signing": {"trusted_keys": [")" PEMRIX_FUZZ_TRUSTED_KEY R"("]},
                 "mqtt_client": {"host": "127.0.0.1", "port": 1, "keep_alive": 5, "reconnect_time": 1,
                                 "encryption_mode": 0}})";
    }
    ~Sandbox() { std::system(("rm -rf '" + dir + "'").c_str()); }
  } sandbox;
  const char* text = reinterpret_cast<const char*>(data);
  const size_t cut = strnlen(text, size);
  for (const char* settings : {"/nonexistent", "mqtt.json"}) {
    VESK::DaemonService service("/nonexistent", sandbox.dir + "/" + settings, sandbox.dir);
    if (settings[0] != '/' && !service.Initial()) abort();
    service._replyHandler = [](const std::string&) {};
    service.Guard().now = [] { return int64_t{1767100000}; };
    service.QueueRequest(text, cut);
    while (service.ExecuteNextRequest()) continue;
    if (cut < size) service.OnUploadData(text + cut + 1, size - cut - 1);
    service.Destory();
  }
  return 0;
}
