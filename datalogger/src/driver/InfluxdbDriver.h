#pragma once
// Writes measurements to an InfluxDB 1.x server in its line protocol, one
// HTTP request (and one TCP connection) per point.
#include <string>

#include "IDatabaseDriver.h"
#include "InfluxHttp.h"

namespace VESK {

class InfluxdbDriver : public IDatabaseDriver {
 public:
  // {"host": IPv4, "port": 1..65535, "database_name": non-empty string,
  //  "username"?: string, "password"?: string}
  bool Load(frame::ConfigNode settings) override;
  // POST /query "create database"; logs INFO "InfluxDB Create DB, Resp <body>"
  // or, when it failed, ERROR with the code and body. If the server could not
  // be reached, the next Insert tries again first.
  void CreateDatabase() override;
  // POST /write with one line; true only for a 2xx answer. A point without
  // any value is not sent (INFO line). Failures log ERROR with code and body;
  // while the server stays unreachable only the first failure is logged.
  bool Insert(const std::shared_ptr<DBMeasurement>& measurement) override;

  // Appends the measurement as one line-protocol point (no newline): only
  // fields that hold a value, integers as full 64-bit "i" values, floats in
  // the shortest form that reads back as the same double. Returns false and
  // appends nothing when no field has a value to write.
  static bool FormatPoint(const DBMeasurement& measurement, std::string& line);

  const influx::server_info& Server() const { return _server; }

 private:
  // One create request; returns the transport's code. Refusals are always
  // logged, an unreachable server only when logUnreachable.
  int TryCreate(bool logUnreachable);

  std::string _host;
  std::string _databaseName;
  std::string _userName;
  std::string _password;
  influx::server_info _server;
  bool _databaseReady = false;  // the server answered the create request
  int _failingCode = 0;         // transport error being suppressed, 0 when none
  long _lostPoints = 0;         // points lost while _failingCode was set
};

}  // namespace VESK
