#include "UaTestServer.h"

#include <csignal>
#include <sstream>

namespace pemrix::testing {

UaTestServer::UaTestServer(Options options) : _options(options), _port(FreeTcpPort()) {}

UaTestServer::~UaTestServer() { Kill(); }

bool UaTestServer::Launch() {
  Process::Options o;
  o.argv = {"node",        std::string(PEMRIX_UA_SERVER_DIR) + "/server.js",
            "--port",      std::to_string(_port),
            "--pki",       _dir.File("pki"),
            "--max-read",  std::to_string(_options.maxRead),
            "--max-write", std::to_string(_options.maxWrite),
            "--bulk",      std::to_string(_options.bulk)};
  if (_options.hideLimits) o.argv.push_back("--hide-limits");
  if (_options.idleCloseMs > 0) o.argv.insert(o.argv.end(), {"--idle-close-ms", std::to_string(_options.idleCloseMs)});
  o.output = _dir.File("server.out");
  WriteFile(o.output, "");  // Ready looks for this run's "listening"
  _process = std::make_unique<Process>(o);
  return _process->Start();
}

bool UaTestServer::Ready() {
  return _process &&
         WaitUntil([this] { return !_process->Running() || Output().find("{\"listening\"") != std::string::npos; }, 90s,
                   50ms) &&
         _process->Running();
}

void UaTestServer::Kill() {
  if (_process) _process->Kill();
}

std::string UaTestServer::Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(_port) + "/pemrix"; }

std::vector<nlohmann::json> UaTestServer::Events() const {
  std::vector<nlohmann::json> out;
  std::istringstream lines(Output());
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != '{') continue;
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

}  // namespace pemrix::testing
