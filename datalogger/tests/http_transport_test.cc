// The InfluxDB HTTP transport against scripted peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "DataLoggerTestSupport.h"
#include "InfluxHttp.h"
#include "InfluxdbDriver.h"
#include "LogCapture.h"
#include "PointForwarder.h"

using namespace VESK::influx;
using namespace std::string_literals;
using namespace std::chrono_literals;
using namespace pemrix::testing;

static server_info At(int port, int ms = 2000) { return {"127.0.0.1", port, "db", "", "", "ms", ms, nullptr}; }

TEST(HttpTransport, SendsOneRequestWithEncodedCredentialsALongHeadAndALargeBody) {
  const std::string large(4 * 1024 * 1024, 'b'), longPassword(600, 'p');
  ScriptedPeer peer(Answer("HTTP/1.1 204 No Content\r\nX-A: 1\r\n\r\n"));
  server_info si = At(peer.Port());
  si.database = "my db";
  si.user = "us&er";
  si.password = "p#w d/\xC3\xA4\"\0-_.~AZ09"s + longPassword;
  std::string body = "stale";
  EXPECT_EQ(0, http_request("POST", "write", "&x=1", large, si, &body));
  EXPECT_EQ("", body);
  EXPECT_TRUE(peer.Request() == "POST /write?db=my+db&u=us%26er&p=p%23w+d%2F%C3%A4%22%00-_.~AZ09" + longPassword +
                                    "&epoch=ms&x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4194304\r\n\r\n" +
                                    large)
      << peer.Request().substr(0, 800);
}

// A peer that stops early or sends what is not HTTP never passes for a success.
TEST(HttpTransport, JudgesEveryAnswer) {
  const std::string refusal = R"({"error":"partial write: field type conflict"})";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  // Answer, code, and body (checked for a status).
  const std::tuple<std::string, int, std::string> cases[] = {
      {"HTTP/1.1 400 Bad Request\r\nContent-Length: 46\r\n\r\n" + refusal, 400, refusal},
      {chunked + "A\r\n0123456789\r\n3\r\nabc\r\n0\r\n\r\n", 0, "0123456789abc"},
      {"HTTP/1.1 400 Bad Request\r\ncontent-length: 5\r\n\r\nwrong", 400, "wrong"},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 0, "ok"},
      {chunked + "5;ext=1\r\nhello\r\n0\r\n\r\n", kHttpBadChunkLength, ""},
      {chunked + "5\r\nhelloX\r\n0\r\n\r\n", kHttpFramingFailed, ""},
      {"", kHttpStatusFailed, ""},
      {"HTTP/1.1 2", kHttpStatusFailed, ""},
      {"HTTP/1.1 204 No Content\r\nX-A: b", kHttpHeaderFailed, ""},
      {"HTTP/1.1 204 No Content\r\n\rX", kHttpFramingFailed, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", kHttpBodyTruncated, ""},
      {chunked + "5", kHttpStatusFailed, ""},
      {chunked + "5\r\nhe", kHttpBodyTruncated, ""},
      {"HTTP/1.1 2\0"s + "04 OK\r\n\r\n", kHttpStatusFailed, ""},
      {"HTTP/1.1 204 OK\r\nX: \0\r\n\r\n"s, kHttpHeaderFailed, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", kHttpHeaderFailed, ""},
      {"hello world\r\n\r\n", kHttpStatusFailed, ""}};
  for (const auto& [answer, code, expected] : cases) {
    SCOPED_TRACE(answer);
    ScriptedPeer peer(Answer("", answer, 0ms, 5));  // in pieces, parsed as they come
    std::string body;
    EXPECT_EQ(code, http_request("POST", "query", "", "x", At(peer.Port()), &body));
    EXPECT_TRUE(code < 0 || expected == body) << body;
  }
}

// A reset while a large body fills the socket buffers ends the send at once.
TEST(HttpTransport, AHostNameOrAPeerResettingDuringTheSendEndInAnError) {
  EXPECT_EQ(kHttpBadHost, http_request("POST", "write", "", "x", {"localhost", 1, "db", "", "", "ms", 2000, nullptr}));
  ScriptedPeer resetting(
      [](ScriptedPeer&, int fd) {
        std::this_thread::sleep_for(50ms);
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      },
      false);
  const int code = http_request("POST", "write", "", std::string(32 * 1024 * 1024, 'x'), At(resetting.Port()), nullptr);
  EXPECT_TRUE(code == kHttpSendFailed || code == kHttpStatusFailed) << code;
}

TEST(HttpTransport, BoundsTheWholeExchangeItsSizesAndEndsOnCancel) {
  const std::string chunk = "1000\r\n" + std::string(4096, 'x') + "\r\n";
  std::atomic<bool> cancel{false};
  const std::tuple<const char*, ScriptedPeer::Script, int> cases[] = {
      {"trickled head", Answer("", "HTTP/1.1 204 No Content\r\nX-A: 1\r\n\r\n", 100ms), kHttpTimedOut},
      {"trickled body", Answer("HTTP/1.1 400 Bad\r\nContent-Length: 100\r\n\r\n", std::string(100, 'b'), 100ms),
       kHttpTimedOut},
      {"endless chunked body",
       Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunk, 0ms, chunk.size(), true), kHttpTooLarge},
      {"endless head", Answer("", "HTTP/1.1 200 OK\r\nX-A: 1\r\n", 0ms, 64, true), kHttpTooLarge},
      {"cancelled", [&cancel](ScriptedPeer& p, int fd) { cancel = true, Hold(p, fd); }, kHttpCancelled},
  };
  for (const auto& [name, script, code] : cases) {
    SCOPED_TRACE(name);
    ScriptedPeer peer(script);
    server_info si = At(peer.Port(), code == kHttpCancelled ? 5000 : 400);
    si.cancel = &cancel;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(code, http_request("POST", "write", "", "x", si, nullptr));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(code != kHttpTimedOut || took >= 350ms);
    EXPECT_LT(took, 1000ms);
  }
}

