#include "plinth/UaTcpSession.h"

#include <easylogging++.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "ConfigReader.h"
#include "UaSocket.h"
#include "UaValues.h"

namespace VESK::DAQ {

using namespace ua;

namespace {

constexpr uint32_t kMinBuffer = 8192;  // smallest buffer a peer may announce

// Splits "opc.tcp://host:port/path"; the port defaults to 4840.
bool ParseEndpoint(const std::string& url, std::string& host, int& port) {
  const std::string scheme = "opc.tcp://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  std::string authority = rest.substr(0, rest.find('/'));
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portText = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  port = 4840;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(portText);
  }
  return !host.empty() && port > 0 && port < 65536;
}

}  // namespace

// ---- settings ------------------------------------------------------------------

namespace {

std::string InFolder(const std::string& baseDir, const std::string& path) {
  return path.empty() || path[0] == '/' || baseDir.empty() ? path : baseDir + "/" + path;
}

// The first line of a password file; a file others may read gets a WARNING.
bool ReadPassword(const std::string& path, std::string& out, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    why = fd < 0 ? std::strerror(errno) : "not a regular file of at most 4 KiB";
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd, text.data(), text.size());
  ::close(fd);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  out = text.substr(0, text.find_first_of("\r\n"));
  if (st.st_mode & 077)
    LOG(WARNING) << "OPC UA channel settings : password_file " << path << " can be read by others than its owner";
  return true;
}

}  // namespace

bool UaTcpSession::Settings::FromJson(const nlohmann::json& settings, Settings& out, const std::string& baseDir) {
  frame::ConfigReader reader("OPC UA channel settings", settings);
  frame::ConfigNode root = reader.Root();
  std::string path;
  int request = static_cast<int>(out.requestTimeout.count());
  int session = static_cast<int>(out.sessionTimeout.count());
  int lifetime = static_cast<int>(out.channelLifetime.count());
  root.Read("endpoint", out.endpoint, frame::Need::Required);
  root.Read("path", path);
  root.Read("request_timeout_ms", request, frame::IntRange{10, 600000});
  root.Read("session_timeout_ms", session, frame::IntRange{1000, 86400000});
  root.Read("channel_lifetime_ms", lifetime, frame::IntRange{1000, 86400000});
  root.OneOf("security_mode", out.securityMode, {"None", "Sign", "SignAndEncrypt", "best"});
  root.OneOf("security_policy", out.securityPolicy, {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "best"});
  std::string passwordFile;
  root.Read("user", out.user);
  root.Read("password_file", passwordFile, out.user.empty() ? frame::Need::Optional : frame::Need::Required);
  frame::Need secured = out.Secured() ? frame::Need::Required : frame::Need::Optional;
  root.Read("certificate", out.certificate, secured);
  root.Read("private_key", out.privateKey, secured);
  root.Read("trusted", out.trusted, secured);
  root.Read("application_uri", out.applicationUri);
  if (root.Valid() && out.Secured())
    root.Check("security_policy", out.securityPolicy != "None",
               "a secured policy (or best) with security_mode " + out.securityMode);
  std::string why;
  if (root.Valid() && !passwordFile.empty()) {
    bool read = ReadPassword(InFolder(baseDir, passwordFile), out.password, why);
    root.Check("password_file", read, "a readable file holding the password (" + why + ")");
  }
  std::string host;
  int port = 0;
  if (root.Valid() && !out.endpoint.empty())
    root.Check("endpoint", ParseEndpoint(out.endpoint, host, port), "an opc.tcp://host[:port][/path] address");
  root.Done();
  if (!path.empty()) out.endpoint += (path[0] == '/' ? "" : "/") + path;
  out.requestTimeout = ms(request);
  out.sessionTimeout = ms(session);
  out.channelLifetime = ms(lifetime);
  for (std::string* path : {&out.certificate, &out.privateKey, &out.trusted}) *path = InFolder(baseDir, *path);
  return reader.Errors() == 0;
}

// ---- connection ------------------------------------------------------------------

UaTcpSession::UaTcpSession(Settings settings) : _settings(std::move(settings)) {
  _url = _settings.endpoint;
  ParseEndpoint(_url, _host, _port);
}

UaTcpSession::~UaTcpSession() { Close(); }

