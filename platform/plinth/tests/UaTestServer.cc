#include "UaTestServer.h"

#include <sstream>

namespace pemrix::testing {

bool UaTestServer::Launch() {
  std::vector<std::string> argv = {
      "node", PEMRIX_UA_SERVER_DIR "/server.js", "--port", std::to_string(_port), "--pki", _dir.File("pki")};
  argv.insert(argv.end(), _switches.begin(), _switches.end());
  WriteFile(_dir.File("server.out"), "");  // Ready looks for this run's "listening"
  _process = std::make_unique<Process>(Process::Options{argv, "", {}, _dir.File("server.out")});
  return _process->Start();
}

bool UaTestServer::Ready() {
  auto listening = [this] { return !_process->Running() || Output().find("{\"listening\"") != std::string::npos; };
  return WaitUntil(listening, 90s, 50ms) && _process->Running();
}

std::vector<nlohmann::json> UaTestServer::Events() const {
  std::vector<nlohmann::json> out;
  std::istringstream lines(Output());
  for (std::string line; std::getline(lines, line);)
    if (auto j = nlohmann::json::parse(line, nullptr, false); j.is_object()) out.push_back(std::move(j));
  return out;
}

}  // namespace pemrix::testing
