#pragma once
// The durable queue of points not yet written: one SQLite database (WAL
// journal) in a folder of its own, one row per line-protocol line, oldest
// first. Bounded by a number of points and of bytes; when full, the oldest
// rows go first. Not thread-safe: the owner serialises calls.
//
// Durability: synchronous=NORMAL (default) syncs at each WAL checkpoint, not
// at each commit: a killed process loses nothing committed, a power cut may
// lose the last commits since the checkpoint, never corrupts the file.
// synchronous=FULL syncs the WAL at every commit (one fsync per appended
// batch: on flash storage a few ms each, so at most a few hundred commits/s).
//
// Failures: every failed call leaves the store open but Broken(); the owner
// then calls Close() and Open() again later. A file SQLite calls corrupt (or
// not a database) is moved aside on Close or Open, kept for inspection and
// named in the log, and a new one started. Failures are logged once per
// episode (a full disk with its path and free space), and their end once.
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

  // Opens (creating it and its folder) dir/points.sqlite. False when it
  // cannot; the store is then closed.
  bool Open(const std::string& dir, const Limits& limits);
  bool IsOpen() const { return _db != nullptr; }
  // A call failed since Open: the store should be closed and opened again.
  bool Broken() const { return _broken; }
  // Closes the file; a corrupt one is moved aside.
  void Close();

  // Appends lines in one transaction, first dropping the oldest rows (or
  // the oldest of lines themselves) so that both bounds hold afterwards.
  // dropped receives how many points were dropped. False on a storage error
  // (nothing appended).
  bool Append(const std::vector<std::string>& lines, std::int64_t& dropped);
  // The oldest rows, at most maxLines, joined by "\n" into body. Returns
  // the number of lines; lastId is the id of the newest one taken, ids (when
  // given) receives every line's id.
  std::size_t Peek(std::size_t maxLines, std::string& body, std::int64_t& lastId,
                   std::vector<std::int64_t>* ids = nullptr);
  // Removes every row up to and including lastId: count lines holding
  // lineBytes bytes (without line ends).
  bool Remove(std::int64_t lastId, std::size_t count, std::int64_t lineBytes);

  // Copies the journal into the database file, on a connection of its own
  // so that the calls above never wait for its syncs (they do not start
  // one). Call it without the owner's lock, from the one thread that also
  // opens and closes the store.
  void Checkpoint();

  std::int64_t Points() const { return _points; }
  std::int64_t Bytes() const { return _bytes; }
  const std::string& Path() const { return _path; }

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
  // The statement of slot, compiled on first use and reset for the next:
  // the calls of every pass use the same few, so none is parsed again.
  sqlite3_stmt* Cached(Statement& slot, const char* sql);
  // Runs a cached statement without rows (BEGIN, COMMIT, ...) to its end.
  bool Run(Statement& slot, const char* sql);
  // Records a failed call (rc: its SQLite code) and logs it once per episode.
  bool Fail(const char* what, int rc);
  void Worked();
  bool OpenFile();
  void MoveAside();
  // Deletes the oldest rows until count more points and bytes more bytes fit.
  // Deletes every row up to lastId; rc (when given) receives the step's code.
  bool RemoveUpTo(std::int64_t lastId, int* rc = nullptr);
  bool MakeRoom(std::int64_t count, std::int64_t bytes, std::int64_t& dropped);
  bool Recount();

  std::unique_ptr<sqlite3, DbClose> _db;
  std::unique_ptr<sqlite3, DbClose> _checkpointDb;  // Checkpoint's own
  // Compiled on _db; finalised before it closes.
  Statement _begin, _commit, _insert, _peek, _removeUpTo;
  Limits _limits;
  std::string _dir, _path;
  std::int64_t _points = 0;
  std::int64_t _bytes = 0;
  bool _broken = false;
  bool _corrupt = false;
  int _failing = SQLITE_OK;  // code of the failure episode being reported
};

}  // namespace VESK
