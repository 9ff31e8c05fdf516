#include "GatewayLink.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>
#include <vector>

#include "BoundedJson.h"

namespace VESK::ctl {

using json = nlohmann::json;

namespace {

// Which link a libmosquitto instance belongs to: its user data is the
// connector, whose callbacks must keep working. The tool is single-threaded.
std::map<const mosquitto*, GatewayLink*>& Hooked() {
  static std::map<const mosquitto*, GatewayLink*> links;
  return links;
}

int MsUntil(Clock::time_point deadline, int most) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : left < most ? static_cast<int>(left) : most;
}

}  // namespace

GatewayLink::GatewayLink(std::shared_ptr<MqttConnector> connector, std::string base)
    : _connector(std::move(connector)), _base(std::move(base)) {
  // Unique across processes and hosts: only replies carrying one of our ids
  // are ours; everything else on the response topic is another client's.
  _idPrefix = "ctl-" + std::to_string(getpid()) + "-" + MqttConnector()._clientId.substr(0, 8) + "-";
  _connector->Subscribe({Topic("response"), Topic("status")}, 2);
  _connector->_messageHandler = [this](const mosquitto_message* message) { OnMessage(message); };
}

GatewayLink::~GatewayLink() {
  Hooked().erase(_hooked);
  _connector->Disconnect();
}

bool GatewayLink::Connect(Clock::time_point deadline, std::string* why) {
  _connackRc = -1;
  _lastError.clear();
  while (!Connected() && Clock::now() < deadline) {
    Pump(50);
    // The attempt is over without a connection once the instance has no
    // socket (refused at once or later, reset, TLS failure) or none was
    // made (TLS set-up refused): a connection in progress holds one.
    const bool ended = !_connector->_mosq || mosquitto_socket(_connector->_mosq) < 0;
    if (!Connected() && (_connackRc > 0 || ended)) break;
  }
  if (Connected()) return true;
  // The subscriptions go out with the connection; a "test" round trip of
  // our own is not needed: the broker handles SUBSCRIBE before PUBLISH.
  if (why) {
    *why = _connackRc > 0             ? mosquitto_connack_string(_connackRc)
           : !_lastError.empty()      ? _lastError
           : Clock::now() >= deadline ? "no answer from the broker"
                                      : "the connection was refused or closed before the broker answered";
  }
  return false;
}

void GatewayLink::Pump(int waitMs) {
  _connector->RunOnce(waitMs);
  Hook();
}

void GatewayLink::Hook() {
  mosquitto* mosq = _connector->_mosq;
  if (!mosq || mosq == _hooked) return;
  Hooked().erase(_hooked);
  Hooked()[mosq] = this;
  _hooked = mosq;
  mosquitto_connect_callback_set(mosq, ConnectTrampoline);
  mosquitto_log_callback_set(mosq, LogTrampoline);
}

void GatewayLink::ConnectTrampoline(mosquitto* mosq, void* obj, int rc) {
  MqttClient::ConnectCallback(mosq, obj, rc);
  auto it = Hooked().find(mosq);
  if (it != Hooked().end()) it->second->_connackRc = rc;
}

void GatewayLink::LogTrampoline(mosquitto* mosq, void* /*obj*/, int level, const char* text) {
  auto it = Hooked().find(mosq);
  if (it != Hooked().end() && (level & MOSQ_LOG_ERR) && text) it->second->_lastError = text;
}

json GatewayLink::Send(json request) {
  json id = _idPrefix + std::to_string(++_counter);
  _sent.insert(id.get<std::string>());
  request["id"] = id;
  // Exact bytes: a zero byte after the text would make it no JSON.
  const std::string text = encode ? encode(request) : request.dump();
  _connector->Publish(Topic("request"), 2, false, std::vector<uint8_t>(text.begin(), text.end()));
  return id;
}

void GatewayLink::SendData(const char* data, size_t size) {
  _connector->Publish(Topic("receive"), 2, false, std::vector<uint8_t>(data, data + size));
}