bool UaTcpSession::Reconnect() {
  if (_connected) return true;
  if (Clock::now() < _nextAttempt) return false;
  if (Open()) return true;
  _nextAttempt = Clock::now() + _backoff;
  _backoff = std::min(_backoff * 2, kReconnectMax);
  return false;
}

void UaTcpSession::Revive() {
  if (!_connected) return;
  auto idle = Clock::now() - _lastExchange;
  if (idle < kIdleCheck) return;
  if (idle < _sessionTimeout * 9 / 10 && idle < _lifetime && _socket->Alive()) return;
  LOG(INFO) << "OPC UA channel " << _url << " : reopened after "
            << std::chrono::duration_cast<std::chrono::seconds>(idle).count() << " s idle";
  _connected = false;
  _nextAttempt = Clock::time_point();
  Reconnect();
}

bool UaTcpSession::Open() {
  ++_generation;  // a restarted server may have changed its nodes
  _maxRead = _maxWrite = 0;
  _readProven = 0;
  // Endpoints first, on a plain channel; a secured endpoint then gets a
  // connection of its own.
  auto fresh = [this] {
    _socket.reset();
    _connected = false;
    _channel = ChannelState::Closed;
    _session = SessionState::None;
    _sequence = _requestId = _handle = _channelId = _tokenId = _previousToken = _serverSequence = 0;
    _authToken = NodeId();
  };
  fresh();
  _security.Configure(PolicyNone(), SecurityMode::None, nullptr, nullptr);
  if (!Handshake(_host, _port) || !OpenChannel(false) || !Discover()) return false;
  if (_security.Secured()) {
    fresh();
    if (!Handshake(_host, _port) || !OpenChannel(false)) return false;
  }
  if (!CreateAndActivate()) return false;
  _connected = true;
  _connectedAt = Clock::now();
  ReadLimits();
  if (!_connected) return false;
  if (!_connectLogged)
    LOG(INFO) << "OPC UA channel connected : " << _url << " (read limit " << _maxRead << ", write limit " << _maxWrite
              << ")";
  _connectLogged = true;
  return true;
}

void UaTcpSession::Drop(const std::string& why) {
  if (_connected) {
    // A connection that stayed up ends the episode; one lost soon after
    // opening continues it, on the growing back-off and without new lines.
    if (Clock::now() - _connectedAt >= kStable) {
      _backoff = kReconnectMin;
      _nextAttempt = Clock::time_point();
      _outageLogged = _connectLogged = false;
      _refusals.clear();
    } else {
      _nextAttempt = Clock::now() + _backoff;
      _backoff = std::min(_backoff * 2, kReconnectMax);
    }
  }
  // Once per outage and cause, not once per attempt.
  if (!_outageLogged || why != _lastFailure) LOG(ERROR) << "OPC UA channel " << _url << " down : " << why;
  _outageLogged = true;
  _lastFailure = why;
  _socket.reset();
  _connected = false;
  _channel = ChannelState::Closed;
  _session = SessionState::None;
}

void UaTcpSession::Close() {
  if (_connected) {
    // Leave politely, but never wait long for a server that is going away.
    ms saved = _settings.requestTimeout;
    _settings.requestTimeout = std::min(saved, ms(1000));
    Response r;
    if (Exchange(EncodeCloseSession(NextHeader()), r, 0)) {
      auto deadline = Clock::now() + _settings.requestTimeout;
      SendChunks("CLO", EncodeCloseSecureChannel(NextHeader()), ++_requestId, deadline);
    }
    _settings.requestTimeout = saved;
  }
  _socket.reset();
  _connected = false;
  _channel = ChannelState::Closed;
  _session = SessionState::None;
}

