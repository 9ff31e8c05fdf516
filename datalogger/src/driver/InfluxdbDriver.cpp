#include "InfluxdbDriver.h"

#include <arpa/inet.h>
#include <easylogging++.h>

#include <algorithm>
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

// What an answer to a write means, as data: the first row whose status
// range holds the code (negative codes: the transport's own failures) and
// whose text, when given, appears in the body decides.
enum class Action {
  Written,      // stored
  Partial,      // stored but for the lines the body names as refused
  Retry,        // not written: outage, server error, a status we do not know
  TimedOut,     // not written: the deadline passed
  Cancelled,    // not written: the stop
  Credentials,  // not written: user or password refused, or no write right
  Recreate,     // the database is missing: create it, send the same lines
  Split,        // too large: send each half
  Bisect,       // some lines bad, which unknown: halve down to single lines
};

struct AnswerRule {
  int low, high;
  const char* text;  // "" matches any body
  Action action;
};

constexpr AnswerRule kAnswers[] = {
    {0, 0, "partial write", Action::Partial},
    {0, 0, "", Action::Written},
    {influx::kHttpTimedOut, influx::kHttpTimedOut, "", Action::TimedOut},
    {influx::kHttpCancelled, influx::kHttpCancelled, "", Action::Cancelled},
    {INT_MIN, -1, "", Action::Retry},
    {400, 599, "database not found", Action::Recreate},
    // InfluxDB stores the good lines of a batch and names the rest: a count
    // ("dropped=N") or one "unable to parse '<line>'" per line.
    {400, 400, "partial write", Action::Partial},
    {400, 400, "unable to parse", Action::Partial},
    {400, 400, "", Action::Bisect},
    {401, 401, "", Action::Credentials},
    {403, 403, "", Action::Credentials},
    {404, 404, "", Action::Recreate},
    {413, 413, "", Action::Split},
    {INT_MIN, INT_MAX, "", Action::Retry},  // 5xx, 408, 429, anything else: kept
};

Action Classify(int code, const std::string& body) {
  for (const auto& rule : kAnswers)
    if (code >= rule.low && code <= rule.high && (!*rule.text || body.find(rule.text) != std::string::npos))
      return rule.action;
  return Action::Retry;
}

// The lines an answer names as refused: "dropped=N", else the number of
// "unable to parse" entries; 0 when it names none.
std::size_t NamedRefusals(const std::string& body) {
  const auto at = body.rfind("dropped=");
  if (at != std::string::npos) {
    std::size_t n = 0;
    const char* p = body.c_str() + at + 8;
    std::from_chars(p, body.c_str() + body.size(), n);
    return n;
  }
  std::size_t n = 0;
  for (auto pos = body.find("unable to parse"); pos != std::string::npos; pos = body.find("unable to parse", pos + 1))
    ++n;
  return n;
}

// The offset of the line break that ends the first lines lines of body.
std::size_t LinesEnd(const std::string& body, std::size_t lines) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < lines; ++i) {
    pos = body.find('\n', pos);
    if (pos == std::string::npos) return body.size();
    if (i + 1 < lines) ++pos;
  }
  return pos;
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
  _connection.Close();
  return true;
}

void InfluxdbDriver::CreateDatabase() {
  LOG(INFO) << "InfluxDB Target : " << Target();
  TryCreate(true);
}

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

