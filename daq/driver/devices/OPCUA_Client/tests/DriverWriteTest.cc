// Writes: stores into the tags (write mode 0) and device writes queued and
// drained into the channel, one node per call, in queue order.
#include <atomic>
#include <thread>
#include <tuple>

#include "QuilletHarness.h"
#include "TestSupport.h"

namespace quillet_test {
namespace {

using namespace std::chrono_literals;
using pemrix::testing::WaitUntil;

TEST_F(DriverTest, MemoryWritesStoreIntoTheTag) {
  Probe(ProfileDoc({Param("Arr", "int16", {{"array_length", 4}}), Param("S", "double")}));
  EXPECT_EQ(Write("Arr", 7, {2}), 1);
  EXPECT_EQ(Write("Arr", 70000, {3}), 1);
  EXPECT_EQ(driver->ReadParameter("Arr"), json({0, 0, 7, 32767})) << "converted, saturated";
  EXPECT_EQ(Write("Arr", json({1, 2.9, 3}), {1}), 1) << "an array replaces the whole value";
  EXPECT_EQ(driver->ReadParameter("Arr"), json({1, 2, 3}));
  EXPECT_EQ(driver->WriteParameter("S", DataValueBase::FromJson("2.5")), 0) << "the two-argument form answers 0";
  EXPECT_EQ(driver->ReadParameter("S"), 2.5) << "yet stores";
  driver->OnPerformRequest();
  EXPECT_TRUE(server->Calls().empty()) << "memory writes never reach the device";
}

// Indices naming no element, a type outside the four families, unknown ids,
// no value or a null one: refused in either write mode, nothing stored or
// queued.
TEST_F(DriverTest, UnusableWritesAreRefusedInBothModes) {
  for (int mode : {0, 1}) {
    SetUp();
    std::vector<json> params = {Param("S", "double"), Param("Vec", "int16", {{"array_length", 4}}),
                                Param("Stamp", "datetime"), Param("Odd", 99)};
    for (auto& p : params) p["write_mode"] = mode;
    ProbeAndStart(ProfileDoc(params));
    const std::tuple<const char*, json, std::vector<int>> refused[] = {
        {"Vec", 9, {4}}, {"Vec", 9, {-1}},         {"S", 1, {0}}, {"Stamp", 1700000000000, {}}, {"Odd", 1, {}},
        {"Nope", 1, {}}, {"S", json::array(), {}},
    };
    for (const auto& [id, value, indices] : refused)
      EXPECT_EQ(Write(id, value, indices), 0) << "mode " << mode << " " << id << " " << value.dump();
    EXPECT_EQ(driver->WriteParameter("S", nullptr, {}), 0);
    EXPECT_EQ(driver->WriteParameter("S", DataValueBase::Create(DT_DOUBLE), {}), 0);
    driver->OnPerformRequest();
    EXPECT_TRUE(server->Calls().empty());
    EXPECT_EQ(driver->ReadParameter("S"), json(nullptr));
  }
}

class DeviceWriteTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    server->AddNode(2, "Speed", DataValueBase::Create(DT_INT16));
    server->AddNode(2, "Vec", DataValueBase::Create(DT_INT16, {4}));
    server->SetValue(2, "Vec", json({0, 0, 0, 0}));
    std::vector<json> params = {Param("Speed", "int16"), Param("Vec", "int16", {{"array_length", 4}})};
    for (auto& p : params) p["write_mode"] = 1;
    ProbeAndStart(ProfileDoc(params));
    // What the node holds after each write call.
    server->SetWriteHook([this] { seen.push_back(server->GetJson(2, "Speed")); });
  }
  std::vector<json> seen;
};

TEST_F(DeviceWriteTest, ConvertedQueuedAndWrittenInOrder) {
  EXPECT_EQ(Write("Speed", 3.7), 1);
  EXPECT_EQ(Write("Speed", "12"), 1);
  EXPECT_EQ(Write("Speed", true), 1);
  EXPECT_EQ(driver->WriteParameter("Speed", DataValueBase::FromJson(40000)), 0) << "queued, answers 0";
  EXPECT_TRUE(server->Calls().empty()) << "nothing before the drain";
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{3, 12, 1, 32767}));
  EXPECT_EQ(WrittenNodes(), std::vector<std::string>(4, "2:Speed"));

  // An array to a scalar parameter: an array of the parameter's type.
  EXPECT_EQ(Write("Speed", json({1.5, 2, 3, 4, 5})), 1);
  EXPECT_EQ(Write("Vec", 9, {2}), 1);
  driver->OnPerformRequest();
  EXPECT_EQ(server->GetJson(2, "Speed"), json({1, 2, 3, 4, 5}));
  EXPECT_EQ(server->Calls().back().indices, std::vector<std::vector<int>>{{2}});
  EXPECT_EQ(Update()["Vec"], json({0, 0, 9, 0})) << "read back through the update";
}

TEST_F(DeviceWriteTest, DrainNeedsOneOfTheConnectionQueries) {
  server->SetConnected(false);  // reachable: CheckConnection reconnects
  EXPECT_EQ(Write("Speed", 5), 1);
  driver->OnPerformRequest();
  EXPECT_EQ(seen, std::vector<json>{5});

  server->SetConnected(false);
  server->SetReachable(false);
  EXPECT_EQ(Write("Speed", 6), 1);
  EXPECT_EQ(Write("Speed", 7), 1);
  driver->OnPerformRequest();
  server->SetConnected(true);
  driver->OnPerformRequest();
  EXPECT_EQ(WrittenNodes().size(), 1u) << "discarded while both queries are false, and gone for good";
  EXPECT_EQ(server->GetJson(2, "Speed"), 5);
}

TEST_F(DeviceWriteTest, FailedWriteCallDoesNotRepeatEarlierWrites) {
  for (int v : {1, 2, 3, 4}) EXPECT_EQ(Write("Speed", v), 1);
  server->ThrowOnWriteCall(2);
  EXPECT_THROW(driver->OnPerformRequest(), std::runtime_error);
  EXPECT_EQ(seen, std::vector<json>{1});
  driver->OnPerformRequest();  // the lock was released; the rest goes out once
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{1, 3, 4}));
  EXPECT_EQ(WrittenNodes().size(), 4u) << "1, the failed 2, then 3 and 4";
}

TEST_F(DeviceWriteTest, WriteFromAnotherThreadWaitsForTheDrain) {
  std::atomic<bool> started{false}, done{false};
  std::thread writer;
  server->SetWriteHook([&] {
    seen.push_back(server->GetJson(2, "Speed"));
    if (started.exchange(true)) return;
    writer = std::thread([&] {
      EXPECT_EQ(Write("Speed", 9), 1);
      done = true;
    });
    EXPECT_FALSE(WaitUntil([&] { return done.load(); }, 200ms)) << "must wait for the running drain";
  });
  EXPECT_EQ(Write("Speed", 1), 1);
  EXPECT_EQ(Write("Speed", 2), 1);
  driver->OnPerformRequest();
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 5s));
  writer.join();
  EXPECT_EQ(seen, (std::vector<json>{1, 2}));
  driver->OnPerformRequest();
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{1, 2, 9})) << "written by the next drain, once";
}

}  // namespace
}  // namespace quillet_test