void GatewayLink::OnMessage(const mosquitto_message* message) {
  if (!message || !message->topic || message->payloadlen < 0) return;
  if (static_cast<size_t>(message->payloadlen) > kMaxReply) return;
  std::string text(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  if (!text.empty() && text.back() == '\0') text.pop_back();  // the daemon's text publishes end in one
  if (Topic("status") == message->topic) {
    _status = text;
  } else if (Topic("response") == message->topic) {
    Reply reply{text, nullptr};
    std::string error;
    // Anything else on the topic (another client's replies, junk) is not
    // ours to judge: only an object answering one of our ids counts.
    if (!frame::ParseBoundedJson(text, reply.value, error) || !reply.value.is_object()) return;
    const json& id = reply.value.value("id", json());
    if (!id.is_string() || !_sent.count(id.get<std::string>()) || !reply.value.value("command", json()).is_string())
      return;
    if (onReply) onReply(reply);
    if (_replies.size() >= kMaxQueued) _replies.pop_front();
    _replies.push_back(std::move(reply));
  }
}

std::optional<Reply> GatewayLink::WaitReply(const std::string& command, const json& id, Clock::time_point deadline) {
  for (;;) {
    for (auto it = _replies.begin(); it != _replies.end(); ++it) {
      const json& v = it->value;
      // The "test" echo has its command and id as any other reply.
      if (v.is_object() && v.value("command", json()) == command && v.value("id", json()) == id) {
        Reply found = std::move(*it);
        _replies.erase(it);
        return found;
      }
    }
    if (Clock::now() >= deadline || !Connected()) return std::nullopt;
    Pump(MsUntil(deadline, 100));
  }
}

std::optional<std::string> GatewayLink::WaitStatus(Clock::time_point deadline) {
  while (!_status && Clock::now() < deadline && Connected()) Pump(MsUntil(deadline, 100));
  return _status;
}

int ReplyResult(const json& reply) {
  const json& result = reply.value("result", json());
  return result.is_number_integer() ? result.get<int>() : 1;
}

std::string ReplyMessage(const json& reply) {
  for (const char* key : {"message", "error"}) {
    const json& text = reply.value(key, json());
    if (text.is_string() && !text.get<std::string>().empty()) return text.get<std::string>();
  }
  return reply.value("command", json()).dump() + " failed";
}

std::string Sha256OfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!file || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<char> buffer(1 << 20);
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(file.gcount()));
  }
  if (file.bad()) return "";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &length);
  static const char* hex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) text += {hex[md[i] >> 4], hex[md[i] & 15]};
  return text;
}

namespace {

// One windowed upload: confirmed bytes come from "upload_status" replies,
// which the gateway answers only after the data sent before them.
class Sender {
 public:
  Sender(GatewayLink& link, const UploadOptions& options, uint64_t size)
      : _link(link), _options(options), _size(size) {}

  Outcome Fail(const std::string& message) { return Outcome{false, message}; }

  // What the gateway holds of this file already (0 when nothing usable).
  std::optional<uint64_t> Resumable() {
    json id = _link.Send({{"command", "upload_status"}});
    auto reply = _link.WaitReply("upload_status", id, Clock::now() + _options.stall);
    if (!reply) return std::nullopt;
    const json& v = reply->value;
    if (v.value("filename", json()) != _options.name || v.value("size", json()) != _size) return 0;
    const json& received = v.value("received", json());
    return received.is_number_unsigned() && received.get<uint64_t>() <= _size ? received.get<uint64_t>() : 0;
  }

  // Takes the confirmations that arrived; a message when the gateway's
  // upload is no longer this one, or ended without being complete.
  std::optional<std::string> Collect(uint64_t sent) {
    while (!_asked.empty()) {
      auto reply = _link.WaitReply("upload_status", _asked.front(), Clock::now());
      if (!reply) return std::nullopt;
      _asked.pop_front();
      const json& v = reply->value;
      const json &filename = v.value("filename", json()), &size = v.value("size", json()),
                 &received = v.value("received", json());
      // More bytes than we sent, another name or size: another client's
      // upload took the gateway's one upload slot.
      if (filename != _options.name || !size.is_number_unsigned() || size.get<uint64_t>() != _size ||
          !received.is_number_unsigned() || received.get<uint64_t>() > sent)
        return "another client's upload took over on the gateway (now " + filename.dump() + ", " + received.dump() +
               " of " + size.dump() + " bytes)";
      const uint64_t got = received.get<uint64_t>();
      if (got > _confirmed) {
        _confirmed = got;
        _lastProgress = Clock::now();
        if (_options.progress) _options.progress(_confirmed, _size);
      }
      if (v.value("open", json()) != true && _confirmed < _size)
        return "the gateway ended the upload at " + std::to_string(_confirmed) + " bytes";
    }
    return std::nullopt;
  }

