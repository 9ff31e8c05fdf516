// The publisher over a real publish socket, read by a subscriber socket.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "DaqTestPeer.h"
#include "EventPublisher.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {
// A new subscriber misses what was published before it connected: emit until one arrives.
bool Joined(VESK::EventPublisher& publisher, EventSubscriber& subscriber) {
  json none;
  return WaitUntil([&] { return publisher.Emit("hello", none) && !subscriber.Next(10ms).is_null(); }, 5s);
}
}  // namespace

TEST(EventPublisher, PublishesOneBsonDocumentPerEventAndRefusesWhatBsonCannotHold) {
  TempDir dir;
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(dir.Ipc("event")));
  EventSubscriber subscriber(dir.Ipc("event"));
  ASSERT_TRUE(Joined(publisher, subscriber));
  while (!subscriber.Next(50ms).is_null()) continue;  // drains the joining events
  json none, params = {{"device_id", "D"}, {"values", {1, int64_t{1} << 40, 2.5, "x", true}}}, fine = 1;
  ASSERT_TRUE(publisher.Emit("a", none));
  EXPECT_EQ(subscriber.Next(5s), (json{{"event", "a"}, {"params", nullptr}}));
  ASSERT_TRUE(publisher.Emit("changed", params));
  EXPECT_EQ(subscriber.Next(5s), (json{{"event", "changed"}, {"params", params}}));
  // The writer's errors end as false, never as an exception.
  json tooBig = {{"v", std::numeric_limits<uint64_t>::max()}}, zeroKey = {{std::string("a\0b", 3), 1}};
  EXPECT_FALSE(publisher.Emit("big", tooBig));
  EXPECT_FALSE(publisher.Emit("key", zeroKey));
  ASSERT_TRUE(publisher.Emit("ok", fine));
  EXPECT_EQ(subscriber.Next(5s), (json{{"event", "ok"}, {"params", 1}}));
}

TEST(EventPublisher, BindsOnceAndRetriesAFailedBindAtTheNextSend) {
  TempDir dir;
  {
    VESK::EventPublisher publisher;
    ASSERT_TRUE(publisher.Bind(dir.Ipc("first")));
    EXPECT_TRUE(publisher.Bind(dir.Ipc("second")));
    EXPECT_FALSE(FileExists(dir.File("second.ipc")));
  }
  const std::string url = "ipc://" + dir.File("later") + "/event.ipc";  // its folder does not exist yet
  VESK::EventPublisher publisher;
  LogCapture log;
  EXPECT_FALSE(publisher.Bind(url));
  const uint8_t byte = 7;
  EXPECT_FALSE(publisher.Send(&byte, 1));
  EXPECT_FALSE(publisher.Send(&byte, 1));
  EXPECT_EQ(log.Count("Event Publisher : nn_bind: ", "ERROR"), 1);  // retried at every send, logged once
  ASSERT_EQ(mkdir(dir.File("later").c_str(), 0700), 0);
  EXPECT_TRUE(publisher.Send(&byte, 1));  // binds the stored endpoint, then sends
  EventSubscriber subscriber(url);
  EXPECT_TRUE(Joined(publisher, subscriber));
}
