// Bytes to the daemon's request handler: up to the first zero byte a request,
// the rest upload data; every folder it writes to is a private temporary one.
#include <easylogging++.h>
#include <stdlib.h>
#include <string.h>

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
    }
    ~Sandbox() { std::system(("rm -rf '" + dir + "'").c_str()); }
  } sandbox;
  VESK::DaemonService service("/nonexistent", "/nonexistent", sandbox.dir);
  service._replyHandler = [](const std::string&) {};
  const char* text = reinterpret_cast<const char*>(data);
  const size_t cut = strnlen(text, size);
  service.QueueRequest(text, cut);
  while (service.ExecuteNextRequest()) continue;
  if (cut < size) service.OnUploadData(text + cut + 1, size - cut - 1);
  service.Destory();
  return 0;
}