  Outcome Run(uint64_t offset) {
    std::ifstream file(_options.path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    std::vector<char> buffer(_options.chunk);
    uint64_t sent = offset, askedAt = offset;
    _confirmed = offset;
    _lastProgress = Clock::now();
    if (_options.progress) _options.progress(_confirmed, _size);
    while (_confirmed < _size) {
      if (!_link.Connected()) return Fail("connection to the broker lost; run again with --resume");
      if (auto ended = Collect(sent)) return Fail(*ended);
      if (Clock::now() - _lastProgress > _options.stall)
        return Fail("no progress at " + std::to_string(_confirmed) + " bytes; run again with --resume");
      const bool room = sent < _size && sent - _confirmed < _options.window && _link.Pending() < 64;
      if (!room) {
        _link.Pump(20);
        continue;
      }
      file.read(buffer.data(), static_cast<std::streamsize>(std::min<uint64_t>(buffer.size(), _size - sent)));
      if (file.gcount() <= 0) return Fail("cannot read " + _options.path);
      _link.SendData(buffer.data(), static_cast<size_t>(file.gcount()));
      sent += static_cast<uint64_t>(file.gcount());
      if (sent - askedAt >= _options.statusEvery || sent == _size) {
        _asked.push_back(_link.Send({{"command", "upload_status"}}));
        askedAt = sent;
      }
      _link.Pump(0);
    }
    return Outcome{true, ""};
  }

 private:
  GatewayLink& _link;
  const UploadOptions& _options;
  uint64_t _size;
  uint64_t _confirmed = 0;
  Clock::time_point _lastProgress;
  std::deque<json> _asked;  // unanswered "upload_status" requests, oldest first
};

}  // namespace

Outcome Upload(GatewayLink& link, const UploadOptions& options) {
  std::ifstream probe(options.path, std::ios::binary | std::ios::ate);
  if (!probe) return Outcome{false, "cannot open " + options.path};
  const uint64_t size = static_cast<uint64_t>(probe.tellg());
  if (size > static_cast<uint64_t>(INT_MAX)) return Outcome{false, "the gateway takes files up to 2 GiB - 1"};
  const std::string sha256 = Sha256OfFile(options.path);
  if (sha256.empty()) return Outcome{false, "cannot read " + options.path};

  Sender sender(link, options, size);
  uint64_t offset = 0;
  if (options.resume) {
    auto held = sender.Resumable();
    if (!held) return Outcome{false, "no answer to upload_status"};
    offset = *held;
  }
  json announce = {{"command", "upload_file"}, {"filename", options.name}, {"size", size}, {"sha256", sha256}};
  if (offset > 0) announce["offset"] = offset;
  json id = link.Send(announce);
  auto accepted = link.WaitReply("upload_file", id, Clock::now() + options.stall);
  if (!accepted) return Outcome{false, "no answer to upload_file"};
  if (ReplyResult(accepted->value) != 0) return Outcome{false, ReplyMessage(accepted->value)};
  if (size == 0) return Outcome{true, ""};  // the gateway creates nothing for an empty file
  Outcome sent = sender.Run(offset);
  // A failed upload may have its reason in a verdict already on the way.
  auto verdict = link.WaitReply("upload_file", id, Clock::now() + (sent.ok ? options.stall : std::chrono::seconds(1)));
  if (!sent.ok && (!verdict || ReplyResult(verdict->value) == 0)) return sent;
  if (!verdict) return Outcome{false, "no verdict on the upload"};
  if (ReplyResult(verdict->value) != 0) return Outcome{false, ReplyMessage(verdict->value)};
  return Outcome{true, ""};
}

}  // namespace VESK::ctl