// The port is an integral float.
TEST(HttpTransport, CreateDatabaseAnswerCarryingAnErrorIsAFailure) {
  const std::string answer = R"({"results":[{"statement_id":0,"error":"database name required"}]})";
  ScriptedPeer peer(Answer(HttpAnswer(200, answer)));
  VESK::InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON({{"host", "127.0.0.1"}, {"port", double(peer.Port())}, {"database_name", "d"}}));
  pemrix::testing::LogCapture log;
  driver.CreateDatabase();
  EXPECT_TRUE(log.Contains("InfluxDB Create DB, Resp " + answer, "ERROR"));
  EXPECT_FALSE(log.Contains("InfluxDB Create DB", "INFO"));
}

// What becomes of three lines (one of them "bad") for each answer of the server.
TEST(HttpTransport, EachAnswerDecidesWhatBecomesOfTheLines) {
  using VESK::IDatabaseDriver;
  using F = IDatabaseDriver::Failure;
  const auto fixed = [](int status, std::string body = "") {
    return [=](const std::string&, int) { return HttpAnswer(status, body); };
  };
  const auto lines = [](const std::string& request) {
    return 1 + std::count(request.begin(), request.end(), '\n') - 4;
  };
  const std::tuple<const char*, std::function<std::string(const std::string&, int)>, std::size_t, std::size_t, F,
                   const char*>
      rows[] = {
          {"204", fixed(204), 3, 0, F::None, ""},
          {"partial write", fixed(400, R"({"error":"partial write: x dropped=1"})"), 3, 1, F::None,
           "1 points dropped]"},
          {"unable to parse", fixed(400, R"({"error":"unable to parse 'a': x\nunable to parse 'b': y"})"), 3, 2,
           F::None, "2 points dropped]"},
          {"400 naming none", [](auto& r, int) { return HttpAnswer(r.find("bad") != std::string::npos ? 400 : 204); },
           3, 1, F::None, "line 'bad v=1i 3'"},
          {"401", fixed(401, R"({"error":"authorization failed"})"), 0, 0, F::Refused,
           "InfluxDB Write Refused! Code 401 {\"error\":\"authorization failed\"}, 3 points kept, retrying [server "
           "127.0.0.1:"},
          {"403", fixed(403), 0, 0, F::Refused, "user 'u']"},
          {"404, created again",
           [](auto& r, int n) {
             return n == 0 ? HttpAnswer(404, R"({"error":"database not found: \"db\""})")
                           : HttpAnswer(r.find("POST /query") == 0 ? 200 : 204, "{}");
           },
           3, 0, F::None, "InfluxDB Database Missing"},
          {"413 above one line", [&](auto& r, int) { return HttpAnswer(lines(r) > 1 ? 413 : 204); }, 3, 0, F::None, ""},
          {"413 for every line", fixed(413), 3, 3, F::None, "line 'a v=1i 1'"},
          {"503", fixed(503, "busy"), 0, 0, F::Unreachable, "[Code 503, 3 points kept"},
          {"no answer", [](auto&, int) { return ""s; }, 0, 0, F::Unreachable, "InfluxDB Write Failed! Code -7"},
      };
  for (const auto& [name, answer, done, refused, failure, logged] : rows) {
    SCOPED_TRACE(name);
    std::atomic<int> requests{0};
    ScriptedPeer peer(
        [&, answer = answer](ScriptedPeer& p, int fd) { ScriptedPeer::Send(fd, answer(p.Request(), requests++)); });
    VESK::InfluxdbDriver driver;
    ASSERT_TRUE(driver.LoadFromJSON({{"host", "127.0.0.1"},
                                     {"port", peer.Port()},
                                     {"database_name", "db"},
                                     {"username", "u"},
                                     {"password", "secret"},
                                     {"timeout_ms", 2000}}));
    driver.CreateDatabase();
    requests = 0;
    LogCapture log;
    const auto result = driver.WriteLines("a v=1i 1\nbad v=1i 3\nc v=1i 3", 3);
    EXPECT_EQ(std::make_tuple(done, refused, failure), std::make_tuple(result.done, result.refused, result.failure));
    EXPECT_TRUE(!*logged || log.Contains(logged));
    EXPECT_FALSE(log.Contains("secret"));
  }
}

