#pragma once
// Writes measurements to an InfluxDB 1.x server in its line protocol, one
// HTTP request per batch of points, on a connection kept open while the
// server allows it.
#include <string>

#include "IDatabaseDriver.h"
#include "InfluxHttp.h"

namespace VESK {

class InfluxdbDriver : public IDatabaseDriver {
 public:
  // {"host": IPv4, "port": 1..65535 (8086.0 too), "database_name": non-empty
  //  string, "username"?: string, "password"?: string, "timeout_ms"?:
  //  deadline of one request, default 10000}
  bool Load(frame::ConfigNode settings) override;
  // Refuses names InfluxDB would store under another name, drop, or refuse
  // on every write: empty, a measurement starting with '#', a field key
  // "time", a trailing backslash, control characters, and backslash runs
  // before a separator that the line protocol cannot carry.
  bool Admit(DBMeasurement& measurement) const override;
  // POST /query "create database"; logs INFO "InfluxDB Create DB, Resp <body>",
  // or the same text at ERROR when the answer carries an error (whatever its
  // status). If the server could not be reached, the next write tries again.
  void CreateDatabase() override;
  bool FormatPoint(const DBMeasurement& measurement, std::string& line) const override {
    return FormatLine(measurement, line);
  }
  // POST /write; what each answer means is the table kAnswers in the source
  // (status and body text -> what becomes of the lines). In short: 2xx
  // written; 5xx, unreachable, time-out, 401/403 kept for another try
  // (logged once per episode with the target, and once when writing works
  // again); 404 or "database not found" creates the database and sends the
  // batch again; 413 halves the batch until it passes; 400 loses only the
  // lines the server names as refused (others singled out by halving).
  WriteResult WriteLines(const std::string& lines, std::size_t points) override;
  bool Insert(const std::shared_ptr<DBMeasurement>& measurement) override;
  void SetCancel(const std::atomic<bool>* cancel) override { _server.cancel = cancel; }

  // Appends the measurement as one line-protocol point (no newline): only
  // fields that hold a value, integers as full 64-bit "i" values, floats in
  // the shortest form that reads back as the same double. Returns false and
  // appends nothing when no field has a value to write.
  static bool FormatLine(const DBMeasurement& measurement, std::string& line);

  const influx::server_info& Server() const { return _server; }
  // "server H:P, database 'D', user 'U'" for log lines (never the password).
  std::string Target() const;

  // A request's deadline: timeout_ms, plus the time the body takes at
  // kFloorBytesPerSecond, so a large batch on a slow link is not cut off
  // where a small one would pass.
  static constexpr std::size_t kFloorBytesPerSecond = 16 * 1024;
  int DeadlineMs(std::size_t bodyBytes) const;

 private:
  // One create request; returns the transport's code (200 for an error
  // carried in a 2xx answer) and the answer's body. Failures are logged
  // only when log (else the write that needed it reports them, once).
  int TryCreate(bool log, std::string* answer = nullptr);
  // Sends one part of a batch (points lines) and what the answer asks for:
  // halves, a new database. Adds to result; false when the part (and so
  // the rest of the batch) is not written for now.
  bool Send(const std::string& body, std::size_t points, WriteResult& result, bool created);
  // Logs a failure once per episode (a change of code starts a new one).
  void Failing(int code, const std::string& response, std::size_t points);
  // Logs the refusal of one line (the line itself, bounded).
  void RefusedLine(const std::string& line, int code, const std::string& response);

  std::string _host;
  std::string _databaseName;
  std::string _userName;
  std::string _password;
  influx::server_info _server;
  influx::Connection _connection;  // kept between requests (writer thread)
  bool _databaseReady = false;     // the server answered the create request
  int _failingCode = 0;            // failure being suppressed, 0 when none
};

}  // namespace VESK
