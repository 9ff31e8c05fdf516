#pragma once
// Store and forward: the data logger's writer thread. The loop thread hands
// over the points of each pass (Submit never waits for the database); the
// writer sends them in batches, and whatever cannot be written now
// (unreachable, time-out, 5xx) goes to the durable PointStore and is sent
// later, oldest first, with its original timestamp. A batch the server
// refuses as bad data (4xx) is dropped once, never retried.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PointStore.h"

namespace VESK {

class IDatabaseDriver;

class PointForwarder {
 public:
  struct Settings {
    std::string queueDir;
    PointStore::Limits limits;
    std::size_t batchLines = 5000;  // lines per request, new or queued
    std::chrono::milliseconds retryMin{500}, retryMax{30000};
  };

  // Counters for the operator (self-metrics, log); any thread may read.
  struct Stats {
    std::atomic<std::uint64_t> written{0};  // points the server accepted
    std::atomic<std::uint64_t> queued{0};   // points put into the queue
    std::atomic<std::uint64_t> dropped{0};  // points dropped by a full (or unusable) queue
    std::atomic<std::uint64_t> refused{0};  // points the server refused (4xx)
    std::atomic<std::int64_t> queuePoints{0}, queueBytes{0};
    std::atomic<std::int64_t> lastWriteNs{0};  // wall clock of the last accepted batch, 0 never
  };

  // cancel (the program's stop flag) ends any exchange in progress at once;
  // driver is used by the writer thread only from Start to Stop.
  PointForwarder(std::shared_ptr<IDatabaseDriver> driver, Settings settings, const std::atomic<bool>& cancel);
  ~PointForwarder();
  PointForwarder(const PointForwarder&) = delete;
  PointForwarder& operator=(const PointForwarder&) = delete;

  // Starts the writer thread: it opens the queue, creates the database, then
  // sends. Signals are blocked in it, so they reach the loop thread.
  void Start();
  // Hands over lines (no line ends) in order. Takes a lock only briefly.
  void Submit(std::vector<std::string> lines);
  // Ends the writer thread (promptly once cancel is true) after putting every
  // point not yet written into the queue. Idempotent.
  void Stop();

  const Stats& Counters() const { return _stats; }

 private:
  void Run();
  void Handle(std::vector<std::string>& lines);
  void Drain();
  void Queue(const std::vector<std::string>& lines);
  void Backoff();
  void Succeeded(std::size_t points);

  std::shared_ptr<IDatabaseDriver> _driver;
  Settings _settings;
  const std::atomic<bool>& _cancel;
  PointStore _store;  // writer thread only
  Stats _stats;

  std::mutex _mutex;  // guards _pending and _stopping
  std::condition_variable _wake;
  std::vector<std::string> _pending;
  bool _stopping = false;
  std::thread _thread;

  // Writer thread only.
  using Clock = std::chrono::steady_clock;
  Clock::time_point _retryAt{};
  int _failures = 0;
  bool _fullEpisode = false;
  std::mt19937 _random{std::random_device{}()};
};

}  // namespace VESK