// A link of about 4 KB/s under a 300 ms deadline and a backlog of 4 KB:
// batches shrink until they cross, and the whole backlog arrives.
TEST(HttpTransport, ABacklogDrainsOverASlowLink) {
  std::mutex mutex;
  std::set<std::string> received;
  ScriptedPeer slow(
      [&](ScriptedPeer& peer, int fd) {
        std::string request;
        char buf[100];
        for (std::size_t need = std::string::npos, n; !peer.Done() && request.size() < need;) {
          if ((n = ::recv(fd, buf, sizeof buf, 0)) == 0 || n > sizeof buf) return;
          request.append(buf, n);
          std::this_thread::sleep_for(25ms);
          const auto end = request.find("\r\n\r\n");
          if (end != std::string::npos) need = end + 4 + std::stoul(request.substr(request.find("Length: ") + 8));
        }
        if (!ScriptedPeer::Send(fd, "HTTP/1.1 204 No Content\r\n\r\n")) return;
        std::lock_guard<std::mutex> lock(mutex);
        std::istringstream body(request.substr(request.find("\r\n\r\n") + 4));
        for (std::string line; std::getline(body, line);) received.insert(line);
      },
      false);
  auto driver = std::make_shared<VESK::InfluxdbDriver>();
  ASSERT_TRUE(driver->LoadFromJSON(
      {{"host", "127.0.0.1"}, {"port", slow.Port()}, {"database_name", "d"}, {"timeout_ms", 300}}));
  TempDir queue{"pemrix-queue"};
  std::atomic<bool> cancel{false};
  VESK::PointForwarder forwarder(driver, {queue.Path(), {}, 5000, 20ms, 100ms}, cancel);
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) lines.push_back("m v=" + std::to_string(i) + "i " + std::to_string(1000000000 + i));
  forwarder.Start();
  forwarder.Submit(lines);
  EXPECT_TRUE(WaitUntil([&] { return forwarder.Counters().written == 200; }, 30s));
  forwarder.Stop();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), received);
}