int InfluxdbDriver::TryCreate(bool log, std::string* answer) {
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
  int code = influx::http_request("POST", "query", query, "", _server, &response, &_connection);
  // A status of 200 does not mean success: the statement's error is in the body.
  if (code == 0 && CarriesError(response)) code = 200;
  // A refusal is final; only an unreachable or failing server is worth
  // another try.
  _databaseReady = code >= 0 && code < 500;
  if (code == 0) {
    LOG(INFO) << "InfluxDB Create DB, Resp " << Excerpt(response);
  } else if (!log || code == influx::kHttpCancelled) {
    // The write that needed it reports the failure, once.
  } else if (code == 403 || response.find("requires admin privilege") != std::string::npos) {
    // A least-privilege user writes to a database made for it; whether it
    // exists shows at the first write ("database not found").
    LOG(WARNING) << "InfluxDB Create DB, Resp " << Excerpt(response) << " [" << CodeText(code)
                 << ", the user may not create databases; writing to an existing one, " << Target() << "]";
  } else if (code > 0) {
    LOG(ERROR) << "InfluxDB Create DB, Resp " << Excerpt(response) << " [" << CodeText(code) << ", " << Target() << "]";
  } else {
    LOG(ERROR) << "InfluxDB Create DB Failed! " << CodeText(code) << " [" << Target() << "]";
  }
  if (answer) *answer = std::move(response);
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

std::string InfluxdbDriver::Target() const {
  return "server " + _server.host + ":" + std::to_string(_server.port) + ", database '" + _databaseName + "', user '" +
         _userName + "'";
}

int InfluxdbDriver::DeadlineMs(std::size_t bodyBytes) const {
  const long long extra = static_cast<long long>(bodyBytes) * 1000 / static_cast<long long>(kFloorBytesPerSecond);
  return static_cast<int>(std::min<long long>(INT_MAX / 2, _server.timeout_ms + extra));
}

void InfluxdbDriver::Failing(int code, const std::string& response, std::size_t points) {
  // An outage fails every batch the same way: log its first failure only.
  if (code == influx::kHttpCancelled || code == _failingCode) return;
  _failingCode = code;
  if (code < 0)
    LOG(ERROR) << "InfluxDB Write Failed! " << CodeText(code) << ", " << points << " points kept [" << Target() << "]";
  else if (code == 401 || code == 403)
    LOG(ERROR) << "InfluxDB Write Refused! " << CodeText(code) << " " << Excerpt(response) << ", " << points
               << " points kept, retrying [" << Target() << "]";
  else
    LOG(ERROR) << "InfluxDB Response : " << Excerpt(response) << " [" << CodeText(code) << ", " << points
               << " points kept, " << Target() << "]";
}

void InfluxdbDriver::RefusedLine(const std::string& line, int code, const std::string& response) {
  LOG(ERROR) << "InfluxDB Response : " << Excerpt(response) << " [" << CodeText(code) << ", 1 points dropped] line '"
             << frame::LogExcerpt(line, 512) << "'";
}

bool InfluxdbDriver::Send(const std::string& body, std::size_t points, WriteResult& result, bool created) {
  std::string response;
  int code = _databaseReady ? 0 : TryCreate(false, &response);
  if (_databaseReady) {
    influx::server_info si = _server;
    si.timeout_ms = DeadlineMs(body.size());
    code = influx::http_request("POST", "write", "", body, si, &response, &_connection);
  }
  const Action action = Classify(code, response);
  const auto halves = [&] {
    const std::size_t first = points / 2, cut = LinesEnd(body, first);
    return Send(body.substr(0, cut), first, result, created) &&
           Send(body.substr(cut + 1), points - first, result, created);
  };
  switch (action) {
    case Action::Written:
    case Action::Partial: {
      if (_failingCode != 0) {
        LOG(INFO) << "InfluxDB Reachable Again [" << Target() << "]";
        _failingCode = 0;
      }
      const std::size_t refused = action == Action::Partial ? std::min(points, NamedRefusals(response)) : 0;
      if (action == Action::Partial && refused == 0 && points > 1) return halves();
      if (action == Action::Partial)
        LOG(ERROR) << "InfluxDB Response : " << Excerpt(response) << " [" << CodeText(code) << ", "
                   << std::max<std::size_t>(refused, 1) << " points dropped]";
      else if (!response.empty())
        LOG(INFO) << "InfluxDB Response : " << Excerpt(response);
      result.done += points;
      result.refused += action == Action::Partial ? std::max<std::size_t>(refused, 1) : 0;
      return true;
    }
    case Action::Split:
    case Action::Bisect:
      if (points > 1) return halves();
      // One line the server will never take: it alone is lost.
      RefusedLine(body, code, response);
      ++result.done;
      ++result.refused;
      return true;
    case Action::Recreate:
      _databaseReady = false;
      if (!created) {
        const bool first = code != _failingCode;  // of this episode: log it
        if (first) LOG(WARNING) << "InfluxDB Database Missing, creating it again [" << Target() << "]";
        TryCreate(first);
        if (_databaseReady) return Send(body, points, result, true);
      }
      Failing(code, response, points);
      result.failure = Failure::Refused;
      return false;
    case Action::Credentials:
      Failing(code, response, points);
      result.failure = Failure::Refused;
      return false;
    case Action::TimedOut:
      Failing(code, response, points);
      result.failure = Failure::TimedOut;
      return false;
    case Action::Cancelled:
      result.failure = Failure::Cancelled;
      return false;
    case Action::Retry:
      break;
  }
  Failing(code, response, points);
  result.failure = Failure::Unreachable;
  return false;
}

IDatabaseDriver::WriteResult InfluxdbDriver::WriteLines(const std::string& lines, std::size_t points) {
  WriteResult result;
  if (points > 0) Send(lines, points, result, false);
  return result;
}

bool InfluxdbDriver::Insert(const std::shared_ptr<DBMeasurement>& measurement) {
  if (!measurement) return false;
  std::string line;
  if (!FormatLine(*measurement, line)) {
    LOG(INFO) << "InfluxDB Point Skipped, No Values : " << measurement->Name();
    return false;
  }
  const auto result = WriteLines(line, 1);
  return result.done == 1 && result.refused == 0;
}

}  // namespace VESK
