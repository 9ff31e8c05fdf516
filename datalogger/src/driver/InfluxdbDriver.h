#pragma once
// Writes measurements to an InfluxDB 1.x server in its line protocol, one
// HTTP request (and one TCP connection) per point.
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
  // POST /write. 2xx: Written. 5xx, unreachable, time-out: Failed (logged
  // once per outage). Any other status: Refused, logged at ERROR as
  // "InfluxDB Response : <body> [...]".
  Outcome WriteLines(const std::string& lines, std::size_t points) override;
  bool Insert(const std::shared_ptr<DBMeasurement>& measurement) override;
  void SetCancel(const std::atomic<bool>* cancel) override { _server.cancel = cancel; }

  // Appends the measurement as one line-protocol point (no newline): only
  // fields that hold a value, integers as full 64-bit "i" values, floats in
  // the shortest form that reads back as the same double. Returns false and
  // appends nothing when no field has a value to write.
  static bool FormatLine(const DBMeasurement& measurement, std::string& line);

  const influx::server_info& Server() const { return _server; }

 private:
  // One create request; returns the transport's code (200 for an error
  // carried in a 2xx answer). Refusals are always logged, an unreachable
  // server only when logUnreachable.
  int TryCreate(bool logUnreachable);

  std::string _host;
  std::string _databaseName;
  std::string _userName;
  std::string _password;
  influx::server_info _server;
  bool _databaseReady = false;  // the server answered the create request
  int _failingCode = 0;         // failure being suppressed, 0 when none
};

}  // namespace VESK
