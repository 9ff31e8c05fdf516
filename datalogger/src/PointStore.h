#pragma once
// The durable queue of points that could not be written yet: one SQLite
// database (WAL journal) in a folder of its own, one row per line-protocol
// line, oldest first. Bounded by a number of points and of bytes; when full,
// the oldest rows go first. Not thread-safe: one owner thread.
//
// Durability: synchronous=NORMAL (default) syncs at each WAL checkpoint, not
// at each commit: a killed process loses nothing committed, a power cut may
// lose the last commits since the checkpoint, never corrupts the file.
// synchronous=FULL syncs the WAL at every commit (one fsync per appended
// batch: on flash storage a few ms each, so at most a few hundred commits/s).
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VESK {

class PointStore {
 public:
  struct Limits {
    std::int64_t maxPoints = 1000000;
    std::int64_t maxBytes = 256ll << 20;
    bool fullSync = false;
  };

  // Opens (creating it and its folder) dir/points.sqlite. False with an
  // ERROR line when it cannot; the store is then unusable.
  bool Open(const std::string& dir, const Limits& limits);
  bool IsOpen() const { return _db != nullptr; }

  // Appends lines in one transaction, first dropping the oldest rows (or
  // the oldest of lines themselves) so that both bounds hold afterwards.
  // dropped receives how many points were dropped. False on a storage error.
  bool Append(const std::vector<std::string>& lines, std::int64_t& dropped);
  // The oldest rows, at most maxLines, joined by "\n" into body. Returns
  // the number of lines; lastId is the id of the newest one taken.
  std::size_t Peek(std::size_t maxLines, std::string& body, std::int64_t& lastId);
  // Removes every row up to and including lastId: what Peek returned
  // (count lines making a body of bodyBytes).
  bool Remove(std::int64_t lastId, std::size_t count, std::size_t bodyBytes);

  std::int64_t Points() const { return _points; }
  std::int64_t Bytes() const { return _bytes; }

 private:
  struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
  };
  struct StmtFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
  };
  using Statement = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

  bool Exec(const char* sql);
  Statement Prepare(const char* sql);
  bool Fail(const char* what);
  // Deletes the oldest rows until count more points and bytes more bytes fit.
  bool MakeRoom(std::int64_t count, std::int64_t bytes, std::int64_t& dropped);
  bool Recount();

  std::unique_ptr<sqlite3, DbClose> _db;
  Limits _limits;
  std::int64_t _points = 0;
  std::int64_t _bytes = 0;
};

}  // namespace VESK
