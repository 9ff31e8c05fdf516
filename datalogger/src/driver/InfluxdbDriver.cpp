#include "InfluxdbDriver.h"

#include <arpa/inet.h>
#include <easylogging++.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "BoundedJson.h"
#include "DBMeasurement.h"

namespace VESK {

namespace {

// Line-protocol escaping, as InfluxDB 1.x reads names back. It takes "\,"
// and "\ " (and in keys "\=") as the escaped character, skipping whatever
// follows a backslash when it looks for a name's end; a measurement name is
// unescaped twice that way, a field key once, and no other backslash is
// ever removed. So before an escaped character a run of j backslashes is
// written as j + 2 (measurement, j odd) or j + 1 (key, j even) backslashes,
// and the names whose runs have the other parity cannot be stored at all:
// NameProblem refuses them at load.
void AppendEscaped(std::string& out, const std::string& text, const char* special, bool measurement) {
  std::size_t run = 0;
  for (char c : text) {
    if (c == '\\') {
      ++run;
    } else {
      if (c != '\0' && std::strchr(special, c)) out.append(run == 0 ? 1 : (measurement ? 2 : 1), '\\');
      run = 0;
    }
    out += c;
  }
}

// Why InfluxDB would not store this name exactly, or nullptr.
const char* NameProblem(const std::string& name, const char* special, bool measurement) {
  if (name.empty()) return "is empty";
  if (measurement && name[0] == '#') return "starts with '#' (a comment line)";
  if (!measurement && name == "time") return "is 'time' (the timestamp's column)";
  if (name.back() == '\\') return "ends in a backslash";
  std::size_t run = 0;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "holds a control character";
    if (c == '\\') {
      ++run;
      continue;
    }
    // Measurement names take an odd run (or none), keys an even one.
    if (run > 0 && c != '\0' && std::strchr(special, c) && (run % 2 == 0) == measurement)
      return "has a backslash run before a separator that cannot be stored";
    run = 0;
  }
  return nullptr;
}

constexpr const char* kMeasurementSpecial = ", ";
constexpr const char* kKeySpecial = ",= ";

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
  AppendEscaped(line, key, kKeySpecial, false);
  line += '=';
  line += text;
  return true;
}

// The server ends its JSON bodies with a newline; keep log lines whole and
// bounded (the server is a peer like any other).
std::string Excerpt(const std::string& body) {
  const auto end = body.find_last_not_of("\r\n");
  return frame::LogExcerpt(end == std::string::npos ? std::string() : body.substr(0, end + 1), 1024);
}

std::string CodeText(int code) {
  const char* text = influx::http_error_text(code);
  return "Code " + std::to_string(code) + (*text ? std::string(" (") + text + ")" : std::string());
}

// An answer to "create database" reports an error in its body, whatever the
// status: {"error": ...} or a result holding "error".
bool CarriesError(const std::string& body) {
  nlohmann::json answer;
  std::string why;
  if (!frame::ParseBoundedJson(body, answer, why) || !answer.is_object()) return !body.empty();
  if (answer.contains("error")) return true;
  auto results = answer.find("results");
  if (results == answer.end() || !results->is_array()) return false;
  for (const auto& r : *results)
    if (r.is_object() && r.contains("error")) return true;
  return false;
}

}  // namespace

bool InfluxdbDriver::Load(frame::ConfigNode settings) {
  using frame::Need;
  std::string host, database, user = _userName, password = _password;
  int port = 0;
  in_addr probe{};
  int timeout = influx::server_info().timeout_ms;
  bool ok = settings.Valid();
  ok &= settings.Read("host", host, Need::Required) &&
        settings.Check("host", inet_pton(AF_INET, host.c_str(), &probe) == 1, "an IPv4 address");
  ok &= settings.Read("port", port, frame::IntRange{1, 65535}, Need::Required);
  ok &= settings.Read("database_name", database, Need::Required) &&
        settings.Check("database_name", !database.empty(), "a non-empty string");
  ok &= !settings.Json().contains("username") || settings.Read("username", user);
  ok &= !settings.Json().contains("password") || settings.Read("password", password);
  ok &= !settings.Json().contains("timeout_ms") || settings.Read("timeout_ms", timeout, frame::IntRange{1, 3600000});
  settings.Done();
  if (!ok) return false;
  _host = host;
  _databaseName = database;
  _userName = user;
  _password = password;
  _server.host = _host;
  _server.port = port;
  _server.timeout_ms = timeout;
  _server.database = _databaseName;
  _server.user = _userName;
  _server.password = _password;
  _server.precision = "ms";
  _databaseReady = false;
  return true;
}

