// Bytes as a message on the request topic of a gateway with signing on: the
// envelope, its base64 and the signed text are all a sender's. A message that
// passes must be for this gateway and must not pass twice.
#include <easylogging++.h>

#include <cstdlib>

#include "BoundedJson.h"
#include "RequestSignature.h"

namespace {

constexpr int64_t kNow = 1767100000;

VESK::SigningKey TrustedKey() {
  VESK::SigningKey key;
  std::string error;
  if (!key.Load(PEMRIX_FUZZ_TRUSTED_KEY, false, error)) abort();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const VESK::SigningKey key = TrustedKey();
  nlohmann::json message, request;
  std::string error;
  if (!VESK::frame::ParseBoundedJson(reinterpret_cast<const char*>(data), size, message, error)) return 0;
  VESK::RequestVerifier verifier({key}, "gw01");
  if (verifier.Check(message, request, kNow) != VESK::Verdict::Ok) return 0;
  if (request.value("gateway", "") != "gw01") abort();
  if (verifier.Check(message, request, kNow) != VESK::Verdict::Replayed) abort();
  return 0;
}
