// The InfluxDB HTTP transport against scripted peers on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "InfluxHttp.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

using namespace VESK::influx;
using pemrix::testing::ScriptedPeer;
using namespace std::string_literals;

namespace {

server_info At(int port) {
  server_info si;
  si.port = port;
  si.database = "db";
  si.timeout_ms = 2000;
  return si;
}

ScriptedPeer::Script Answer(std::string text) {
  return [text](ScriptedPeer&, int fd) { ScriptedPeer::Send(fd, text); };
}

// One exchange with a peer answering text; returns the code and the body.
int Exchange(const std::string& answer, std::string& body) {
  ScriptedPeer peer(Answer(answer));
  return http_request("POST", "write", "", "x", At(peer.Port()), &body);
}

}  // namespace

TEST(HttpTransport, SendsOneRequestWithEncodedCredentialsAndReads204) {
  ScriptedPeer peer(Answer("HTTP/1.1 204 No Content\r\nX-Influxdb-Version: 1.6\r\n\r\n"));
  server_info si = At(peer.Port());
  si.database = "my db";
  si.user = "us&er";
  si.password = "p#w d";
  std::string body = "stale";
  EXPECT_EQ(0, http_request("POST", "write", "&x=1", "hello", si, &body));
  EXPECT_EQ("", body);
  EXPECT_EQ(
      "POST /write?db=my+db&u=us%26er&p=p%23w+d&epoch=ms&x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: 5\r\n\r\nhello",
      peer.Request());
}

TEST(HttpTransport, LongHeadAndLargeBodyAreSentWhole) {
  const std::string large(4 * 1024 * 1024, 'b');
  ScriptedPeer peer(Answer("HTTP/1.1 204 No Content\r\n\r\n"));
  server_info si = At(peer.Port());
  si.password = std::string(600, 'p');
  EXPECT_EQ(0, http_request("POST", "write", "", large, si, nullptr));
  EXPECT_NE(std::string::npos, peer.Request().find("&p=" + si.password + "&epoch=ms HTTP/1.1\r\n"));
  EXPECT_EQ(large, peer.Request().substr(peer.Request().size() - large.size()));
}

TEST(HttpTransport, ReturnsStatusAndBodyOfRefusals) {
  const std::string error = R"({"error":"partial write: field type conflict: 777777777"})";
  ASSERT_EQ(57u, error.size());
  std::string body;
  EXPECT_EQ(400,
            Exchange("HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\nContent-Length: 57\r\n\r\n" + error,
                     body));
  EXPECT_EQ(error, body);
  EXPECT_EQ(503, Exchange("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", body));
}

TEST(HttpTransport, ReadsChunkedBodiesAcrossPartialReads) {
  std::string body;
  EXPECT_EQ(0, Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", body));
  EXPECT_EQ("hello", body);

  // The same framing dribbled out a few bytes at a time, with a hex length.
  ScriptedPeer slow([](ScriptedPeer&, int fd) {
    const std::string text =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n3\r\nabc\r\n0\r\n\r\n";
    for (std::size_t i = 0; i < text.size(); i += 3) {
      ScriptedPeer::Send(fd, text.substr(i, 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(0, http_request("POST", "query", "", "", At(slow.Port()), &body));
  EXPECT_EQ("0123456789abc", body);

  EXPECT_EQ(kHttpBadChunkLength,
            Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\n\r\n", body));
  EXPECT_EQ(kHttpFramingFailed,
            Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloX\r\n0\r\n\r\n", body));
}

TEST(HttpTransport, HeaderNamesAreCaseInsensitive) {
  std::string body;
  EXPECT_EQ(400, Exchange("HTTP/1.1 400 Bad Request\r\ncontent-length: 5\r\n\r\nwrong", body));
  EXPECT_EQ("wrong", body);
  EXPECT_EQ(0, Exchange("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", body));
  EXPECT_EQ("ok", body);
}

TEST(HttpTransport, HostMustBeAnIpv4Address) {
  server_info si = At(1);
  si.host = "localhost";
  std::string body;
  EXPECT_EQ(kHttpBadHost, http_request("POST", "write", "", "x", si, &body));
}

TEST(HttpTransport, UnreachableServerIsAConnectError) {
  const int port = pemrix::testing::FreeTcpPort();
  EXPECT_EQ(kHttpConnectFailed, http_request("POST", "write", "", "x", At(port), nullptr));
}

// Every way a peer can stop early ends the exchange with an error code, never
// with a success and never with a wait.
TEST(HttpTransport, EarlyCloseAndBadHeadsAreErrors) {
  std::string body;
  EXPECT_EQ(kHttpStatusFailed, Exchange("", body));
  EXPECT_EQ(kHttpStatusFailed, Exchange("HTTP/1.1 2", body));
  EXPECT_EQ(kHttpHeaderFailed, Exchange("HTTP/1.1 204 No Content\r\nX-A: b", body));
  EXPECT_EQ(kHttpFramingFailed, Exchange("HTTP/1.1 204 No Content\r\n\rX", body));
  EXPECT_EQ(kHttpBodyTruncated, Exchange("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", body));
  EXPECT_EQ(kHttpStatusFailed, Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5", body));
  EXPECT_EQ(kHttpBodyTruncated, Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhe", body));
  EXPECT_EQ(kHttpStatusFailed, Exchange("HTTP/1.1 2\0"
                                        "04 OK\r\n\r\n"s,
                                        body));
  EXPECT_EQ(kHttpHeaderFailed, Exchange("HTTP/1.1 204 OK\r\nX: \0\r\n\r\n"s, body));
  EXPECT_EQ(kHttpHeaderFailed, Exchange("HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", body));
  // Not HTTP at all: no status number must not pass for a success.
  EXPECT_EQ(kHttpStatusFailed, Exchange("hello world\r\n\r\n", body));
}

TEST(HttpTransport, SilentPeerTimesOut) {
  ScriptedPeer peer([](ScriptedPeer& self, int) { self.Hold(); });
  server_info si = At(peer.Port());
  si.timeout_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kHttpStatusFailed, http_request("POST", "write", "", "x", si, nullptr));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST(HttpTransport, PeerThatResetsDuringTheSendIsAnError) {
  // A large body fills the socket buffers; the peer resets the connection
  // without reading it: the send ends with an error, it does not wait.
  const int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len));
  ASSERT_EQ(0, ::listen(listenFd, 1));
  ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread closer([listenFd] {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
  });
  const std::string large(32 * 1024 * 1024, 'x');
  const int code = http_request("POST", "write", "", large, At(ntohs(addr.sin_port)), nullptr);
  closer.join();
  ::close(listenFd);
  EXPECT_TRUE(code == kHttpSendFailed || code == kHttpStatusFailed) << code;
}

TEST(HttpTransport, UrlEncode) {
  std::string out = "q=";
  url_encode(out, "my db/\xC3\xA4");
  EXPECT_EQ("q=my+db%2F%C3%A4", out);
  out.clear();
  url_encode(out, "xyz-_.~AZ09");
  EXPECT_EQ("xyz-_.~AZ09", out);
  out.clear();
  url_encode(out, "a&b#\"\0"s);
  EXPECT_EQ("a%26b%23%22%00", out);
}
