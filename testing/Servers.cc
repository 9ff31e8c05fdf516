#include "Servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sstream>

namespace pemrix::testing {

MosquittoBroker::MosquittoBroker(std::string extraConfig, int port)
    : _extra(std::move(extraConfig)), _port(port > 0 ? port : FreeTcpPort()) {}

MosquittoBroker::~MosquittoBroker() { Stop(); }

bool MosquittoBroker::Start() {
  std::ostringstream conf;
  conf << "listener " << _port << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "persistence false\n"
       // As root, mosquitto would drop to its own user and lose access to the
       // test's private folder.
       << "user root\n"
       << "log_dest file " << _dir.File("mosquitto.log") << "\n"
       << "log_type all\n"
       << _extra << "\n";
  WriteFile(_dir.File("mosquitto.conf"), conf.str());
  Process::Options o;
  o.argv = {"mosquitto", "-c", _dir.File("mosquitto.conf")};
  o.output = _dir.File("mosquitto.out");
  _process = std::make_unique<Process>(o);
  if (!_process->Start()) return false;
  return WaitUntil([this] { return !_process->Running() ? true : TcpPortOpen(_port); }, 10s) && _process->Running();
}

void MosquittoBroker::Stop() {
  if (_process) _process->Stop(SIGTERM, 5s);
}

void MosquittoBroker::Kill() {
  if (_process) _process->Kill();
}

std::string UrlEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

HttpResult HttpRequest(int port, const std::string& method, const std::string& target, const std::string& body) {
  HttpResult result;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return result;
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return result;
  }
  std::ostringstream req;
  req << method << " " << target << " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " << body.size() << "\r\n";
  if (!body.empty()) req << "Content-Type: application/x-www-form-urlencoded\r\n";
  req << "\r\n" << body;
  std::string text = req.str();
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      close(fd);
      return result;
    }
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buf[4096];
  while (true) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t sp = answer.find(' ');
  size_t headEnd = answer.find("\r\n\r\n");
  if (sp == std::string::npos || headEnd == std::string::npos) return result;
  result.status = std::atoi(answer.c_str() + sp + 1);
  result.body = answer.substr(headEnd + 4);
  return result;
}

InfluxServer::InfluxServer() : _port(FreeTcpPort()), _rpcPort(FreeTcpPort()) {}

InfluxServer::~InfluxServer() { Stop(); }

bool InfluxServer::Start() {
  std::ostringstream conf;
  conf << "reporting-disabled = true\n"
       << "bind-address = \"127.0.0.1:" << _rpcPort << "\"\n"
       << "[meta]\n  dir = \"" << _dir.File("meta") << "\"\n  logging-enabled = false\n"
       << "[data]\n  dir = \"" << _dir.File("data") << "\"\n  wal-dir = \"" << _dir.File("wal") << "\"\n"
       << "  query-log-enabled = false\n  wal-fsync-delay = \"0s\"\n"
       << "[monitor]\n  store-enabled = false\n"
       << "[continuous_queries]\n  enabled = false\n"
       << "[http]\n  enabled = true\n  bind-address = \"127.0.0.1:" << _port << "\"\n"
       << "  log-enabled = false\n";
  WriteFile(_dir.File("influxdb.conf"), conf.str());
  Process::Options o;
  o.argv = {"influxd", "-config", _dir.File("influxdb.conf")};
  o.output = _dir.File("influxd.out");
  _process = std::make_unique<Process>(o);
  if (!_process->Start()) return false;
  return WaitUntil(
             [this] {
               if (!_process->Running()) return true;
               return HttpRequest(_port, "GET", "/ping").status == 204;
             },
             30s, 50ms) &&
         _process->Running();
}

void InfluxServer::Stop() {
  if (_process) _process->Stop(SIGTERM, 10s);
}

std::string InfluxServer::Query(const std::string& db, const std::string& q) {
  auto r = HttpRequest(_port, "GET", "/query?epoch=ns&db=" + UrlEncode(db) + "&q=" + UrlEncode(q));
  return r.status == 200 ? r.body : "";
}

HttpResult InfluxServer::Execute(const std::string& q) {
  return HttpRequest(_port, "POST", "/query", "q=" + UrlEncode(q));
}

}  // namespace pemrix::testing