void InfluxdbDriver::CreateDatabase() { TryCreate(true); }

bool InfluxdbDriver::Admit(DBMeasurement& measurement) const {
  if (const char* problem = NameProblem(measurement.Name(), kMeasurementSpecial, true)) {
    LOG(ERROR) << "InfluxDB Name Refused! measurement '" << frame::LogExcerpt(measurement.Name()) << "' " << problem;
    return false;
  }
  measurement.RemoveFields([&](const DBField& field) {
    const char* problem = NameProblem(field.Name(), kKeySpecial, false);
    if (problem)
      LOG(ERROR) << "InfluxDB Name Refused! measurement '" << measurement.Name() << "' field '"
                 << frame::LogExcerpt(field.Name()) << "' " << problem;
    return problem != nullptr;
  });
  return true;
}

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
  int code = influx::http_request("POST", "query", query, "", _server, &response);
  // A status of 200 does not mean success: the statement's error is in the body.
  if (code == 0 && CarriesError(response)) code = 200;
  // A refusal is final; only an unreachable or failing server is worth
  // another try.
  _databaseReady = code >= 0 && code < 500;
  if (code == 0) {
    LOG(INFO) << "InfluxDB Create DB, Resp " << Excerpt(response);
  } else if (code > 0) {
    LOG(ERROR) << "InfluxDB Create DB, Resp " << Excerpt(response) << " [" << CodeText(code) << "]";
  } else if (code != influx::kHttpCancelled && logUnreachable) {
    LOG(ERROR) << "InfluxDB Create DB Failed! " << CodeText(code);
  }
  return code;
}

bool InfluxdbDriver::FormatLine(const DBMeasurement& measurement, std::string& line) {
  const std::size_t start = line.size();
  AppendEscaped(line, measurement.Name(), kMeasurementSpecial, true);
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

IDatabaseDriver::Outcome InfluxdbDriver::WriteLines(const std::string& lines, std::size_t points) {
  // A server that was down when the loop started gets its database before
  // the first batch it can take; while it stays down the write is not tried.
  int code = _databaseReady ? 0 : TryCreate(false);
  std::string response;
  if (_databaseReady) code = influx::http_request("POST", "write", "", lines, _server, &response);
  const bool failed = code < 0 || code >= 500;
  // An unreachable server fails every batch the same way: log the first
  // failure of an outage, and its end.
  if (failed && code != influx::kHttpCancelled && code != _failingCode) {
    if (code < 0)
      LOG(ERROR) << "InfluxDB Write Failed! " << CodeText(code) << ", " << points << " points kept";
    else
      LOG(ERROR) << "InfluxDB Response : " << Excerpt(response) << " [" << CodeText(code) << ", " << points
                 << " points kept]";
    _failingCode = code;
  }
  if (failed) return Outcome::Failed;
  if (_failingCode != 0) {
    LOG(INFO) << "InfluxDB Reachable Again";
    _failingCode = 0;
  }
  if (code != 0) {
    // Bad data (type conflict, bad name, partial write): sending it again
    // would be refused again.
    LOG(ERROR) << "InfluxDB Response : " << Excerpt(response) << " [" << CodeText(code) << ", " << points
               << " points dropped]";
    if (code == 404) _databaseReady = false;  // database gone: create it again first
    return Outcome::Refused;
  }
  if (!response.empty()) LOG(INFO) << "InfluxDB Response : " << Excerpt(response);
  return Outcome::Written;
}

bool InfluxdbDriver::Insert(const std::shared_ptr<DBMeasurement>& measurement) {
  if (!measurement) return false;
  std::string line;
  if (!FormatLine(*measurement, line)) {
    LOG(INFO) << "InfluxDB Point Skipped, No Values : " << measurement->Name();
    return false;
  }
  return WriteLines(line, 1) == Outcome::Written;
}

}  // namespace VESK
