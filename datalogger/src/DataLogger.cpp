#include "DataLogger.h"

#include <chrono>
#include <thread>

#include "ServiceFrame.h"

namespace VESK {

void DataLogger::Run() {
  while (!_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  frame::LogPendingSignal();
}

}  // namespace VESK
