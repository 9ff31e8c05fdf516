#include "PointForwarder.h"

#include <easylogging++.h>
#include <signal.h>

#include <algorithm>

#include "IDatabaseDriver.h"
#include "Readiness.h"

namespace VESK {

namespace {

std::string Join(std::vector<std::string>::const_iterator begin, std::vector<std::string>::const_iterator end) {
  std::string body;
  for (auto it = begin; it != end; ++it) {
    if (it != begin) body += '\n';
    body += *it;
  }
  return body;
}

std::int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The bytes (without line ends) of the first lines lines of body.
std::int64_t LineBytes(const std::string& body, std::size_t lines) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < lines && end != std::string::npos; ++i) end = body.find('\n', i ? end + 1 : 0);
  if (end == std::string::npos) end = body.size();
  return static_cast<std::int64_t>(end) - static_cast<std::int64_t>(lines > 0 ? lines - 1 : 0);
}

// Lines held in memory while the queue fails, waiting for the writer.
constexpr std::size_t kMaxPendingLines = 100000;

}  // namespace

PointForwarder::PointForwarder(std::shared_ptr<IDatabaseDriver> driver, Settings settings,
                               const std::atomic<bool>& cancel)
    : _driver(std::move(driver)), _settings(std::move(settings)), _cancel(cancel) {
  if (_settings.batchLines == 0) _settings.batchLines = 1;
  _batch = _settings.batchLines;
}

PointForwarder::~PointForwarder() { Stop(); }

void PointForwarder::Start() {
  if (_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_storeMutex);
    _store.Open(_settings.queueDir, _settings.limits);
    _stats.queuePoints = _store.Points();
    _stats.queueBytes = _store.Bytes();
    _backlog = _store.Points() > 0;
  }
  _thread = std::thread([this] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "logger-writer");  // for top -H and the benchmarks
    Run();
  });
}

void PointForwarder::Submit(std::vector<std::string> lines) {
  if (lines.empty()) return;
  bool queued;
  {
    std::lock_guard<std::mutex> lock(_storeMutex);
    queued = Queue(lines);
  }
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (queued) {
      _appended = true;
    } else {
      _pending.insert(_pending.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
      if (_pending.size() > kMaxPendingLines) {
        const std::size_t excess = _pending.size() - kMaxPendingLines;
        _pending.erase(_pending.begin(), _pending.begin() + static_cast<std::ptrdiff_t>(excess));
        _stats.dropped += excess;
      }
    }
  }
  _wake.notify_one();
}

void PointForwarder::Stop() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stopping = true;
  }
  _wake.notify_one();
  if (_thread.joinable()) _thread.join();
}

PointForwarder::Clock::time_point PointForwarder::NextWake() const {
  if (!StoreUsable()) return _reopenAt;
  if (_stats.queuePoints > 0) return _retryAt;
  return Clock::now() + std::chrono::hours(1);
}

void PointForwarder::Run() {
  _driver->SetCancel(&_cancel);
  _driver->CreateDatabase();
  std::vector<std::string> taken;
  frame::Heartbeat heartbeat("writer thread");  // watchdog: see Readiness.h
  for (;;) {
    heartbeat.Beat();
    Clock::time_point until;
    {
      std::lock_guard<std::mutex> lock(_storeMutex);
      // At least every second, for the heartbeat.
      until = std::min(NextWake(), Clock::now() + std::chrono::seconds(1));
    }
    {
      std::unique_lock<std::mutex> lock(_mutex);
      // New queued points wake the writer only when it is not backing off.
      _wake.wait_until(lock, until,
                       [&] { return _stopping || !_pending.empty() || (_appended && Clock::now() >= _retryAt); });
      _appended = false;
      taken.swap(_pending);
      if (_stopping) break;
    }
    Reopen();
    SendDirect(taken);
    taken.clear();
    Drain();
  }
  // What the queue could not take is kept if it can take it now.
  std::lock_guard<std::mutex> lock(_mutex);
  taken.insert(taken.end(), std::make_move_iterator(_pending.begin()), std::make_move_iterator(_pending.end()));
  _pending.clear();
  std::lock_guard<std::mutex> storeLock(_storeMutex);
  if (!taken.empty() && !Queue(taken)) _stats.dropped += taken.size();
  _driver->SetCancel(nullptr);
}

bool PointForwarder::Queue(const std::vector<std::string>& lines) {
  if (lines.empty()) return true;
  std::int64_t dropped = 0;
  if (!StoreUsable() || !_store.Append(lines, dropped)) return false;
  _storeFailures = 0;
  _stats.queued += lines.size() - static_cast<std::size_t>(dropped);
  _stats.queuePoints = _store.Points();
  _stats.queueBytes = _store.Bytes();
  if (dropped == 0) return true;
  _stats.dropped += static_cast<std::uint64_t>(dropped);
  if (!_fullEpisode)
    LOG(ERROR) << "Point Queue Full! oldest points dropped: " << dropped << " now, counted from here on (bounds "
               << _settings.limits.maxPoints << " points, " << _settings.limits.maxBytes << " bytes)";
  _fullEpisode = true;
  return true;
}

