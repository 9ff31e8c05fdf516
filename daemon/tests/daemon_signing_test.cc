// A gateway with signing on, driven over a real broker: only requests signed
// by a trusted key, for this gateway, fresh and new, change anything; an
// update installs only what a verified upload brought.
#include <gtest/gtest.h>

#include <ctime>

#include "GatewayLink.h"
#include "RequestSignature.h"
#include "daemon_harness.h"

using namespace pemrix::testing;
using VESK::SigningKey;
namespace {

class DaemonSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    RunShell("rm -f /tmp/Project.tar.gz");
    a = Key("a"), b = Key("b"), stranger = Key("c");
    h.mqtt["signing"] = {{"trusted_keys", {"a.pub", h.dir.File("b.pub")}}};
    WriteFile(h.projectPath + "/old", "old");
    WriteFile(h.runtimePath + "/old", "old");
    ASSERT_TRUE(h.Start()) << h.Log();
  }
  void TearDown() override { RunShell("rm -f /tmp/Project.tar.gz"); }

  SigningKey Key(const std::string& name) {
    std::string error;
    SigningKey key;
    EXPECT_TRUE(VESK::GenerateKeyPair(h.dir.File(name), h.dir.File(name + ".pub"), error)) << error;
    EXPECT_TRUE(key.Load(h.dir.File(name), true, error)) << error;
    return key;
  }
  std::string Signed(const SigningKey& key, json request, std::string gateway = "", int64_t age = 0) {
    return VESK::SignRequest(key, std::move(request), gateway.empty() ? h.deviceId : gateway, time(nullptr) - age);
  }
  // The reply as an object without its zero byte; null when none came.
  json Answer(const std::string& payload) {
    auto reply = h.Send(payload) ? h.Reply() : std::nullopt;
    return reply ? json::parse(reply->payload.c_str(), nullptr, false) : json();
  }
  static json Refusal(const std::string& command, int id, const std::string& message) {
    return {{"command", command}, {"id", id}, {"message", message}, {"result", 1}};
  }
  // A project the daemon's checks accept, as p.tgz.
  void PackProject() {
    WriteFile(h.dir.File("data_logger.json"), kLoggerJson);
    ASSERT_EQ(0, RunShell("cd '" + h.dir.Path() + "' && tar czf p.tgz data_logger.json"));
  }
  bool Untouched() const {
    return ReadFile(h.projectPath + "/old") == "old" && ReadFile(h.runtimePath + "/old") == "old";
  }

  DaemonHarness h;
  SigningKey a, b, stranger;
};

TEST_F(DaemonSigning, OnlyTrustedFreshRequestsForThisGatewayRun) {
  const json update = {{"command", "update_project"}, {"id", 3}};
  std::string tampered = Signed(a, update);
  tampered.replace(tampered.find("\\\"id\\\":3"), 8, "\\\"id\\\":4");
  const std::string once = Signed(b, {{"command", "test"}, {"id", 2}});
  const std::pair<std::string, json> rows[] = {
      {Signed(a, {{"command", "test"}, {"id", 1}}), json{{"command", "test"}, {"id", 1}}},
      {once, json{{"command", "test"}, {"id", 2}}},
      {once, Refusal("test", 2, "Signed request replayed!")},
      {update.dump(), Refusal("update_project", 3, "Request not signed!")},
      {update.dump(), Refusal("update_project", 3, "Request not signed!")},
      {Signed(stranger, update), Refusal("update_project", 3, "Signature not trusted!")},
      {tampered, Refusal("update_project", 4, "Signature not trusted!")},
      {Signed(a, update, "another-gateway"), Refusal("update_project", 3, "Request signed for another gateway!")},
      {Signed(a, update, "", 600), Refusal("update_project", 3, "Signed request expired!")},
      {Signed(a, {{"command", "update_runtime"}, {"id", 5}}),
       Refusal("update_runtime", 5, "Archive not from a verified upload!")},
  };
  for (const auto& [payload, expected] : rows) {
    json reply = Answer(payload);
    for (const char* member : {"gateway", "timestamp", "nonce"}) reply.erase(member);  // echoed by "test"
    EXPECT_EQ(expected, reply) << payload;
  }
  EXPECT_TRUE(Untouched());
  // Repeats of one kind of refusal are one line until a signed request passes.
  const std::string log = h.Log();
  const size_t first = log.find("refused! unsigned");
  EXPECT_TRUE(first != std::string::npos && log.find("refused! unsigned", first + 1) == std::string::npos) << log;
}

TEST_F(DaemonSigning, UpdatesInstallOnlyWhatAVerifiedUploadBroughtAndTheToolSignsItsRequests) {
  PackProject();
  const std::string archive = ReadFile(h.dir.File("p.tgz"));
  json upload = {{"command", "upload_file"}, {"id", 6}, {"filename", "Project.tar.gz"}, {"size", archive.size()}};
  EXPECT_EQ(Refusal("upload_file", 6, "Signed uploads need sha256!"), Answer(Signed(a, upload)));
  // Altered on the way: not kept, and nothing to install from.
  upload["sha256"] = VESK::ctl::Sha256OfFile(h.dir.File("p.tgz"));
  std::string altered = archive;
  altered[altered.size() / 2] ^= 1;
  EXPECT_EQ(json({{"command", "upload_file"}, {"id", 6}, {"result", 0}}), Answer(Signed(a, upload)));
  ASSERT_TRUE(h.SendData(altered));
  auto verdict = h.Reply();
  ASSERT_TRUE(verdict);
  EXPECT_EQ(Refusal("upload_file", 6, "Checksum mismatch!"), json::parse(verdict->payload.c_str()));
  EXPECT_FALSE(FileExists("/tmp/Project.tar.gz"));
  const json update = {{"command", "update_project"}, {"id", 7}};
  EXPECT_EQ(Refusal("update_project", 7, "Archive not from a verified upload!"), Answer(Signed(a, update)));

  const CtlRun unsigned_ = h.Ctl({"update-project", h.dir.File("p.tgz")});
  EXPECT_EQ(1, unsigned_.status);
  EXPECT_NE(std::string::npos, unsigned_.output.find("Request not signed!"));
  EXPECT_TRUE(Untouched());
  EXPECT_EQ(0, h.Ctl({"keygen", h.dir.File("ops")}).status);  // its modes are the unit tests' business
  const CtlRun signed_ = h.Ctl({"--sign-key", h.dir.File("b"), "update-project", h.dir.File("p.tgz")});
  EXPECT_EQ(0, signed_.status) << signed_.output;
  EXPECT_TRUE(FileExists(h.projectPath + "/data_logger.json"));
  // A file swapped in after the verified upload is not installed.
  while (h.Reply(300ms)) continue;  // the tool's replies
  WriteFile("/tmp/Project.tar.gz", altered);
  EXPECT_EQ(Refusal("update_project", 7, "Archive not from a verified upload!"), Answer(Signed(a, update)));
}

}  // namespace
