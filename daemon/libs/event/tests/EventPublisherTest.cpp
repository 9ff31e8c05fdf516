// The publisher over a real publish socket, read by subscribers in this
// process and in another one.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <sys/stat.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "EventPublisher.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

using Bytes = std::vector<uint8_t>;

// A subscriber to every event on url.
class Subscriber {
 public:
  explicit Subscriber(const std::string& url) : _socket(nn_socket(AF_SP, NN_SUB)) {
    const int timeout = 50;
    nn_setsockopt(_socket, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof(timeout));
    nn_setsockopt(_socket, NN_SUB, NN_SUB_SUBSCRIBE, "", 0);
    nn_connect(_socket, url.c_str());
  }
  ~Subscriber() { nn_close(_socket); }
  // One message, or nothing after 50 ms.
  bool Receive(Bytes& out) {
    uint8_t* data = nullptr;
    const int n = nn_recv(_socket, &data, NN_MSG, 0);
    if (n < 0) return false;
    out.assign(data, data + n);
    nn_freemsg(data);
    return true;
  }

 private:
  int _socket;
};

// Publishing starts before a new subscriber is connected, and what is sent
// until then is lost: emit until one arrives.
bool Joined(VESK::EventPublisher& publisher, Subscriber& subscriber) {
  Bytes ignored;
  json none;
  return WaitUntil([&] { return publisher.Emit("hello", none) && subscriber.Receive(ignored); },
                   std::chrono::seconds(5), std::chrono::milliseconds(1));
}

}  // namespace

TEST(EventPublisher, EmitsOneBsonDocumentPerEvent) {
  TempDir dir;
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(dir.Ipc("event")));
  Subscriber subscriber(dir.Ipc("event"));
  ASSERT_TRUE(Joined(publisher, subscriber));
  Bytes got;
  while (subscriber.Receive(got)) {
  }

  json none;
  ASSERT_TRUE(publisher.Emit("a", none));
  ASSERT_TRUE(subscriber.Receive(got));
  const Bytes expected = {0x1a, 0, 0,   0, 0x02, 'e', 'v', 'e', 'n', 't', 0,   0x02, 0,
                          0,    0, 'a', 0, 0x0a, 'p', 'a', 'r', 'a', 'm', 's', 0,    0};
  EXPECT_EQ(got, expected);

  // "event" comes first whatever the name; values keep their BSON types.
  json params = {{"big", int64_t{1} << 40}, {"list", {1, "x", true}}, {"v", 2.5}};
  ASSERT_TRUE(publisher.Emit("zzz", params));
  ASSERT_TRUE(subscriber.Receive(got));
  EXPECT_EQ(Bytes(got.begin() + 5, got.begin() + 10), Bytes({'e', 'v', 'e', 'n', 't'}));
  EXPECT_EQ(json::from_bson(got), json({{"event", "zzz"}, {"params", params}}));
}

TEST(EventPublisher, RefusesWhatBsonCannotHoldWithoutThrowing) {
  TempDir dir;
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(dir.Ipc("event")));
  LogCapture log;
  json tooBig = {{"v", std::numeric_limits<uint64_t>::max()}};
  json zeroKey = {{std::string("a\0b", 3), 1}};
  EXPECT_FALSE(publisher.Emit("big", tooBig));
  EXPECT_FALSE(publisher.Emit("key", zeroKey));
  EXPECT_EQ(log.Count("Event Publisher : BSON: ", "ERROR"), 2);
  json fine = 1;
  EXPECT_TRUE(publisher.Emit("ok", fine));
}

TEST(EventPublisher, BindsOnceAndRetriesAFailedBindAtTheNextSend) {
  TempDir dir;
  LogCapture log;
  {
    VESK::EventPublisher publisher;
    ASSERT_TRUE(publisher.Bind(dir.Ipc("first")));
    EXPECT_TRUE(publisher.Bind(dir.Ipc("second")));
    EXPECT_TRUE(FileExists(dir.File("first.ipc")));
    EXPECT_FALSE(FileExists(dir.File("second.ipc")));
    publisher.Close();
    EXPECT_EQ(log.Count("Event Publisher : Close", "INFO"), 1);
    publisher.Close();  // closed already: nothing more is logged
    EXPECT_EQ(log.Count("Event Publisher : Close", "INFO"), 1);
  }

  const std::string url = "ipc://" + dir.File("later") + "/event.ipc";  // its folder does not exist yet
  VESK::EventPublisher publisher;
  EXPECT_FALSE(publisher.Bind(url));
  EXPECT_TRUE(log.Contains("Event Publisher : nn_bind: ", "ERROR"));
  const uint8_t byte = 7;
  EXPECT_FALSE(publisher.Send(&byte, 1));
  ASSERT_EQ(mkdir(dir.File("later").c_str(), 0700), 0);
  Subscriber subscriber(url);
  EXPECT_TRUE(publisher.Send(&byte, 1));  // binds the stored endpoint, then sends
  EXPECT_TRUE(Joined(publisher, subscriber));
}

TEST(EventPublisher, ASubscriberProcessDecodesTheEvents) {
  TempDir dir;
  const std::string url = dir.Ipc("event");
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(url));
  Process peer({{BinPath("pemrix_ipc_test_peer"), "subscribe", url}, "", {}, dir.File("peer.log")});
  ASSERT_TRUE(peer.Start());
  json none;
  ASSERT_TRUE(
      WaitUntil([&] { return publisher.Emit("hello", none) && !peer.Output().empty(); }, std::chrono::seconds(5)));
  json params = {{"device_id", "D"}, {"values", {1, 2.5, "x"}}};
  ASSERT_TRUE(publisher.Emit("changed", params));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return peer.Output().find(R"({"event":"changed","params":{"device_id":"D","values":[1,2.5,"x"]}})") !=
               std::string::npos;
      },
      std::chrono::seconds(5)));
}
