// The publisher over a real publish socket, read by a subscriber process that
// prints each event's bytes and its decoded form.
#include <gtest/gtest.h>
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

class Subscriber {
 public:
  explicit Subscriber(const TempDir& dir, const std::string& url)
      : _process({{BinPath("pemrix_ipc_test_peer"), "subscribe", url}, "", {}, dir.File("subscriber.log")}) {
    _process.Start();
  }
  // A new subscriber misses what is published before it is connected: emit
  // until one event arrives.
  bool Joined(VESK::EventPublisher& publisher) {
    json none;
    return WaitUntil([&] { return publisher.Emit("hello", none) && !_process.Output().empty(); },
                     std::chrono::seconds(5));
  }
  bool Received(const std::string& text) {
    return WaitUntil([&] { return _process.Output().find(text) != std::string::npos; }, std::chrono::seconds(5));
  }

 private:
  Process _process;
};

}  // namespace

TEST(EventPublisher, PublishesOneBsonDocumentPerEvent) {
  TempDir dir;
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(dir.Ipc("event")));
  Subscriber subscriber(dir, dir.Ipc("event"));
  ASSERT_TRUE(subscriber.Joined(publisher));

  json none;
  ASSERT_TRUE(publisher.Emit("a", none));
  // length, "event" string, "params" null, terminator: 26 bytes.
  EXPECT_TRUE(subscriber.Received("\n1a000000026576656e74000200000061000a706172616d730000 "));
  json params = {{"device_id", "D"}, {"values", {1, int64_t{1} << 40, 2.5, "x", true}}};
  ASSERT_TRUE(publisher.Emit("changed", params));
  EXPECT_TRUE(subscriber.Received(R"({"event":"changed","params":)" + params.dump() + "}"));
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
    publisher.Close();  // closed already: logs nothing
    EXPECT_EQ(log.Count("Event Publisher : Close", "INFO"), 1);
  }

  const std::string url = "ipc://" + dir.File("later") + "/event.ipc";  // its folder does not exist yet
  VESK::EventPublisher publisher;
  EXPECT_FALSE(publisher.Bind(url));
  EXPECT_TRUE(log.Contains("Event Publisher : nn_bind: ", "ERROR"));
  const uint8_t byte = 7;
  EXPECT_FALSE(publisher.Send(&byte, 1));
  ASSERT_EQ(mkdir(dir.File("later").c_str(), 0700), 0);
  EXPECT_TRUE(publisher.Send(&byte, 1));  // binds the stored endpoint, then sends
  Subscriber subscriber(dir, url);
  EXPECT_TRUE(subscriber.Joined(publisher));
}
