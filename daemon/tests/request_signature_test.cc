// Request signatures in-process: what the verifier lets through and why it
// refuses the rest; key files as keygen leaves them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "RequestSignature.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using VESK::SigningKey;
using VESK::Verdict;
using json = nlohmann::json;
namespace {

constexpr int64_t kNow = 1767100000;

struct Keys {
  TempDir dir;
  SigningKey Make(const std::string& name, bool privateKey = true) {
    std::string error;
    EXPECT_TRUE(VESK::GenerateKeyPair(dir.File(name), dir.File(name + ".pub"), error) || FileExists(dir.File(name)))
        << error;
    SigningKey key;
    EXPECT_TRUE(key.Load(dir.File(privateKey ? name : name + ".pub"), privateKey, error)) << error;
    return key;
  }
};

json Envelope(const SigningKey& key, const std::string& gateway = "gw01", int64_t at = kNow) {
  return json::parse(VESK::SignRequest(key, {{"command", "restart"}, {"id", 7}}, gateway, at));
}

TEST(RequestSignature, KeygenWritesAPairWithPrivateModesAndNeverReplacesAFile) {
  Keys keys;
  keys.Make("a");
  struct stat key {
  }, pub{};
  EXPECT_TRUE(stat(keys.dir.File("a").c_str(), &key) == 0 && stat(keys.dir.File("a.pub").c_str(), &pub) == 0);
  EXPECT_EQ(std::make_pair(0600u, 0644u), std::make_pair(key.st_mode & 0777, pub.st_mode & 0777));
  std::string error;
  EXPECT_FALSE(VESK::GenerateKeyPair(keys.dir.File("b"), keys.dir.File("a.pub"), error));
  EXPECT_FALSE(FileExists(keys.dir.File("b"))) << "half a pair was left";
  SigningKey notPem;
  EXPECT_FALSE(notPem.Load(keys.dir.File("a"), false, error));  // a private key is no public PEM
  symlink(keys.dir.File("a.pub").c_str(), keys.dir.File("link").c_str());
  EXPECT_FALSE(notPem.Load(keys.dir.File("link"), false, error)) << "a link was followed";
}

// The daemon's test table covers the verdicts a sender provokes on purpose;
// these are the ones that take a broken sender.
TEST(RequestSignature, HalfEnvelopesAndNonCanonicalSignaturesAreMalformedButStillAnswerable) {
  Keys keys;
  SigningKey a = keys.Make("a");
  VESK::RequestVerifier verifier({keys.Make("a", false)}, "gw01");
  json halfSigned = Envelope(a), badBase64 = Envelope(a), reserialised = Envelope(a);
  halfSigned.erase("signature");
  badBase64["signature"] = badBase64["signature"].get<std::string>() + "==";
  reserialised["signed_request"] = json::parse(reserialised["signed_request"].get<std::string>()).dump(1);
  const std::pair<json, Verdict> rows[] = {{halfSigned, Verdict::Malformed},
                                           {badBase64, Verdict::Malformed},
                                           {reserialised, Verdict::BadSignature},
                                           {Envelope(a, "gw01", kNow + 301), Verdict::Stale},
                                           {Envelope(a), Verdict::Ok}};
  for (const auto& [message, verdict] : rows) {
    json request;
    EXPECT_EQ(verdict, verifier.Check(message, request, kNow)) << message.dump();
    EXPECT_EQ("restart", request.value("command", "")) << "the refusal cannot be answered";
  }
}

TEST(RequestSignature, NonceMemoryIsBoundedWithoutOpeningAReplay) {
  Keys keys;
  SigningKey a = keys.Make("a");
  VESK::RequestVerifier verifier({a}, "gw01", std::chrono::seconds(300), 3);
  std::vector<json> sent;
  json request;
  for (int64_t at = kNow - 4; at < kNow; ++at) {
    sent.push_back(Envelope(a, "gw01", at));
    ASSERT_EQ(Verdict::Ok, verifier.Check(sent.back(), request, kNow));
  }
  EXPECT_EQ(3u, verifier.RememberedNonces());
  EXPECT_EQ(Verdict::Stale, verifier.Check(sent.front(), request, kNow)) << "a forgotten nonce came back";
  EXPECT_EQ(Verdict::Replayed, verifier.Check(sent.back(), request, kNow));
  // Past the window everything is forgotten.
  EXPECT_EQ(Verdict::Ok, verifier.Check(Envelope(a, "gw01", kNow + 400), request, kNow + 400));
  EXPECT_EQ(1u, verifier.RememberedNonces());
}

}  // namespace
