// The InfluxDB HTTP transport against scripted peers on loopback: for
// answers a real server never gives (cut-off heads, NUL bytes, lower-case
// headers, silence).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "InfluxHttp.h"
#include "InfluxdbDriver.h"
#include "LogCapture.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

using namespace VESK::influx;
using namespace std::string_literals;
using pemrix::testing::ScriptedPeer;

namespace {

server_info At(int port) {
  server_info si;
  si.port = port;
  si.database = "db";
  si.timeout_ms = 2000;
  return si;
}

}  // namespace

TEST(HttpTransport, SendsOneRequestWithEncodedCredentialsALongHeadAndALargeBody) {
  const std::string large(4 * 1024 * 1024, 'b'), longPassword(600, 'p');
  ScriptedPeer peer([](ScriptedPeer&, int fd) { ScriptedPeer::Send(fd, "HTTP/1.1 204 No Content\r\nX-A: 1\r\n\r\n"); });
  server_info si = At(peer.Port());
  si.database = "my db";
  si.user = "us&er";
  si.password = "p#w d" + longPassword;
  std::string body = "stale";
  EXPECT_EQ(0, http_request("POST", "write", "&x=1", large, si, &body));
  EXPECT_EQ("", body);
  EXPECT_TRUE(peer.Request() == "POST /write?db=my+db&u=us%26er&p=p%23w+d" + longPassword +
                                    "&epoch=ms&x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4194304\r\n\r\n" +
                                    large)
      << peer.Request().substr(0, 800);
}

