#pragma once
// What the logger benchmarks share: the process's CPU time and a wall-clock
// time as InfluxQL takes it.
#include <sys/resource.h>

#include <chrono>
#include <string>

namespace pemrix::bench {

inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline std::string Ns(std::chrono::system_clock::time_point t) {
  return std::to_string(t.time_since_epoch() / std::chrono::nanoseconds(1));
}

}  // namespace pemrix::bench
