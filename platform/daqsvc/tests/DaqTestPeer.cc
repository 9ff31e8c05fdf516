#include "DaqTestPeer.h"

#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <nanomsg/reqrep.h>

#include <optional>

namespace pemrix::testing {
namespace {

// The next message on fd within timeout; nullopt when none came.
std::optional<std::string> Receive(int fd, std::chrono::milliseconds timeout) {
  int ms = static_cast<int>(timeout.count());
  char* buffer = nullptr;
  if (nn_setsockopt(fd, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof ms) < 0) return std::nullopt;
  int n = nn_recv(fd, &buffer, NN_MSG, 0);
  if (n < 0) return std::nullopt;
  std::string message(buffer, static_cast<size_t>(n));
  nn_freemsg(buffer);
  return message;
}

}  // namespace

std::string RpcText(const std::string& url, const std::string& text, std::chrono::milliseconds timeout) {
  struct Socket {
    int fd;
    ~Socket() { nn_close(fd); }
  } s{nn_socket(AF_SP, NN_REQ)};
  int ms = static_cast<int>(timeout.count());
  if (nn_setsockopt(s.fd, NN_SOL_SOCKET, NN_SNDTIMEO, &ms, sizeof ms) < 0 || nn_connect(s.fd, url.c_str()) < 0 ||
      nn_send(s.fd, text.data(), text.size(), 0) < 0)
    return "";
  return Receive(s.fd, timeout).value_or("");
}

nlohmann::json RpcCall(const std::string& url, const std::string& method, const nlohmann::json& params,
                       std::chrono::milliseconds timeout) {
  const std::string text = nlohmann::json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}}.dump();
  auto response = nlohmann::json::parse(RpcText(url, text, timeout), nullptr, false);
  return response.is_discarded() ? nlohmann::json() : response;
}

EventSubscriber::EventSubscriber(const std::string& url) : _fd(nn_socket(AF_SP, NN_SUB)) {
  nn_setsockopt(_fd, NN_SUB, NN_SUB_SUBSCRIBE, "", 0);
  nn_connect(_fd, url.c_str());
}

EventSubscriber::~EventSubscriber() { nn_close(_fd); }

nlohmann::json EventSubscriber::Next(std::chrono::milliseconds timeout) {
  auto bytes = Receive(_fd, timeout);
  auto event = bytes ? nlohmann::json::from_bson(*bytes, true, false) : nlohmann::json();
  return event.is_discarded() ? nlohmann::json() : event;
}

void DaqServiceFixture::SetUp() {
  WriteFile(dir.File("log.conf"), "* GLOBAL:\n   FORMAT = \"%datetime %level %msg\"\n   FILENAME = \"" +
                                      dir.File("daqsvc.log") +
                                      "\"\n   TO_FILE = true\n   TO_STANDARD_OUTPUT = false\n");
}

std::string DaqServiceFixture::Config(const nlohmann::json& devices, int cycleMs) {
  nlohmann::json config = {{"daq_api", api}, {"daq_event", event}, {"cycle_ms", cycleMs}, {"devices", devices}};
  WriteFile(dir.File("daqsvc.json"), config.dump());
  return dir.File("daqsvc.json");
}

std::unique_ptr<Process> DaqServiceFixture::Launch(const std::string& config, bool ready) {
  auto p = std::make_unique<Process>(
      Process::Options{{BinPath("pemrix-daqsvc"), config}, dir.Path(), {}, dir.File("daqsvc.out")});
  EXPECT_TRUE(p->Start());
  bool started = !ready || WaitUntil([&] { return Log().find("DAQ Service Started") != std::string::npos; }, 20s);
  EXPECT_TRUE(started) << Log();
  return p;
}

}  // namespace pemrix::testing
