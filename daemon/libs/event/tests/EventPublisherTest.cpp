// The publisher over a real publish socket, read by a subscriber process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "EventPublisher.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

// A subscriber process (nanocat) printing each event it receives as one line:
// its bytes as "\xhh" in double quotes.
class Subscriber {
 public:
  Subscriber(const TempDir& dir, const std::string& url)
      : _process({{"nanocat", "--sub", "--connect", url, "--hex"}, "", {}, dir.File("subscriber.log")}) {
    _process.Start();
  }
  // A new subscriber misses what is published before it is connected: emit
  // until one event arrives.
  bool Joined(VESK::EventPublisher& publisher) {
    json none;
    return WaitUntil([&] { return publisher.Emit("hello", none) && !_process.Output().empty(); }, 5s);
  }
  bool Received(const std::vector<uint8_t>& bytes) {
    std::string line = "\"";
    char hex[8];
    for (uint8_t byte : bytes) line.append(hex, std::snprintf(hex, sizeof hex, "\\x%02x", byte));
    line += "\"\n";
    return WaitUntil([&] { return _process.Output().find(line) != std::string::npos; }, 5s);
  }

 private:
  Process _process;
};

}  // namespace

TEST(EventPublisher, PublishesOneBsonDocumentPerEventAndRefusesWhatBsonCannotHold) {
  TempDir dir;
  VESK::EventPublisher publisher;
  ASSERT_TRUE(publisher.Bind(dir.Ipc("event")));
  Subscriber subscriber(dir, dir.Ipc("event"));
  ASSERT_TRUE(subscriber.Joined(publisher));

  json none;
  ASSERT_TRUE(publisher.Emit("a", none));
  // length, "event" string, "params" null, terminator: 26 bytes.
  EXPECT_TRUE(subscriber.Received(std::vector<uint8_t>{26, 0, 0,   0, 2,  'e', 'v', 'e', 'n', 't', 0,   2, 0,
                                                       0,  0, 'a', 0, 10, 'p', 'a', 'r', 'a', 'm', 's', 0, 0}));
  json params = {{"device_id", "D"}, {"values", {1, int64_t{1} << 40, 2.5, "x", true}}};
  ASSERT_TRUE(publisher.Emit("changed", params));
  EXPECT_TRUE(subscriber.Received(json::to_bson({{"event", "changed"}, {"params", params}})));

  // The writer's errors end as false, never as an exception.
  json tooBig = {{"v", std::numeric_limits<uint64_t>::max()}};
  json zeroKey = {{std::string("a\0b", 3), 1}};
  EXPECT_FALSE(publisher.Emit("big", tooBig));
  EXPECT_FALSE(publisher.Emit("key", zeroKey));
  json fine = 1;
  ASSERT_TRUE(publisher.Emit("ok", fine));
  EXPECT_TRUE(subscriber.Received(json::to_bson({{"event", "ok"}, {"params", 1}})));
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
  EXPECT_FALSE(publisher.Bind(url));
  const uint8_t byte = 7;
  EXPECT_FALSE(publisher.Send(&byte, 1));
  ASSERT_EQ(mkdir(dir.File("later").c_str(), 0700), 0);
  EXPECT_TRUE(publisher.Send(&byte, 1));  // binds the stored endpoint, then sends
  Subscriber subscriber(dir, url);
  EXPECT_TRUE(subscriber.Joined(publisher));
}
