#include "PointStore.h"

#include <easylogging++.h>

#include <filesystem>

namespace VESK {

bool PointStore::Fail(const char* what) {
  LOG(ERROR) << "Point Queue " << what << " Failed! " << (_db ? sqlite3_errmsg(_db.get()) : "");
  return false;
}

bool PointStore::Exec(const char* sql) { return sqlite3_exec(_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

PointStore::Statement PointStore::Prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(_db.get(), sql, -1, &stmt, nullptr);
  return Statement(stmt);
}

bool PointStore::Open(const std::string& dir, const Limits& limits) {
  _limits = limits;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = dir + "/points.sqlite";
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
  _db.reset(db);
  if (rc != SQLITE_OK) {
    LOG(ERROR) << "Point Queue Open Failed! " << path << " : " << (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    _db.reset();
    return false;
  }
  sqlite3_busy_timeout(_db.get(), 1000);
  const bool ok =
      Exec("PRAGMA journal_mode=WAL") &&
      Exec(limits.fullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
      Exec("CREATE TABLE IF NOT EXISTS points (id INTEGER PRIMARY KEY AUTOINCREMENT, line TEXT NOT NULL)") && Recount();
  if (!ok) {
    Fail("Open");
    _db.reset();
    return false;
  }
  LOG(INFO) << "Point Queue " << path << ", " << _points << " points waiting";
  return true;
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
  auto remove = Prepare("DELETE FROM points WHERE id <= ?");
  if (!remove || sqlite3_bind_int64(remove.get(), 1, cutoff) != SQLITE_OK || sqlite3_step(remove.get()) != SQLITE_DONE)
    return false;
  dropped += _points - points;
  _points = points;
  _bytes = total;
  return true;
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
  if (!Exec("BEGIN")) return Fail("Append");
  auto insert = Prepare("INSERT INTO points (line) VALUES (?)");
  bool ok = insert && MakeRoom(count, bytes, dropped);
  for (std::size_t i = first; ok && i < lines.size(); ++i) {
    ok = sqlite3_bind_text(insert.get(), 1, lines[i].data(), static_cast<int>(lines[i].size()), SQLITE_STATIC) ==
             SQLITE_OK &&
         sqlite3_step(insert.get()) == SQLITE_DONE && sqlite3_reset(insert.get()) == SQLITE_OK;
  }
  insert.reset();
  if (!ok || !Exec("COMMIT")) {
    Fail("Append");
    Exec("ROLLBACK");
    Recount();
    return false;
  }
  _points += count;
  _bytes += bytes;
  return true;
}

std::size_t PointStore::Peek(std::size_t maxLines, std::string& body, std::int64_t& lastId) {
  body.clear();
  if (!_db) return 0;
  auto stmt = Prepare("SELECT id, line FROM points ORDER BY id LIMIT ?");
  if (!stmt || sqlite3_bind_int64(stmt.get(), 1, static_cast<std::int64_t>(maxLines)) != SQLITE_OK) return 0;
  std::size_t n = 0;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    if (n++) body += '\n';
    lastId = sqlite3_column_int64(stmt.get(), 0);
    body.append(reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1)),
                static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), 1)));
  }
  // Nothing left although the counts said otherwise: trust the table.
  if (n == 0) _points = _bytes = 0;
  return n;
}

bool PointStore::Remove(std::int64_t lastId, std::size_t count, std::size_t bodyBytes) {
  auto stmt = Prepare("DELETE FROM points WHERE id <= ?");
  if (!stmt || sqlite3_bind_int64(stmt.get(), 1, lastId) != SQLITE_OK || sqlite3_step(stmt.get()) != SQLITE_DONE)
    return Fail("Remove");
  _points -= static_cast<std::int64_t>(count);
  _bytes -= static_cast<std::int64_t>(bodyBytes - (count > 0 ? count - 1 : 0));  // less the joining "\n"s
  return true;
}

}  // namespace VESK