bool UaTcpSession::Handshake(const std::string& host, int port) {
  auto deadline = Clock::now() + _settings.requestTimeout;
  _socket = std::make_unique<Socket>();
  std::string why;
  if (!_socket->Connect(host, port, deadline, why)) {
    Drop(why);
    return false;
  }
  TransportLimits ours;
  ours.receiveBufferSize = ours.sendBufferSize = kReceiveBufferSize;
  ours.maxMessageSize = kMaxMessageSize;
  ours.maxChunkCount = kMaxChunks;
  auto hello = EncodeHello(ours, _url);
  uint8_t head[kChunkHeaderSize];
  if (!_socket->Send(hello.data(), hello.size(), deadline, why) ||
      !_socket->Receive(head, sizeof head, deadline, why)) {
    Drop(why);
    return false;
  }
  ChunkHeader h = ParseChunkHeader(head, sizeof head);
  if (h.size < kChunkHeaderSize || h.size > kMinBuffer) {
    Drop("acknowledge of " + std::to_string(h.size) + " bytes");
    return false;
  }
  std::vector<uint8_t> body(h.size - kChunkHeaderSize);
  if (!_socket->Receive(body.data(), body.size(), deadline, why)) {
    Drop(why);
    return false;
  }
  try {
    if (std::memcmp(h.type, "ERR", 3) == 0) {
      auto error = DecodeErrorMessage(body.data(), body.size());
      Drop("server refused the connection : " + Hex(error.first) + " " + error.second);
      return false;
    }
    if (std::memcmp(h.type, "ACK", 3) != 0) {
      Drop("server answered hello with something else than acknowledge");
      return false;
    }
    _peer = DecodeAcknowledge(body.data(), body.size());
  } catch (const DecodeError& e) {
    Drop(std::string("bad acknowledge : ") + e.what());
    return false;
  }
  if (_peer.receiveBufferSize < kMinBuffer) {
    Drop("server receive buffer too small : " + std::to_string(_peer.receiveBufferSize));
    return false;
  }
  _channel = ChannelState::HelloSent;
  return true;
}

bool UaTcpSession::OpenChannel(bool renew) {
  RequestHeader header = NextHeader();
  header.authenticationToken = NodeId();
  _channel = renew ? ChannelState::Renewing : ChannelState::HelloSent;
  Bytes nonce = RandomBytes(_security.Policy().nonceLength);
  Response r;
  if (!Exchange(EncodeOpenSecureChannel(header, renew, static_cast<int32_t>(_security.Mode()),
                                        std::string(nonce.begin(), nonce.end()),
                                        static_cast<uint32_t>(_settings.channelLifetime.count())),
                r, 0, "OPN"))
    return false;
  if (r.typeId != msgid::kOpenSecureChannelResponse || status::IsBad(r.serviceResult)) {
    Drop(Refusal(r.serviceResult, "secure channel refused"));
    return false;
  }
  if (r.serverNonce.size() != nonce.size()) {
    Drop("secure channel answered with a nonce of " + std::to_string(r.serverNonce.size()) + " bytes");
    return false;
  }
  _security.InstallToken(r.tokenId, nonce, Bytes(r.serverNonce.begin(), r.serverNonce.end()));
  _channel = ChannelState::Open;
  if (!renew) _channelId = r.channelId;
  _previousToken = renew ? _tokenId : r.tokenId;
  _tokenId = r.tokenId;
  _lifetime = ms(r.revisedLifetimeMs ? r.revisedLifetimeMs : _settings.channelLifetime.count());
  // Renew at three quarters of the lifetime, as the token's owner should.
  _renewAt = Clock::now() + _lifetime * 3 / 4;
  return true;
}

bool UaTcpSession::Discover() {
  Response r;
  if (!Exchange(EncodeGetEndpoints(NextHeader(), _url), r, 0)) return false;
  if (r.typeId != msgid::kGetEndpointsResponse || status::IsBad(r.serviceResult)) {
    Drop("endpoints refused : " + Hex(r.serviceResult));
    return false;
  }
  const EndpointDescription* chosen = ChooseEndpoint(r.endpoints);
  if (!chosen) return false;
  _endpoint = *chosen;
  bool secured = _endpoint.securityMode != static_cast<int32_t>(SecurityMode::None);
  bool userSecret = !_settings.user.empty();  // the password is encrypted for the server's certificate
  if ((secured || userSecret) && !TrustServer(_endpoint)) return false;
  if (!secured) return true;
  if (!_identity) {
    auto identity = std::make_unique<Identity>();
    std::string why;
    if (!LoadOrCreateIdentity(_settings.certificate, _settings.privateKey, _settings.applicationUri, *identity, why)) {
      Drop("own certificate unusable : " + why);
      return false;
    }
    _identity = std::move(identity);
  }
  _security.Configure(*FindPolicy(_endpoint.securityPolicyUri), static_cast<SecurityMode>(_endpoint.securityMode),
                      _identity->privateKey, _serverCertificate.key);
  _credentials = {_identity->certificate.der, Sha1(_serverCertificate.der)};
  return true;
}

