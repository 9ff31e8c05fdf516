#include "DaemonService.h"

#include <chrono>
#include <thread>

#include "ServiceFrame.h"

namespace VESK {

void DaemonService::Run() {
  while (!_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  frame::LogPendingSignal();
}

}  // namespace VESK
