#include "Readiness.h"

#include <easylogging++.h>

#include <cstring>

#ifdef PEMRIX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace VESK::frame {

namespace {
void Notify(const char* state) {
#ifdef PEMRIX_HAVE_SYSTEMD
  // 0: not started by a service manager; > 0: sent. Only a failed send is
  // worth a line: the manager would then time out or misjudge the stop.
  int rc = sd_notify(0, state);
  if (rc < 0) LOG(ERROR) << "Service manager notice failed : " << state << " " << std::strerror(-rc);
#else
  (void)state;
#endif
}
}  // namespace

void RunReady(void (*run)()) {
  Notify("READY=1");
  run();
  Notify("STOPPING=1");
}

}  // namespace VESK::frame