const EndpointDescription* UaTcpSession::ChooseEndpoint(const std::vector<EndpointDescription>& offered) {
  const std::string& mode = _settings.securityMode;
  const std::string& policy = _settings.securityPolicy;
  const EndpointDescription* best = nullptr;
  std::string offers;
  for (const auto& e : offered) {
    const SecurityPolicy* p = FindPolicy(e.securityPolicyUri);
    const char* modeName = ModeName(static_cast<SecurityMode>(e.securityMode));
    offers += std::string(offers.empty() ? "" : ", ") + (p ? p->name : e.securityPolicyUri) + " " + modeName;
    if (!p || (mode != "best" && mode != modeName) || (policy != "best" && policy != p->name)) continue;
    if (mode == "best" && !p->Secured() && _settings.Secured()) continue;
    auto rank = [](const EndpointDescription& d) { return std::make_pair(d.securityLevel, d.securityMode); };
    if (!best || rank(e) > rank(*best)) best = &e;
  }
  if (!best)
    Drop("the server offers no endpoint with security " + mode + (mode == "None" ? "" : " " + policy) + " (it offers " +
         (offers.empty() ? "none" : offers) + ")");
  return best;
}

bool UaTcpSession::TrustServer(const EndpointDescription& endpoint) {
  std::string why;
  Bytes der(endpoint.serverCertificate.begin(), endpoint.serverCertificate.end());
  if (!Certificate::FromDer(der, _serverCertificate, why)) {
    Drop("server certificate unusable : " + why);
    return false;
  }
  if (TrustedIn(_settings.trusted, _serverCertificate.der)) return true;
  // Kept for the operator to check and move into the trusted folder.
  std::string rejected = _settings.trusted + ".rejected";
  std::string file = rejected + "/" + _serverCertificate.Thumbprint() + ".der";
  ::mkdir(rejected.c_str(), 0755);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool saved = fd >= 0 && ::write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
  if (fd >= 0) ::close(fd);
  Drop("server certificate untrusted : subject '" + _serverCertificate.subject + "' thumbprint " +
       _serverCertificate.Thumbprint() + " ; to trust it, put it into " + _settings.trusted +
       (saved ? " (saved as " + file + ")" : ""));
  return false;
}

bool UaTcpSession::MakeIdentityToken(const std::string& serverNonce, ua::IdentityToken& out) {
  bool wantUser = !_settings.user.empty();
  auto type = wantUser ? UserTokenPolicy::UserName : UserTokenPolicy::Anonymous;
  auto it = std::find_if(_endpoint.tokens.begin(), _endpoint.tokens.end(),
                         [&](const UserTokenPolicy& t) { return t.tokenType == type; });
  if (it == _endpoint.tokens.end()) {
    Drop(std::string("the server offers no ") + (wantUser ? "user name" : "anonymous") + " login on " +
         _security.Policy().name + " " + ModeName(_security.Mode()) +
         (wantUser ? "" : " (set user and password_file)"));
    return false;
  }
  out.policyId = it->policyId;
  out.userName = wantUser;
  if (!wantUser) return true;
  out.user = _settings.user;
  const SecurityPolicy* policy =
      it->securityPolicyUri.empty() ? &_security.Policy() : FindPolicy(it->securityPolicyUri);
  if (!policy) {
    Drop("the server wants the password encrypted under " + it->securityPolicyUri + ", which we do not speak");
    return false;
  }
  if (!policy->Secured()) {
    if (_security.Mode() != SecurityMode::SignAndEncrypt) {
      Drop("the server would take the password in the clear; refused (use security_mode SignAndEncrypt)");
      return false;
    }
    out.secret = _settings.password;
    return true;
  }
  Bytes secret = EncryptUserSecret(_serverCertificate.key.get(), _settings.password,
                                   Bytes(serverNonce.begin(), serverNonce.end()));
  out.secret.assign(secret.begin(), secret.end());
  out.encryptionAlgorithm = policy->encryptionAlgorithm;
  return true;
}

