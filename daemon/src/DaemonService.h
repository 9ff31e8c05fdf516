#pragma once
#include <atomic>

namespace VESK {

// Placeholder service: loops until stopped. Filled by the daemon-service work.
class DaemonService {
 public:
  bool Initial() { return true; }
  void Run();
  void Stop() { _stop = true; }
  void Destory() {}

 private:
  std::atomic<bool> _stop{false};
};

}  // namespace VESK
