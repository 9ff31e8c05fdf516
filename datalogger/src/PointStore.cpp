#include "PointStore.h"

#include <easylogging++.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace VESK {

bool PointStore::Fail(const char* what, int rc) {
  _broken = true;
  const int code = (rc == SQLITE_OK && _db ? sqlite3_errcode(_db.get()) : rc) & 0xff;
  if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) _corrupt = true;
  if (code == _failing) return false;  // this episode is reported already
  _failing = code;
  if (code == SQLITE_FULL) {
    struct statvfs fs {};
    const long long free = ::statvfs(_dir.c_str(), &fs) == 0 ? static_cast<long long>(fs.f_bavail) * fs.f_frsize : -1;
    LOG(ERROR) << "Point Queue Disk Full! " << _path << " : " << free
               << " bytes free; points go straight to the database until it has room";
  } else {
    LOG(ERROR) << "Point Queue " << what << " Failed! " << _path << " : " << sqlite3_errstr(code);
  }
  return false;
}

void PointStore::Worked() {
  if (_failing == SQLITE_OK) return;
  _failing = SQLITE_OK;
  LOG(INFO) << "Point Queue Working Again " << _path;
}

bool PointStore::Exec(const char* sql) { return sqlite3_exec(_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

PointStore::Statement PointStore::Prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(_db.get(), sql, -1, &stmt, nullptr);
  return Statement(stmt);
}

sqlite3_stmt* PointStore::Cached(Statement& slot, const char* sql) {
  if (!slot) {
    slot = Prepare(sql);
  } else {
    sqlite3_reset(slot.get());
    sqlite3_clear_bindings(slot.get());
  }
  return slot.get();
}

bool PointStore::Run(Statement& slot, const char* sql) {
  sqlite3_stmt* stmt = Cached(slot, sql);
  const bool done = stmt && sqlite3_step(stmt) == SQLITE_DONE;
  if (stmt) sqlite3_reset(stmt);  // a finished COMMIT must not keep the statement open
  return done;
}

bool PointStore::Open(const std::string& dir, const Limits& limits) {
  Close();
  _limits = limits;
  _dir = dir;
  _path = dir + "/points.sqlite";
  if (OpenFile()) return true;
  if (!_corrupt) return false;
  MoveAside();
  return OpenFile();
}

bool PointStore::OpenFile() {
  std::error_code ec;
  std::filesystem::create_directories(_dir, ec);
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
  _db.reset(db);
  if (rc != SQLITE_OK) {
    Fail("Open", rc);
    _db.reset();
    return false;
  }
  sqlite3_busy_timeout(_db.get(), 1000);
  const bool ok =
      Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA wal_autocheckpoint=0") &&  // Checkpoint does it
      Exec(_limits.fullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
      Exec("CREATE TABLE IF NOT EXISTS points (id INTEGER PRIMARY KEY AUTOINCREMENT, line TEXT NOT NULL)") && Recount();
  if (!ok) {
    Fail("Open", SQLITE_OK);
    _db.reset();
    return false;
  }
  _broken = false;  // the episode ends with the first write that works
  LOG(INFO) << "Point Queue " << _path << ", " << _points << " points waiting";
  return true;
}

void PointStore::Checkpoint() {
  if (!_db) return;
  if (!_checkpointDb) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    _checkpointDb.reset(db);
    if (rc != SQLITE_OK) return _checkpointDb.reset();
    sqlite3_busy_timeout(db, 1000);
    // A connection takes up the journal's mode only when it first reads:
    // until then a checkpoint on it does nothing, and the journal would grow
    // for good, never synced.
    if (sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) return _checkpointDb.reset();
  }
  // Passive: takes no lock the owner's calls wait for; a failure (a full
  // disk) leaves the journal to grow until a later one works.
  sqlite3_wal_checkpoint_v2(_checkpointDb.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

void PointStore::Close() {
  _checkpointDb.reset();
  for (Statement* slot : {&_begin, &_commit, &_insert, &_peek, &_removeUpTo}) slot->reset();
  _db.reset();
  _points = _bytes = 0;
  if (_corrupt) MoveAside();
}

void PointStore::MoveAside() {
  _corrupt = false;
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  const std::string aside = _path + ".corrupt-" + stamp;
  if (std::rename(_path.c_str(), aside.c_str()) != 0) {
    LOG(ERROR) << "Point Queue Corrupt! " << _path << " cannot be moved aside : " << std::strerror(errno);
    return;
  }
  for (const char* suffix : {"-wal", "-shm"})
    std::rename((_path + suffix).c_str(), (aside + suffix).c_str());  // absent when never written
  LOG(ERROR) << "Point Queue Corrupt! " << _path << " moved aside to " << aside << ", a new queue started";
}

bool PointStore::Recount() {
  auto stmt = Prepare("SELECT count(*), total(length(CAST(line AS BLOB))) FROM points");
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return false;
  _points = sqlite3_column_int64(stmt.get(), 0);
  _bytes = static_cast<std::int64_t>(sqlite3_column_double(stmt.get(), 1));
  return true;
}

bool PointStore::MakeRoom(std::int64_t count, std::int64_t bytes, std::int64_t& dropped) {
  if (_points + count <= _limits.maxPoints && _bytes + bytes <= _limits.maxBytes) return true;
  auto oldest = Prepare("SELECT id, length(CAST(line AS BLOB)) FROM points ORDER BY id");
  if (!oldest) return false;
  std::int64_t points = _points, total = _bytes, cutoff = -1;
  while ((points + count > _limits.maxPoints || total + bytes > _limits.maxBytes) &&
         sqlite3_step(oldest.get()) == SQLITE_ROW) {
    cutoff = sqlite3_column_int64(oldest.get(), 0);
    total -= sqlite3_column_int64(oldest.get(), 1);
    --points;
  }
  oldest.reset();
  if (cutoff < 0) return true;
  if (!RemoveUpTo(cutoff)) return false;
  dropped += _points - points;
  _points = points;
  _bytes = total;
  return true;
}

bool PointStore::RemoveUpTo(std::int64_t lastId, int* rc) {
  sqlite3_stmt* stmt = Cached(_removeUpTo, "DELETE FROM points WHERE id <= ?");
  if (!stmt || sqlite3_bind_int64(stmt, 1, lastId) != SQLITE_OK) return false;
  const int step = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (rc) *rc = step;
  return step == SQLITE_DONE;
}

bool PointStore::Append(const std::vector<std::string>& lines, std::int64_t& dropped) {
  dropped = 0;
  if (!_db) return false;
  // Lines that could not fit even in an empty queue: the oldest of them go.
  std::size_t first = 0;
  std::int64_t bytes = 0;
  for (const auto& line : lines) bytes += static_cast<std::int64_t>(line.size());
  while (first < lines.size() &&
         (static_cast<std::int64_t>(lines.size() - first) > _limits.maxPoints || bytes > _limits.maxBytes)) {
    bytes -= static_cast<std::int64_t>(lines[first++].size());
    ++dropped;
  }
  const auto count = static_cast<std::int64_t>(lines.size() - first);
  if (count == 0) return true;
  if (!Run(_begin, "BEGIN")) return Fail("Append", SQLITE_OK);
  const std::int64_t points = _points, total = _bytes;
  bool ok = MakeRoom(count, bytes, dropped);
  sqlite3_stmt* insert = ok ? Cached(_insert, "INSERT INTO points (line) VALUES (?)") : nullptr;
  ok = ok && insert;
  for (std::size_t i = first; ok && i < lines.size(); ++i) {
    ok = sqlite3_bind_text(insert, 1, lines[i].data(), static_cast<int>(lines[i].size()), SQLITE_STATIC) == SQLITE_OK &&
         sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  if (insert) sqlite3_clear_bindings(insert);  // the lines are the caller's
  if (!ok || !Run(_commit, "COMMIT")) {
    Fail("Append", SQLITE_OK);
    Exec("ROLLBACK");
    _points = points;
    _bytes = total;
    dropped = 0;
    return false;
  }
  _points += count;
  _bytes += bytes;
  Worked();
  return true;
}

std::size_t PointStore::Peek(std::size_t maxLines, std::string& body, std::int64_t& lastId,
                             std::vector<std::int64_t>* ids) {
  body.clear();
  if (ids) ids->clear();
  if (!_db) return 0;
  sqlite3_stmt* stmt = Cached(_peek, "SELECT id, line FROM points ORDER BY id LIMIT ?");
  if (!stmt || sqlite3_bind_int64(stmt, 1, static_cast<std::int64_t>(maxLines)) != SQLITE_OK)
    return Fail("Read", SQLITE_OK), 0;
  std::size_t n = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (n++) body += '\n';
    lastId = sqlite3_column_int64(stmt, 0);
    if (ids) ids->push_back(lastId);
    body.append(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1)));
  }
  sqlite3_reset(stmt);  // ends the read transaction
  if (rc != SQLITE_DONE) {
    body.clear();
    if (ids) ids->clear();
    return Fail("Read", rc), 0;
  }
  // Nothing left although the counts said otherwise: trust the table.
  if (n == 0) _points = _bytes = 0;
  return n;
}

bool PointStore::Remove(std::int64_t lastId, std::size_t count, std::int64_t lineBytes) {
  if (!_db) return false;
  int rc = SQLITE_OK;
  if (!RemoveUpTo(lastId, &rc)) return Fail("Remove", rc);
  _points -= static_cast<std::int64_t>(count);
  _bytes -= lineBytes;
  if (_points < 0 || _bytes < 0) _points = _bytes = 0;
  Worked();
  return true;
}

}  // namespace VESK
