#include "RequestGuard.h"

#include <easylogging++.h>
#include <sys/stat.h>

#include "UploadFile.h"

namespace VESK {

namespace {

constexpr size_t kMaxVerified = 64;

const Verdict kRefusals[] = {Verdict::Unsigned,     Verdict::Malformed, Verdict::BadSignature,
                             Verdict::OtherGateway, Verdict::Stale,     Verdict::Replayed};

// The SHA-256 of the regular file at path as it is now; "" when it cannot
// be read. Opening it as a complete upload reads it back without following
// a link.
std::string FileSha256(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  UploadFile file;
  if (file.Open(path, st.st_size, st.st_size, true) != UploadFile::OpenResult::Ok) return "";
  return file.HexDigest();
}

}  // namespace

bool RequestGuard::Load(const std::string& mqttFile, const std::string& deviceId) {
  std::vector<SigningKey> keys;
  std::chrono::seconds window = RequestVerifier::kDefaultWindow;
  if (!LoadSigningSettings(mqttFile, keys, window)) {
    LOG(ERROR) << "Signing settings unusable, not starting unlocked! " << mqttFile;
    return false;
  }
  if (!keys.empty()) LOG(INFO) << "Signed requests required, trusted keys: " << keys.size();
  _verifier = RequestVerifier(std::move(keys), deviceId, window);
  return true;
}

const char* RequestGuard::Admit(nlohmann::json& request) {
  if (!Enabled()) return nullptr;
  nlohmann::json judged;
  const Verdict verdict = _verifier.Check(request, judged, now());
  request = std::move(judged);
  if (verdict == Verdict::Ok) {
    // The episode of refusals is over: the next one is logged at once.
    if (_refusing)
      for (Verdict kind : kRefusals) _refusals.Forget(VerdictName(kind));
    _refusing = false;
    return nullptr;
  }
  _refusing = true;
  std::string repeats;
  if (_refusals.Allow(VerdictName(verdict), repeats))
    LOG(ERROR) << "Request refused! " << VerdictName(verdict) << repeats;
  return VerdictMessage(verdict);
}

const char* RequestGuard::CheckAnnouncement(const nlohmann::json& request) const {
  return Enabled() && !request.contains("sha256") ? "Signed uploads need sha256!" : nullptr;
}

const char* RequestGuard::CheckArchive(const std::string& path) const {
  if (!Enabled()) return nullptr;
  auto it = _verified.find(path);
  return it != _verified.end() && FileSha256(path) == it->second ? nullptr : "Archive not from a verified upload!";
}

void RequestGuard::UploadVerified(const std::string& path, const std::string& sha256) {
  if (!Enabled()) return;
  // Only operators add here, one per file name; the bound is for a runaway
  // script. Forgetting costs a repeated upload, never an unverified install.
  if (_verified.size() >= kMaxVerified && !_verified.count(path)) _verified.clear();
  _verified[path] = sha256;
}

}  // namespace VESK
