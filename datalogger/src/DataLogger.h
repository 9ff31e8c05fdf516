#pragma once
#include <atomic>
#include <string>

namespace VESK {

// Placeholder service: loops until stopped. Filled by the data-logger work.
class DataLogger {
 public:
  bool Initial(const std::string& projectPath) { (void)projectPath; return true; }
  void Run();
  void Stop() { _stop = true; }
  void Destory() {}

 private:
  std::atomic<bool> _stop{false};
};

}  // namespace VESK
