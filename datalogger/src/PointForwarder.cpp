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

}  // namespace

PointForwarder::PointForwarder(std::shared_ptr<IDatabaseDriver> driver, Settings settings,
                               const std::atomic<bool>& cancel)
    : _driver(std::move(driver)), _settings(std::move(settings)), _cancel(cancel) {
  if (_settings.batchLines == 0) _settings.batchLines = 1;
}

PointForwarder::~PointForwarder() { Stop(); }

void PointForwarder::Start() {
  if (_thread.joinable()) return;
  _thread = std::thread([this] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Run();
  });
}

void PointForwarder::Submit(std::vector<std::string> lines) {
  if (lines.empty()) return;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_pending.empty()) {
      _pending = std::move(lines);
    } else {
      _pending.insert(_pending.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
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

void PointForwarder::Run() {
  _driver->SetCancel(&_cancel);
  _store.Open(_settings.queueDir, _settings.limits);
  _stats.queuePoints = _store.Points();
  _stats.queueBytes = _store.Bytes();
  _driver->CreateDatabase();
  std::vector<std::string> taken;
  frame::Heartbeat heartbeat("writer thread");  // watchdog: see Readiness.h
  for (;;) {
    heartbeat.Beat();
    {
      std::unique_lock<std::mutex> lock(_mutex);
      // With queued points, wake for the next retry; otherwise only for new
      // points or the stop; at least every second, for the heartbeat.
      const auto until = std::min(_store.Points() > 0 ? _retryAt : Clock::time_point::max(), Clock::now() + std::chrono::seconds(1));
      _wake.wait_until(lock, until, [&] { return _stopping || !_pending.empty(); });
      taken.swap(_pending);
      if (_stopping) break;
    }
    Handle(taken);
    taken.clear();
    Drain();
  }
  // Everything not yet written waits in the queue for the next start.
  std::lock_guard<std::mutex> lock(_mutex);
  taken.insert(taken.end(), std::make_move_iterator(_pending.begin()), std::make_move_iterator(_pending.end()));
  _pending.clear();
  Queue(taken);
  _driver->SetCancel(nullptr);
}

void PointForwarder::Handle(std::vector<std::string>& lines) {
  if (lines.empty()) return;
  // Only with an empty queue may new points overtake nothing; one batch is
  // sent at once, the rest waits its turn in the queue (bounded memory).
  auto rest = lines.begin();
  if (_store.Points() == 0 && Clock::now() >= _retryAt) {
    const auto end = lines.begin() + static_cast<std::ptrdiff_t>(std::min(lines.size(), _settings.batchLines));
    const auto count = static_cast<std::size_t>(end - lines.begin());
    switch (_driver->WriteLines(Join(lines.begin(), end), count)) {
      case IDatabaseDriver::Outcome::Written:
        Succeeded(count);
        rest = end;
        break;
      case IDatabaseDriver::Outcome::Refused:
        _stats.refused += count;
        rest = end;
        break;
      case IDatabaseDriver::Outcome::Failed:
        Backoff();
        break;
    }
  }
  if (rest != lines.end())
    Queue(std::vector<std::string>(std::make_move_iterator(rest), std::make_move_iterator(lines.end())));
}

void PointForwarder::Drain() {
  if (_store.Points() == 0 || Clock::now() < _retryAt) return;
  if (_cancel) {
    // Stopping: the loop thread ends this thread in a moment; do not spin.
    _retryAt = Clock::now() + std::chrono::milliseconds(50);
    return;
  }
  std::string body;
  std::int64_t lastId = 0;
  const std::size_t count = _store.Peek(_settings.batchLines, body, lastId);
  if (count == 0) return;
  const auto outcome = _driver->WriteLines(body, count);
  if (outcome == IDatabaseDriver::Outcome::Failed) return Backoff();
  // Removed only after the answer: a crash in between sends the batch again,
  // and the server stores a point with the same series and time only once.
  _store.Remove(lastId, count, body.size());
  _stats.queuePoints = _store.Points();
  _stats.queueBytes = _store.Bytes();
  if (outcome == IDatabaseDriver::Outcome::Written) {
    Succeeded(count);
  } else {
    _stats.refused += count;
  }
  if (_store.Points() == 0) LOG(INFO) << "Point Queue Empty, all queued points written";
}

void PointForwarder::Queue(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  std::int64_t dropped = 0;
  if (!_store.Append(lines, dropped)) dropped = static_cast<std::int64_t>(lines.size());
  _stats.queued += lines.size() - static_cast<std::size_t>(dropped);
  _stats.queuePoints = _store.Points();
  _stats.queueBytes = _store.Bytes();
  if (dropped == 0) return;
  _stats.dropped += static_cast<std::uint64_t>(dropped);
  if (!_fullEpisode && !_store.IsOpen())
    LOG(ERROR) << "Point Queue Unusable! points that cannot be written now are dropped: " << dropped
               << " now, counted from here on";
  else if (!_fullEpisode)
    LOG(ERROR) << "Point Queue Full! oldest points dropped: " << dropped << " now, counted from here on (bounds "
               << _settings.limits.maxPoints << " points, " << _settings.limits.maxBytes << " bytes)";
  _fullEpisode = true;
}

void PointForwarder::Backoff() {
  // Doubling from retryMin up to retryMax, each wait drawn from its upper
  // half, so loggers that lost the same server do not return in step.
  const long long limit = _settings.retryMax.count();
  long long wait = _settings.retryMin.count();
  for (int i = 0; i < _failures && wait < limit; ++i) wait *= 2;
  wait = std::min(wait, limit);
  ++_failures;
  std::uniform_int_distribution<long long> jitter(wait / 2, wait);
  _retryAt = Clock::now() + std::chrono::milliseconds(jitter(_random));
}

void PointForwarder::Succeeded(std::size_t points) {
  _stats.written += points;
  _stats.lastWriteNs = WallNs();
  _failures = 0;
  _retryAt = Clock::now();
  if (_fullEpisode && _store.Points() < _settings.limits.maxPoints) _fullEpisode = false;
}

}  // namespace VESK
