#include "InfluxdbDriver.h"

#include <arpa/inet.h>
#include <easylogging++.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "DBMeasurement.h"

namespace VESK {

namespace {

// Line-protocol escaping: measurement names escape "," and " "; field keys
// also "=".
void AppendEscaped(std::string& out, const std::string& text, const char* special) {
  for (char c : text) {
    if (std::strchr(special, c)) out += '\\';
    out += c;
  }
}

// Inside a quoted string field the server reads \" as " and \\ as \. Both are
// escaped: a value ending in a backslash (a Windows path) would otherwise
// escape the closing quote and the whole point would be refused, and a
// backslash before a quote would come back altered.
void AppendQuoted(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

// Appends ",key=value" (the first field without the comma) for a scalar
// value; returns false for values that have no field representation.
bool AppendField(std::string& line, bool& first, const std::string& measurement, const std::string& key,
                 const nlohmann::json& value) {
  char buf[64];
  std::string text;
  switch (value.type()) {
    case nlohmann::json::value_t::string:
      AppendQuoted(text, value.get_ref<const std::string&>());
      break;
    case nlohmann::json::value_t::boolean:
      text = value.get<bool>() ? "t" : "f";
      break;
    case nlohmann::json::value_t::number_integer: {
      auto r = std::to_chars(buf, buf + sizeof buf, value.get<std::int64_t>());
      text.assign(buf, r.ptr);
      text += 'i';
      break;
    }
    case nlohmann::json::value_t::number_unsigned: {
      const std::uint64_t v = value.get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(INT64_MAX)) {
        LOG(ERROR) << "InfluxDB Field Out Of Range! " << measurement << " " << key << "=" << v;
        return false;
      }
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v));
      text.assign(buf, r.ptr);
      text += 'i';
      break;
    }
    case nlohmann::json::value_t::number_float: {
      const double v = value.get<double>();
      if (!std::isfinite(v)) return false;
      // Shortest text that reads back as the same double.
      auto r = std::to_chars(buf, buf + sizeof buf, v);
      text.assign(buf, r.ptr);
      break;
    }
    default:
      return false;
  }
  if (!first) line += ',';
  first = false;
  AppendEscaped(line, key, ",= ");
  line += '=';
  line += text;
  return true;
}

// The server ends its JSON bodies with a newline; keep log lines whole.
std::string Trimmed(const std::string& body) {
  const auto end = body.find_last_not_of("\r\n");
  return end == std::string::npos ? std::string() : body.substr(0, end + 1);
}

void LogFailure(const std::string& what, int code, const std::string& body) {
  const char* text = influx::http_error_text(code);
  LOG(ERROR) << what << " Code " << code << (*text ? " (" : "") << text << (*text ? ")" : "") << ", Resp "
             << Trimmed(body);
}

}  // namespace

bool InfluxdbDriver::Load(frame::ConfigNode settings) {
  using frame::Need;
  std::string host, database, user = _userName, password = _password;
  int port = 0;
  in_addr probe{};
  bool ok = settings.Valid();
  ok &= settings.Read("host", host, Need::Required) &&
        settings.Check("host", inet_pton(AF_INET, host.c_str(), &probe) == 1, "an IPv4 address");
  ok &= settings.Read("port", port, frame::IntRange{1, 65535}, Need::Required);
  ok &= settings.Read("database_name", database, Need::Required) &&
        settings.Check("database_name", !database.empty(), "a non-empty string");
  ok &= !settings.Json().contains("username") || settings.Read("username", user);
  ok &= !settings.Json().contains("password") || settings.Read("password", password);
  settings.Done();
  if (!ok) return false;
  _host = host;
  _databaseName = database;
  _userName = user;
  _password = password;
  _server.host = _host;
  _server.port = port;
  _server.database = _databaseName;
  _server.user = _userName;
  _server.password = _password;
  _server.precision = "ms";
  _databaseReady = false;
  return true;
}

void InfluxdbDriver::CreateDatabase() { TryCreate(true); }

int InfluxdbDriver::TryCreate(bool logUnreachable) {
  // The name is quoted as an identifier: unquoted, a name holding "-", a
  // space or a keyword is a syntax error and the database never exists.
  std::string identifier = "\"";
  for (char c : _databaseName) {
    if (c == '"' || c == '\\') identifier += '\\';
    identifier += c;
  }
  identifier += '"';
  std::string query = "&q=create+database+";
  influx::url_encode(query, identifier);
  std::string response;
  const int code = influx::http_request("POST", "query", query, "", _server, &response);
  // A refusal is final; only an unreachable server is worth another try.
  _databaseReady = code >= 0;
  if (code == 0) {
    LOG(INFO) << "InfluxDB Create DB, Resp " << Trimmed(response);
  } else if (code > 0 || logUnreachable) {
    LogFailure("InfluxDB Create DB Failed!", code, response);
  }
  return code;
}

bool InfluxdbDriver::FormatPoint(const DBMeasurement& measurement, std::string& line) {
  const std::size_t start = line.size();
  AppendEscaped(line, measurement.Name(), ", ");
  line += ' ';
  bool first = true;
  for (const auto& field : measurement.Fields()) {
    const nlohmann::json& value = field->Value();
    if (!value.is_array()) {
      AppendField(line, first, measurement.Name(), field->Name(), value);
      continue;
    }
    for (std::size_t i = 0; i < value.size(); ++i)
      AppendField(line, first, measurement.Name(), field->Name() + std::to_string(i), value[i]);
  }
  if (first) {
    line.resize(start);
    return false;
  }
  line += ' ';
  line += std::to_string(
      std::chrono::duration_cast<std::chrono::nanoseconds>(measurement.Timestamp().time_since_epoch()).count());
  return true;
}

bool InfluxdbDriver::Insert(const std::shared_ptr<DBMeasurement>& measurement) {
  if (!measurement) return false;
  std::string line;
  if (!FormatPoint(*measurement, line)) {
    LOG(INFO) << "InfluxDB Point Skipped, No Values : " << measurement->Name();
    return false;
  }
  // A server that was down when the loop started gets its database before
  // the first point it can take; while it stays down the write is not tried.
  int code = _databaseReady ? 0 : TryCreate(false);
  std::string response;
  if (code >= 0) code = influx::http_request("POST", "write", "", line, _server, &response);
  // An unreachable server fails every point the same way: log the first,
  // count the rest until it answers again.
  if (code < 0) {
    if (code != _failingCode) {
      LogFailure("InfluxDB Write Failed! " + measurement->Name(), code, response);
      if (_failingCode == 0) _lostPoints = 0;
      _failingCode = code;
    }
    ++_lostPoints;
    return false;
  }
  if (_failingCode != 0) {
    LOG(INFO) << "InfluxDB Reachable Again, Lost Points " << _lostPoints;
    _failingCode = 0;
  }
  if (code != 0) {
    // A refusal names this point's own problem (type conflict, bad name).
    LogFailure("InfluxDB Write Failed! " + measurement->Name(), code, response);
    return false;
  }
  if (!response.empty()) LOG(INFO) << "InfluxDB Response : " << Trimmed(response);
  return true;
}

}  // namespace VESK
