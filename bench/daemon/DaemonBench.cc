// The daemon at wire speed against a raw libmosquitto peer on the same broker
// that answers without doing the work, both driven by the operator tool's link.
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "GatewayLink.h"
#include "daemon_harness.h"

namespace {

using namespace pemrix::testing;
using namespace VESK::ctl;
constexpr auto kQuiet = std::chrono::milliseconds(1500);

// Echoes "test", counts upload bytes and answers "upload_status", on its own network thread.
struct RawPeer {
  RawPeer(int port, std::string base) : _base(std::move(base)), _mosq(mosquitto_new(nullptr, true, this)) {
    mosquitto_int_option(_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(_mosq, [](mosquitto* m, void* self, int) {
      for (const char* topic : {"request", "receive"})
        mosquitto_subscribe(m, nullptr, (static_cast<RawPeer*>(self)->_base + topic).c_str(), 2);
    });
    mosquitto_message_callback_set(
        _mosq, [](mosquitto*, void* self, const mosquitto_message* m) { static_cast<RawPeer*>(self)->OnMessage(m); });
    mosquitto_connect(_mosq, "127.0.0.1", port, 60);
    mosquitto_loop_start(_mosq);
  }
  ~RawPeer() {
    mosquitto_loop_stop(_mosq, true);
    mosquitto_destroy(_mosq);
  }
  void Reply(const json& reply) {
    const std::string text = reply.dump(0);
    mosquitto_publish(_mosq, nullptr, (_base + "response").c_str(), int(text.size() + 1), text.c_str(), 2, false);
  }
  void OnMessage(const mosquitto_message* m) {
    const char* p = static_cast<const char*>(m->payload);
    if (_base + "receive" == m->topic) {
      if ((_received += m->payloadlen) == _size)
        Reply({{"command", "upload_file"}, {"id", _upload["id"]}, {"result", 0}});
      return;
    }
    json request = json::parse(p, p + m->payloadlen, nullptr, false);
    json reply = {{"command", request.value("command", "")}, {"id", request.value("id", json())}, {"result", 0}};
    if (reply["command"] == "upload_file") {
      _upload = request;
      _size = request.value("size", int64_t(0));
      _received = 0;
    } else if (reply["command"] == "upload_status") {
      reply.update({{"filename", _upload.value("filename", "")}, {"open", _received < _size}});
      reply.update({{"received", _received}, {"size", _size}});
    }
    Reply(reply["command"] == "test" ? request : reply);
  }

  std::string _base;
  mosquitto* _mosq;
  int64_t _size = 0, _received = 0;  // the library's thread only
  json _upload;
};

std::unique_ptr<GatewayLink> Link(int port, const std::string& base) {
  auto connector = std::make_shared<VESK::MqttConnector>();
  connector->_host = "127.0.0.1";
  connector->_port = port;
  auto link = std::make_unique<GatewayLink>(connector, base);
  return link->Connect(Clock::now() + 10s) ? std::move(link) : nullptr;
}

// Median ms, each after `pause` of quiet.
double RoundTrip(GatewayLink& link, int count, std::chrono::milliseconds pause) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(pause);
    const auto start = Clock::now();
    if (!link.WaitReply("test", link.Send({{"command", "test"}}), Clock::now() + 5s)) return -1;
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// MB/s of a windowed, verified 100 MB upload after quiet.
double UploadRate(GatewayLink& link, const std::string& file, const std::string& name) {
  std::this_thread::sleep_for(kQuiet);
  const auto start = Clock::now();
  UploadOptions options;
  options.path = file;
  options.name = name;
  if (!Upload(link, options).ok) return -1;
  return 100.0 / std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU ns and times run (wake-ups) of pid so far, by the scheduler's count.
std::pair<long long, long long> Cost(pid_t pid) {
  long long cpuNs = 0, waitNs = 0, runs = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> cpuNs >> waitNs >> runs;
  return {cpuNs, runs};
}

}  // namespace

int main() {
  mosquitto_lib_init();
  DaemonHarness h("root", "set_tcp_nodelay true");
  if (!h.Start()) {
    std::fprintf(stderr, "daemon did not start\n%s", h.Log().c_str());
    return 1;
  }
  RawPeer raw(h.broker.Port(), "/bench/raw/");
  auto toDaemon = Link(h.broker.Port(), h.Topic("")), toRaw = Link(h.broker.Port(), "/bench/raw/");
  if (!toDaemon || !toRaw) return 1;

  std::printf("%-44s %10s %10s %8s  %s\n", "\"test\" round trip, QoS 2 (median)", "daemon", "raw", "ratio", "target");
  for (auto pause : {std::chrono::milliseconds(0), kQuiet}) {
    const int n = pause.count() ? 5 : 200;
    double d = RoundTrip(*toDaemon, n, pause), r = RoundTrip(*toRaw, n, pause);
    std::printf("%-44s %7.3f ms %7.3f ms %7.2fx  %s\n", pause.count() ? "  after 1.5 s of quiet" : "  back to back", d,
                r, d / r, d <= 2 * r + 0.3 ? "met (<= 2x + 0.3 ms)" : "MISSED (<= 2x + 0.3 ms)");
  }
  const std::string file = h.dir.File("upload.bin"), name = "pemrix-bench-" + std::to_string(getpid());
  if (RunShell("head -c 100000000 /dev/urandom > '" + file + "'") != 0) return 1;
  double d = UploadRate(*toDaemon, file, name), r = UploadRate(*toRaw, file, name);
  RunShell("rm -f /tmp/" + name);
  std::printf("%-44s %7.1f MB/s %5.1f MB/s %5.2fx  %s\n", "100 MB upload, 64 KiB chunks, after quiet", d, r, d / r,
              d >= r / 2 ? "met (>= 0.5x)" : "MISSED (>= 0.5x)");

  std::this_thread::sleep_for(kQuiet);
  const auto before = Cost(h.daemon->Pid());
  std::this_thread::sleep_for(10s);
  const auto after = Cost(h.daemon->Pid());
  std::printf("%-44s %7.1f ms CPU, %lld wake-ups\n", "daemon idle for 10 s", (after.first - before.first) / 1e6,
              after.second - before.second);
}
