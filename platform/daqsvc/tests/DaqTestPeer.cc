#include "DaqTestPeer.h"

#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <nanomsg/reqrep.h>

namespace pemrix::testing {
namespace {

// A request socket sends text, a subscriber takes every event; up to count messages.
std::vector<std::string> Exchange(int protocol, const std::string& url, const std::string& text,
                                  std::chrono::milliseconds timeout, size_t count = 1) {
  struct Socket {
    int fd;
    ~Socket() { nn_close(fd); }
  } s{nn_socket(AF_SP, protocol)};
  int ms = static_cast<int>(timeout.count());
  std::vector<std::string> messages;
  if (nn_setsockopt(s.fd, NN_SOL_SOCKET, NN_SNDTIMEO, &ms, sizeof ms) < 0 ||
      nn_setsockopt(s.fd, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof ms) < 0 || nn_connect(s.fd, url.c_str()) < 0 ||
      (protocol == NN_SUB ? nn_setsockopt(s.fd, NN_SUB, NN_SUB_SUBSCRIBE, "", 0)
                          : nn_send(s.fd, text.data(), text.size(), 0)) < 0)
    return messages;
  for (char* buffer = nullptr; messages.size() < count; nn_freemsg(buffer)) {
    int n = nn_recv(s.fd, &buffer, NN_MSG, 0);
    if (n < 0) break;
    messages.emplace_back(buffer, static_cast<size_t>(n));
  }
  return messages;
}

}  // namespace

std::string RpcText(const std::string& url, const std::string& text, std::chrono::milliseconds timeout) {
  auto reply = Exchange(NN_REQ, url, text, timeout);
  return reply.empty() ? "" : reply[0];
}

nlohmann::json RpcCall(const std::string& url, const std::string& method, const nlohmann::json& params,
                       std::chrono::milliseconds timeout) {
  const std::string text = nlohmann::json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}}.dump();
  auto response = nlohmann::json::parse(RpcText(url, text, timeout), nullptr, false);
  return response.is_discarded() ? nlohmann::json() : response;
}

std::vector<nlohmann::json> Events(const std::string& url, size_t count, std::chrono::milliseconds timeout) {
  std::vector<nlohmann::json> events;
  for (const auto& bytes : Exchange(NN_SUB, url, "", timeout, count)) {
    auto event = nlohmann::json::from_bson(bytes, true, false);
    events.push_back(event.is_discarded() ? nlohmann::json() : event);
  }
  return events;
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
