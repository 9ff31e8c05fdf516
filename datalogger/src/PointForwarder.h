#pragma once
// Store and forward: the data logger's writer thread. The loop thread hands
// over the points of each pass (Submit never waits for the database server):
// they enter the durable PointStore first, in one transaction, so a killed
// process loses nothing it read. The writer sends the queue's oldest lines
// in batches and removes what the server took or refused for good; whatever
// cannot be written now (unreachable, time-out, 5xx, refused credentials)
// stays and is sent later with back-off, with its original timestamp. While
// the queue itself fails (full disk, unreadable file) points go straight to
// the server, the queue is opened again with back-off, and only what the
// server does not take then is counted as dropped.
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
  using Clock = std::chrono::steady_clock;

 public:
  struct Settings {
    std::string queueDir;
    PointStore::Limits limits;
    std::size_t batchLines = 5000;  // lines per request (after a time-out fewer, down to 1)
    std::chrono::milliseconds retryMin{500}, retryMax{30000};
  };

  // Counters for the operator (self-metrics, log); any thread may read.
  struct Stats {
    std::atomic<std::uint64_t> written{0};  // points the server accepted
    std::atomic<std::uint64_t> queued{0};   // points put into the queue
    std::atomic<std::uint64_t> dropped{0};  // points dropped: a full queue, or not written while it failed
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

  // Opens the queue, then starts the writer thread: it creates the database,
  // then sends. Signals are blocked in it, so they reach the loop thread.
  void Start();
  // Hands over lines (no line ends) in order: one queue transaction, or, while
  // the queue fails, into memory for the writer to send (bounded).
  void Submit(std::vector<std::string> lines);
  // Ends the writer thread (promptly once cancel is true) after putting every
  // point not yet written into the queue. Idempotent.
  void Stop();

  const Stats& Counters() const { return _stats; }

 private:
  void Run();
  // Puts lines into the queue (store mutex held); false when it failed.
  bool Queue(const std::vector<std::string>& lines);
  // Opens the queue again when it failed and its back-off has passed.
  void Reopen();
  // The queue just failed: schedule its reopening (store mutex held).
  void StoreFailed();
  // Sends lines the queue could not take; what fails is dropped.
  void SendDirect(std::vector<std::string>& lines);
  void Drain();
  // Doubling from retryMin up to retryMax with each failure counted in
  // failures, each wait drawn from its upper half.
  Clock::time_point Backoff(int& failures);
  void Written(std::size_t done, std::size_t refused);
  Clock::time_point NextWake() const;
  bool StoreUsable() const { return _store.IsOpen() && !_store.Broken(); }

  std::shared_ptr<IDatabaseDriver> _driver;
  Settings _settings;
  const std::atomic<bool>& _cancel;
  Stats _stats;

  // Guards the members up to _mutex; never held with _mutex. Only the
  // writer thread reopens the store.
  std::mutex _storeMutex;
  PointStore _store;
  bool _fullEpisode = false;
  Clock::time_point _reopenAt{};
  int _storeFailures = 0;

  std::mutex _mutex;  // guards _pending, _appended and _stopping
  std::condition_variable _wake;
  std::vector<std::string> _pending;  // lines the queue could not take
  bool _appended = false;             // lines entered the queue since the last wake
  bool _stopping = false;
  std::thread _thread;

  // Writer thread only.
  Clock::time_point _retryAt{}, _checkpointAt{};
  int _failures = 0;
  std::size_t _batch = 0;   // lines per request: halved after a time-out
  bool _backlog = false;    // points waited for a failure; report the empty queue
  std::uint64_t _lost = 0;  // of them, refused or dropped
  std::mt19937 _random{std::random_device{}()};
};

}  // namespace VESK