bool UaTcpSession::CreateAndActivate() {
  bool secured = _security.Secured();
  Bytes nonce = RandomBytes(32);
  SessionRequest request;
  request.endpointUrl = _url;
  request.sessionName = "pemrix-gateway";
  request.applicationUri = _identity && !_identity->certificate.applicationUri.empty()
                               ? _identity->certificate.applicationUri
                               : _settings.applicationUri;
  request.clientNonce.assign(nonce.begin(), nonce.end());
  if (secured) request.clientCertificate.assign(_identity->certificate.der.begin(), _identity->certificate.der.end());
  request.timeoutMs = static_cast<double>(_settings.sessionTimeout.count());
  request.maxResponseSize = kMaxMessageSize;
  Response r;
  if (!Exchange(EncodeCreateSession(NextHeader(), request), r, 0)) return false;
  if (r.typeId != msgid::kCreateSessionResponse || status::IsBad(r.serviceResult)) {
    Drop("session refused : " + Hex(r.serviceResult));
    return false;
  }
  if (secured) {
    // The server proves it holds the key of the certificate we trusted.
    Bytes signedData = _identity->certificate.der;
    signedData.insert(signedData.end(), nonce.begin(), nonce.end());
    const auto& sig = r.serverSignature.signature;
    if (r.serverCertificate.compare(0, _serverCertificate.der.size(),
                                    std::string(_serverCertificate.der.begin(), _serverCertificate.der.end())) != 0 ||
        !VerifyRsa(_serverCertificate.key.get(), signedData, Bytes(sig.begin(), sig.end()))) {
      Drop("server signature on the session invalid");
      return false;
    }
  }
  _session = SessionState::Created;
  _authToken = r.authenticationToken;
  _sessionTimeout = r.revisedSessionTimeoutMs >= 1 && r.revisedSessionTimeoutMs < 86400000.0
                        ? ms(static_cast<long long>(r.revisedSessionTimeoutMs))
                        : _settings.sessionTimeout;
  ua::IdentityToken token;
  SignatureData ours;
  try {
    if (!MakeIdentityToken(r.serverNonce, token)) return false;
    if (secured) {
      Bytes data(r.serverCertificate.begin(), r.serverCertificate.end());
      data.insert(data.end(), r.serverNonce.begin(), r.serverNonce.end());
      Bytes sig = SignRsa(_identity->privateKey.get(), data);
      ours = {_security.Policy().signatureAlgorithm, std::string(sig.begin(), sig.end())};
    }
  } catch (const DecodeError& e) {
    Drop(std::string("cannot sign or encrypt for the session : ") + e.what());
    return false;
  }
  Response a;
  if (!Exchange(EncodeActivateSession(NextHeader(), ours, token), a, 0)) return false;
  if (a.typeId != msgid::kActivateSessionResponse || status::IsBad(a.serviceResult)) {
    bool login = a.serviceResult == status::kBadUserAccessDenied ||
                 a.serviceResult == status::kBadIdentityTokenInvalid ||
                 a.serviceResult == status::kBadIdentityTokenRejected;
    Drop(login && token.userName ? "user '" + _settings.user + "' or its password refused : " + Hex(a.serviceResult)
                                 : "session activation refused : " + Hex(a.serviceResult));
    return false;
  }
  _session = SessionState::Activated;
  return true;
}

void UaTcpSession::ReadLimits() {
  std::vector<DataValue> values;
  if (!ReadValues({NodeId::Num(0, nodes::kMaxNodesPerRead), NodeId::Num(0, nodes::kMaxNodesPerWrite)}, values)) return;
  uint32_t* limits[] = {&_maxRead, &_maxWrite};
  for (size_t i = 0; i < values.size() && i < 2; ++i) {
    const Variant& v = values[i].value;
    if (!status::IsBad(values[i].status) && !v.isArray && v.ints.size() == 1 && v.ints[0] > 0)
      *limits[i] = static_cast<uint32_t>(std::min<int64_t>(v.ints[0], std::numeric_limits<uint32_t>::max()));
  }
}

RequestHeader UaTcpSession::NextHeader() {
  RequestHeader h;
  h.authenticationToken = _authToken;
  h.requestHandle = ++_handle;
  h.timeoutHintMs = static_cast<uint32_t>(_settings.requestTimeout.count());
  auto now = std::chrono::system_clock::now().time_since_epoch();
  h.timestampTicks = UnixMsToTicks(std::chrono::duration_cast<ms>(now).count());
  return h;
}