void PointForwarder::Reopen() {
  std::lock_guard<std::mutex> lock(_storeMutex);
  if (StoreUsable() || Clock::now() < _reopenAt) return;
  _store.Close();
  if (_store.Open(_settings.queueDir, _settings.limits)) {
    if (_store.Points() > 0) _backlog = true;
  } else {
    _reopenAt = Backoff(_storeFailures);
  }
  _stats.queuePoints = _store.Points();
  _stats.queueBytes = _store.Bytes();
}

void PointForwarder::SendDirect(std::vector<std::string>& lines) {
  if (lines.empty()) return;
  {
    std::lock_guard<std::mutex> lock(_storeMutex);
    if (Queue(lines)) return;
    if (_store.IsOpen()) StoreFailed();  // it failed just now
  }
  for (std::size_t at = 0; at < lines.size();) {
    const std::size_t count = std::min(lines.size() - at, _batch);
    IDatabaseDriver::WriteResult result;
    if (Clock::now() >= _retryAt && !_cancel) {
      const auto begin = lines.begin() + static_cast<std::ptrdiff_t>(at);
      result = _driver->WriteLines(Join(begin, begin + static_cast<std::ptrdiff_t>(count)), count);
    }
    Written(result.done, result.refused);
    if (result.done < count) {
      // Neither queued nor written: lost, and counted.
      _stats.dropped += lines.size() - at - result.done;
      _lost += lines.size() - at - result.done;
      if (result.failure != IDatabaseDriver::Failure::None) _retryAt = Backoff(_failures);
      return;
    }
    at += count;
  }
}

void PointForwarder::Drain() {
  if (Clock::now() < _retryAt) return;
  if (_cancel) {
    // Stopping: the loop thread ends this thread in a moment; do not spin.
    _retryAt = Clock::now() + std::chrono::milliseconds(50);
    return;
  }
  std::string body;
  std::int64_t lastId = 0;
  std::vector<std::int64_t> ids;
  {
    std::lock_guard<std::mutex> lock(_storeMutex);
    _stats.queuePoints = _store.Points();
    if (!StoreUsable() || _store.Points() == 0) return;
    _store.Peek(_batch, body, lastId, &ids);
    if (_store.Broken()) StoreFailed();
    _stats.queuePoints = _store.Points();
  }
  if (ids.empty()) return;
  const auto result = _driver->WriteLines(body, ids.size());
  if (result.done > 0) {
    // Removed only after the answer: a crash in between sends the lines
    // again, and the server stores a point with the same series and time
    // only once.
    std::lock_guard<std::mutex> lock(_storeMutex);
    if (!_store.Remove(ids[result.done - 1], result.done, LineBytes(body, result.done)))
      StoreFailed();  // closed and opened again first
    _stats.queuePoints = _store.Points();
    _stats.queueBytes = _store.Bytes();
  }
  Written(result.done, result.refused);
  if (result.done > 0 && Clock::now() >= _checkpointAt) {
    _checkpointAt = Clock::now() + std::chrono::seconds(1);
    _store.Checkpoint();  // its syncs must not hold up Submit: unlocked
  }
  if (result.failure == IDatabaseDriver::Failure::TimedOut) _batch = std::max<std::size_t>(1, ids.size() / 2);
  if (result.failure != IDatabaseDriver::Failure::None) {
    _backlog = true;
    _retryAt = result.failure == IDatabaseDriver::Failure::Cancelled ? Clock::now() + std::chrono::milliseconds(50)
                                                                     : Backoff(_failures);
    return;
  }
  // A batch crossed: grow back towards the configured size.
  _batch = std::min(_settings.batchLines, _batch * 2);
  if (_stats.queuePoints == 0 && _backlog) {
    if (_lost == 0)
      LOG(INFO) << "Point Queue Empty, all queued points written";
    else
      LOG(INFO) << "Point Queue Empty, " << _lost << " points of the backlog refused or dropped";
    _backlog = false;
    _lost = 0;
  }
}

void PointForwarder::StoreFailed() {
  // Once per failure: later calls must not push the reopen ever further.
  if (Clock::now() >= _reopenAt) _reopenAt = Backoff(_storeFailures);
}

PointForwarder::Clock::time_point PointForwarder::Backoff(int& failures) {
  // Doubling from retryMin up to retryMax, each wait drawn from its upper
  // half, so loggers that lost the same server do not return in step.
  const long long limit = _settings.retryMax.count();
  long long wait = _settings.retryMin.count();
  for (int i = 0; i < failures && wait < limit; ++i) wait *= 2;
  wait = std::min(wait, limit);
  ++failures;
  std::uniform_int_distribution<long long> jitter(wait / 2, wait);
  return Clock::now() + std::chrono::milliseconds(jitter(_random));
}

void PointForwarder::Written(std::size_t done, std::size_t refused) {
  if (done == 0) return;
  _stats.written += done - refused;
  _stats.refused += refused;
  _lost += refused;
  if (done > refused) _stats.lastWriteNs = WallNs();
  _failures = 0;
  _retryAt = Clock::now();
  std::lock_guard<std::mutex> lock(_storeMutex);
  if (_fullEpisode && _store.Points() < _settings.limits.maxPoints / 2) _fullEpisode = false;
}

}  // namespace VESK