// Every answer ends in its status and body, or in an error code: a peer that
// stops early or sends what is not HTTP never passes for a success.
TEST(HttpTransport, JudgesEveryAnswer) {
  const std::string refusal = R"({"error":"partial write: field type conflict: 777777777"})";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Case {
    std::string answer;
    int code;
    std::string body{};    // checked for statuses only
    bool dribble = false;  // sent 3 bytes at a time
  };
  const Case cases[] = {
      {"HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\nContent-Length: 57\r\n\r\n" + refusal, 400,
       refusal},
      {"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", 503, ""},
      {chunked + "5\r\nhello\r\n0\r\n\r\n", 0, "hello"},
      {chunked + "A\r\n0123456789\r\n3\r\nabc\r\n0\r\n\r\n", 0, "0123456789abc", true},
      {"HTTP/1.1 400 Bad Request\r\ncontent-length: 5\r\n\r\nwrong", 400, "wrong"},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 0, "ok"},
      {chunked + "5;ext=1\r\nhello\r\n0\r\n\r\n", kHttpBadChunkLength},
      {chunked + "5\r\nhelloX\r\n0\r\n\r\n", kHttpFramingFailed},
      {"", kHttpStatusFailed},
      {"HTTP/1.1 2", kHttpStatusFailed},
      {"HTTP/1.1 204 No Content\r\nX-A: b", kHttpHeaderFailed},
      {"HTTP/1.1 204 No Content\r\n\rX", kHttpFramingFailed},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", kHttpBodyTruncated},
      {chunked + "5", kHttpStatusFailed},
      {chunked + "5\r\nhe", kHttpBodyTruncated},
      {"HTTP/1.1 2\0"s
       "04 OK\r\n\r\n",
       kHttpStatusFailed},
      {"HTTP/1.1 204 OK\r\nX: \0\r\n\r\n"s, kHttpHeaderFailed},
      {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", kHttpHeaderFailed},
      {"hello world\r\n\r\n", kHttpStatusFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    ScriptedPeer peer([&c](ScriptedPeer&, int fd) {
      for (std::size_t i = 0; i < c.answer.size(); i += c.dribble ? 3 : c.answer.size()) {
        ScriptedPeer::Send(fd, c.answer.substr(i, c.dribble ? 3 : std::string::npos));
        if (c.dribble) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::string body;
    EXPECT_EQ(c.code, http_request("POST", "query", "", "x", At(peer.Port()), &body));
    if (c.code >= 0) {
      EXPECT_EQ(c.body, body);
    }
  }
}

TEST(HttpTransport, NoAddressNoServerASilentOrResettingPeerEndInAnErrorWithoutAWait) {
  server_info si = At(1);
  si.host = "localhost";
  EXPECT_EQ(kHttpBadHost, http_request("POST", "write", "", "x", si, nullptr));
  EXPECT_EQ(kHttpConnectFailed, http_request("POST", "write", "", "x", At(pemrix::testing::FreeTcpPort()), nullptr));

  ScriptedPeer silent([](ScriptedPeer& self, int) { self.Hold(); });
  si = At(silent.Port());
  si.timeout_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kHttpTimedOut, http_request("POST", "write", "", "x", si, nullptr));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(2000));

  // A large body fills the socket buffers; the peer resets the connection
  // without reading it: the send ends with an error, it does not wait.
  ScriptedPeer resetting(
      [](ScriptedPeer&, int fd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      },
      false);
  const int code = http_request("POST", "write", "", std::string(32 * 1024 * 1024, 'x'), At(resetting.Port()), nullptr);
  EXPECT_TRUE(code == kHttpSendFailed || code == kHttpStatusFailed) << code;
}

// One deadline bounds the whole exchange however the peer paces its bytes,
// sizes are bounded however much it sends, and a raised cancel flag ends the
// wait at once.
TEST(HttpTransport, BoundsTheWholeExchangeItsSizesAndEndsOnCancel) {
  using namespace std::chrono_literals;
  const std::string chunk = "1000\r\n" + std::string(4096, 'x') + "\r\n";
  struct Case {
    const char* name;
    ScriptedPeer::Script script;
    int code;
    bool cancel = false;
  };
  const Case cases[] = {
      {"trickled head",
       [](ScriptedPeer& p, int fd) { p.Trickle(fd, "HTTP/1.1 204 No Content\r\nX-A: 1\r\n\r\n", 100ms); },
       kHttpTimedOut},
      {"trickled body",
       [](ScriptedPeer& p, int fd) {
         ScriptedPeer::Send(fd, "HTTP/1.1 400 Bad\r\nContent-Length: 100\r\n\r\n");
         p.Trickle(fd, std::string(100, 'b'), 100ms);
       },
       kHttpTimedOut},
      {"endless chunked body",
       [&chunk](ScriptedPeer& p, int fd) {
         ScriptedPeer::Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
         p.Trickle(fd, chunk, 0ms, chunk.size(), true);
       },
       kHttpTooLarge},
      {"endless head", [](ScriptedPeer& p, int fd) { p.Trickle(fd, "HTTP/1.1 200 OK\r\nX-A: 1\r\n", 0ms, 64, true); },
       kHttpTooLarge},
      {"cancelled", [](ScriptedPeer& p, int) { p.Hold(); }, kHttpCancelled, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.script);
    std::atomic<bool> cancel{false};
    server_info si = At(peer.Port());
    si.timeout_ms = c.cancel ? 5000 : 600;
    si.cancel = &cancel;
    std::thread raiser([&] {
      if (!c.cancel) return;
      std::this_thread::sleep_for(200ms);
      cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.code, http_request("POST", "write", "", "x", si, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    raiser.join();
  }
}

// The statement's error comes in a 200 answer; the port is given as an
// integral float.
TEST(HttpTransport, CreateDatabaseAnswerCarryingAnErrorIsAFailure) {
  const std::string answer = R"({"results":[{"statement_id":0,"error":"database name required"}]})";
  ScriptedPeer peer([&](ScriptedPeer&, int fd) {
    ScriptedPeer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer);
  });
  VESK::InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON({{"host", "127.0.0.1"}, {"port", double(peer.Port())}, {"database_name", "d"}}));
  pemrix::testing::LogCapture log;
  driver.CreateDatabase();
  EXPECT_TRUE(log.Contains("InfluxDB Create DB, Resp " + answer, "ERROR"));
  EXPECT_FALSE(log.Contains("InfluxDB Create DB", "INFO"));
}

TEST(HttpTransport, UrlEncode) {
  for (const auto& [in, out] : {std::pair{"my db/\xC3\xA4"s, "my+db%2F%C3%A4"},
                                {"xyz-_.~AZ09"s, "xyz-_.~AZ09"},
                                {"a&b#\"\0"s, "a%26b%23%22%00"}}) {
    std::string encoded = "q=";
    url_encode(encoded, in);
    EXPECT_EQ("q="s + out, encoded);
  }
}