bool UaTcpSession::RenewIfDue() {
  if (Clock::now() < _renewAt) return true;
  return OpenChannel(true);
}

bool UaTcpSession::SessionLost(uint32_t serviceResult) {
  switch (serviceResult) {
    case status::kBadSessionIdInvalid:
    case status::kBadSessionClosed:
    case status::kBadSessionNotActivated:
    case status::kBadSecureChannelIdInvalid:
    case status::kBadSecureChannelTokenUnknown:
    case status::kBadConnectionClosed:
      Drop("the server ended the session : " + Hex(serviceResult));
      return true;
    default:
      return false;
  }
}

// ---- messages ---------------------------------------------------------------------

bool UaTcpSession::Exchange(std::vector<uint8_t> body, Response& out, size_t maxResults, const char* type,
                            const std::vector<size_t>* elementCaps) {
  if (!_socket) return false;
  bool open = std::strcmp(type, "OPN") == 0;
  if (!open && !RenewIfDue()) return false;
  std::vector<Flight> flights(1);
  if (!Send(type, body, flights[0]) || !ReceiveAny(flights)) return false;
  return Decode(flights[0].body, out, maxResults, elementCaps);
}

bool UaTcpSession::Decode(const std::vector<uint8_t>& reply, Response& out, size_t maxResults,
                          const std::vector<size_t>* elementCaps) {
  try {
    out = DecodeResponse(reply.data(), reply.size(), std::max<size_t>(maxResults, 16), elementCaps);
  } catch (const DecodeError& e) {
    Drop(std::string("undecodable answer : ") + e.what());
    return false;
  }
  return true;
}

bool UaTcpSession::Send(const char* type, const std::vector<uint8_t>& body, Flight& flight) {
  flight.requestId = ++_requestId;
  flight.deadline = Clock::now() + _settings.requestTimeout;
  return SendChunks(type, body, flight.requestId, flight.deadline);
}

bool UaTcpSession::SendChunks(const char* type, const std::vector<uint8_t>& body, uint32_t requestId,
                              Clock::time_point deadline) {
  bool open = std::strcmp(type, "OPN") == 0;
  size_t chunkSize = std::min<size_t>(_peer.receiveBufferSize, kReceiveBufferSize * 4);
  size_t room = ChunkRoom(_security, chunkSize);
  size_t chunks = open ? 1 : std::max<size_t>(1, (body.size() + room - 1) / room);
  if ((_peer.maxMessageSize && body.size() > _peer.maxMessageSize) ||
      (_peer.maxChunkCount && chunks > _peer.maxChunkCount)) {
    Drop("request of " + std::to_string(body.size()) + " bytes exceeds the server's message limits");
    return false;
  }
  std::string why;
  size_t pos = 0;
  for (size_t c = 0; c < chunks; ++c) {
    size_t part = open ? body.size() : std::min(room, body.size() - pos);
    Bytes chunk;
    try {
      chunk =
          SealChunk(_security, _credentials, {type, c + 1 == chunks ? 'F' : 'C', _channelId, ++_sequence, requestId},
                    body.data() + pos, part);
    } catch (const DecodeError& e) {
      Drop(std::string("cannot secure a request : ") + e.what());
      return false;
    }
    pos += part;
    if (!_socket->Send(chunk.data(), chunk.size(), deadline, why)) {
      Drop(why);
      return false;
    }
  }
  return true;
}

bool UaTcpSession::ReceiveAny(std::vector<Flight>& flights) {
  std::string why;
  std::vector<uint8_t> chunk;
  size_t chunks = 0, bytes = 0;  // every chunk counts, those of other requests too
  Clock::time_point deadline = Clock::time_point::max();
  for (const Flight& f : flights)
    if (!f.done) deadline = std::min(deadline, f.deadline);
  for (;;) {
    if (++chunks > kMaxChunks || bytes > size_t(kMaxMessageSize) + kReceiveBufferSize) {
      Drop("answer beyond " + std::to_string(kMaxChunks) + " chunks or " + std::to_string(kMaxMessageSize) + " bytes");
      return false;
    }
    uint8_t head[kChunkHeaderSize];
    if (!_socket->Receive(head, sizeof head, deadline, why)) {
      Drop(why);
      return false;
    }
    ChunkHeader h = ParseChunkHeader(head, sizeof head);
    if (h.size < kChunkHeaderSize + 8 || h.size > kReceiveBufferSize) {
      Drop("chunk of " + std::to_string(h.size) + " bytes");
      return false;
    }
    bytes += h.size;
    chunk.assign(head, head + kChunkHeaderSize);
    chunk.resize(h.size);
    if (!_socket->Receive(chunk.data() + kChunkHeaderSize, h.size - kChunkHeaderSize, deadline, why)) {
      Drop(why);
      return false;
    }
    try {
      if (std::memcmp(h.type, "ERR", 3) == 0) {
        auto error = DecodeErrorMessage(chunk.data() + kChunkHeaderSize, h.size - kChunkHeaderSize);
        Drop(Refusal(error.first, "server closed the channel : " + error.second));
        return false;
      }
      bool open = std::memcmp(h.type, "OPN", 3) == 0;
      if (!open && std::memcmp(h.type, "MSG", 3) != 0) throw DecodeError("unexpected message type");
      ChunkIn in = OpenChunk(_security, chunk.data(), chunk.size());
      if (!CheckChunk(open, {in.channelId, in.tokenId, in.sequence, in.requestId})) return false;
      if (open && _security.Secured() && in.senderCertificate != _serverCertificate.der) {
        Drop("secure channel answered under another certificate than the endpoint's");
        return false;
      }
      auto f = std::find_if(flights.begin(), flights.end(),
                            [&](const Flight& x) { return !x.done && x.requestId == in.requestId; });
      if (f == flights.end()) continue;  // not awaited: counted above, never waited for past the deadline
      if (h.chunk == 'A') {
        Reader a(in.body.data(), in.body.size());
        Drop("server aborted the answer : " + Hex(a.U32()));
        return false;
      }
      if (h.chunk != 'F' && h.chunk != 'C') throw DecodeError("unknown chunk kind");
      if (f->body.size() + in.body.size() > kMaxMessageSize || ++f->chunks > kMaxChunks) {
        Drop("answer larger than " + std::to_string(kMaxMessageSize) + " bytes or " + std::to_string(kMaxChunks) +
             " chunks");
        return false;
      }
      if (f->body.empty())
        f->body = std::move(in.body);
      else
        f->body.insert(f->body.end(), in.body.begin(), in.body.end());
      if (h.chunk == 'F') {
        f->done = true;
        _lastExchange = Clock::now();
        return true;
      }
    } catch (const DecodeError& e) {
      Drop(std::string("bad chunk : ") + e.what());
      return false;
    }
  }
}

std::string UaTcpSession::Refusal(uint32_t code, const std::string& reason) const {
  std::string what = reason + " " + Hex(code);
  // A server that does not trust our certificate refuses the secured channel.
  if (_channel != ChannelState::HelloSent || !_security.Secured()) return what;
  return "server refused our certificate " + _settings.certificate + " (thumbprint " +
         _identity->certificate.Thumbprint() + ") : " + what +
         " ; put it into the server's trusted client certificates";
}

bool UaTcpSession::CheckChunk(bool open, const ChunkSecurity& s) {
  // Sequence numbers rise by one per chunk and may wrap to below 1024 once
  // past 2^32 - 1024; we only insist that they rise.
  bool rising =
      _serverSequence == 0 || s.sequence > _serverSequence || (_serverSequence > 0xFFFFFBFFu && s.sequence < 1024);
  std::string wrong;
  if (_channelId != 0 && s.channelId != _channelId)
    wrong = "channel id " + std::to_string(s.channelId) + " (ours " + std::to_string(_channelId) + ")";
  else if (!open && s.tokenId != _tokenId && s.tokenId != _previousToken)
    wrong = "token " + std::to_string(s.tokenId) + " (ours " + std::to_string(_tokenId) + ")";
  else if (!rising)
    wrong = "sequence number " + std::to_string(s.sequence) + " after " + std::to_string(_serverSequence);
  if (!wrong.empty()) {
    Drop("answer with a wrong " + wrong);
    return false;
  }
  _serverSequence = s.sequence;
  return true;
}

}  // namespace VESK::DAQ
