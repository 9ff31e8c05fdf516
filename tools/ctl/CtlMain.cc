// pemrix-ctl: every management action of a gateway from an operator's shell.
// One verdict line on standard output; progress and errors on standard error
// (--json: the gateway's replies on standard output instead, one JSON object
// a line). Exit status 0 on success, 1 on a failure or time-out, 2 on a usage
// error.
#include <easylogging++.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "GatewayLink.h"
#include "Repack.h"
#include "Sign.h"

namespace {

using VESK::ctl::Clock;
using json = nlohmann::json;

const char* const kUsage =
    "usage: pemrix-ctl [options] COMMAND [arguments]\n"
    "\n"
    "commands:\n"
    "  status                      the retained status, and whether the gateway answers\n"
    "  test                        one \"test\" round trip\n"
    "  restart                     restart the gateway (asks first unless --yes)\n"
    "  upload FILE [--name N]      upload FILE to the gateway's /tmp, verified (--resume goes on)\n"
    "  update-project ARCHIVE      upload ARCHIVE as Project.tar.gz, then install it as the project\n"
    "  update-runtime ARCHIVE      upload ARCHIVE as Pemrix.tar.gz, then install it as the runtime\n"
    "  download-project            have the gateway pack its project into /tmp/Project.tar.gz\n"
    "  keygen FILE                 write a signing key pair: FILE (private) and FILE.pub\n"
    "\n"
    "options:\n"
    "  --config FILE               broker settings in the daemon's mqtt.json format\n"
    "  --host H, --port P          broker (default localhost:1883, or from --config)\n"
    "  --username U, --password P  broker credentials\n"
    "  --cafile F, --cert F, --key F   TLS with certificates (PEM files)\n"
    "  --psk HEX, --psk-identity I     TLS with a pre-shared key\n"
    "  --id D                      gateway device id (default gateway)\n"
    "  --root R                    topic root (default /pemrix/gateways/, or from --config)\n"
    "  --timeout S                 seconds to wait for each answer (default 30)\n"
    "  --sign-key FILE             sign every request with this private key (gateways with signing on)\n"
    "  --yes                       do not ask before a restart\n"
    "  --json                      print the gateway's replies (one JSON object a line)\n"
    "  --verbose                   also print the MQTT client's log and every status reply\n"
    "  -h, --help                  this text; COMMAND --help for one command\n"
    "  --version                   the version\n";

const char* const kHint = "Try 'pemrix-ctl --help'.";

const std::map<std::string, std::string> kCommandHelp = {
    {"status",
     "pemrix-ctl status\n  Prints the gateway's retained status and sends one \"test\" request.\n"
     "  Exit 0 when the gateway answers.\n"},
    {"test", "pemrix-ctl test\n  Sends {\"command\":\"test\"} and waits for the echo.\n"},
    {"restart", "pemrix-ctl restart [--yes]\n  Asks the gateway to restart the system through its host service.\n"},
    {"upload",
     "pemrix-ctl upload FILE [--name N] [--resume]\n"
     "  Sends FILE in 64 KiB chunks, at most 8 MiB ahead of what the gateway confirmed,\n"
     "  with its SHA-256; the gateway keeps the file as /tmp/N (default: FILE's name)\n"
     "  only when the digest matches. --resume goes on from what the gateway holds.\n"},
    {"update-project",
     "pemrix-ctl update-project ARCHIVE [--resume]\n"
     "  Uploads ARCHIVE (tar.gz of the project folder's contents) as Project.tar.gz,\n"
     "  then asks the gateway to install it. The old project is kept as .bak.\n"
     "  An archive holding one folder only (as download-project makes) is sent\n"
     "  with that folder's contents at its top.\n"},
    {"update-runtime",
     "pemrix-ctl update-runtime ARCHIVE [--resume]\n"
     "  Uploads ARCHIVE (tar.gz holding a top-level Pemrix folder) as Pemrix.tar.gz,\n"
     "  then asks the gateway to install it. The old runtime is kept as .bak.\n"},
    {"download-project", "pemrix-ctl download-project\n  Has the gateway pack its project into /tmp/Project.tar.gz.\n"},
    {"keygen",
     "pemrix-ctl keygen FILE\n  Writes a new Ed25519 key pair: FILE (private, mode 0600) and FILE.pub, the\n"
     "  public key a gateway's mqtt.json names under signing.trusted_keys.\n"},
};

struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> values;  // --option value
  std::map<std::string, bool> flags;          // --flag
};

// A usage error: the reason and a one-line hint on standard error, exit 2.
struct UsageError {
  std::string message;
};

Args ParseArgs(int argc, char** argv) {
  static const char* const valued[] = {"--config",  "--host", "--port",     "--id",          "--root",
                                       "--timeout", "--name", "--username", "--password",    "--cafile",
                                       "--cert",    "--key",  "--psk",      "--psk-identity", "--sign-key"};
  static const char* const flags[] = {"--yes", "--verbose", "--help", "--resume", "--json", "--version"};
  Args args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h") arg = "--help";
    bool known = false;
    for (const char* name : valued) {
      if (arg != name) continue;
      if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
      args.values[arg] = argv[++i];
      known = true;
    }
    for (const char* name : flags)
      if (arg == name) known = args.flags[arg] = true;
    if (known) continue;
    if (arg.size() > 1 && arg[0] == '-') throw UsageError{"unknown option " + arg};
    if (args.command.empty())
      args.command = arg;
    else
      args.operands.push_back(arg);
  }
  return args;
}

// A whole decimal number within [low, high], or a usage error naming the option.
int NumberOption(const Args& args, const std::string& option, int fallback, int low, int high) {
  auto it = args.values.find(option);
  if (it == args.values.end()) return fallback;
  const std::string& text = it->second;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
    throw UsageError{option + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not '" + text + "'"};
  return static_cast<int>(value);
}

// What the local side can check before connecting: an empty string when
// path is a readable regular file the gateway can take, else why not.
std::string CheckLocalFile(const std::string& path, bool sizeLimited) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
  if (access(path.c_str(), R_OK) != 0) return path + ": " + std::strerror(errno);
  if (sizeLimited && st.st_size > INT_MAX) return path + ": the gateway takes files up to 2 GiB - 1";
  return "";
}

// The MQTT client's log lines: only with --verbose; the latest error is kept
// as the reason of a failure.
class LogToStderr : public el::LogDispatchCallback {
 public:
  static bool verbose;
  static std::string lastError;

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->logMessage()->level() == el::Level::Error) lastError = data->logMessage()->message();
    if (verbose) std::cerr << data->logMessage()->message() << '\n';
  }
};
bool LogToStderr::verbose = false;
std::string LogToStderr::lastError;

void QuietLogging(bool verbose) {
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  el::Loggers::reconfigureAllLoggers(conf);
  LogToStderr::verbose = verbose;
  el::Helpers::installLogDispatchCallback<LogToStderr>("stderr");
}

// Progress of an upload on standard error: a redrawn bar on a terminal
// (cleared again before the verdict), a line per tenth otherwise.
class Progress {
 public:
  ~Progress() { Clear(); }

  void operator()(uint64_t done, uint64_t total) {
    done = std::min(done, total);
    const auto now = Clock::now();
    if (!_started) {
      _started = true;
      _start = now;
      _startBytes = done;
    }
    const double seconds = std::chrono::duration<double>(now - _start).count();
    const double rate = seconds > 0 && done > _startBytes ? (done - _startBytes) / seconds : 0;
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    char line[160];
    const int left = rate > 0 ? static_cast<int>((total - done) / rate) : 0;
    if (_tty) {
      std::string bar(static_cast<size_t>(percent / 5), '#');
      bar.resize(20, ' ');
      std::snprintf(line, sizeof line, "\r[%s] %3d%%  %.1f/%.1f MB  %.1f MB/s  %d:%02d left ", bar.c_str(), percent,
                    done / 1e6, total / 1e6, rate / 1e6, left / 60, left % 60);
      std::cerr << line << std::flush;
      _drawn = true;
    } else if (percent / 10 != _lastTenth || done >= total) {
      _lastTenth = percent / 10;
      std::snprintf(line, sizeof line, "%3d%%  %.1f/%.1f MB  %.1f MB/s\n", percent, done / 1e6, total / 1e6,
                    rate / 1e6);
      std::cerr << line;
    }
  }

  // Erases a drawn bar, so the next line starts clean.
  void Clear() {
    if (_drawn) std::cerr << "\r\033[K" << std::flush;
    _drawn = false;
  }

 private:
  bool _tty = isatty(STDERR_FILENO) == 1;
  bool _started = false;
  bool _drawn = false;
  Clock::time_point _start;
  uint64_t _startBytes = 0;
  int _lastTenth = -1;
};

class Ctl {
 public:
  explicit Ctl(const Args& args) : _args(args) {
    _timeout = std::chrono::seconds(NumberOption(args, "--timeout", 30, 1, 86400));
    NumberOption(args, "--port", 1883, 1, 65535);  // judged before anything else happens
  }

  int Run() {
    const std::string& c = _args.command;
    if (c == "status") return Status();
    if (c == "test") return Simple("test", "gateway " + Gateway() + " answers");
    if (c == "restart") return Restart();
    if (c == "download-project")
      return Simple("download_project", "gateway " + Gateway() + " packed its project into /tmp/Project.tar.gz");
    if (c == "upload") return UploadCommand();
    if (c == "update-project") return Update("Project.tar.gz", "update_project", "project");
    if (c == "update-runtime") return Update("Pemrix.tar.gz", "update_runtime", "runtime");
    if (c == "keygen") return VESK::ctl::Keygen(_args.operands);
    throw UsageError{"unknown command " + c};
  }

 private:
  std::string Value(const std::string& option, const std::string& fallback) const {
    auto it = _args.values.find(option);
    return it == _args.values.end() ? fallback : it->second;
  }
  std::string Gateway() const { return Value("--id", "gateway"); }

  int Fail(const std::string& message) {
    _progress.Clear();
    std::cerr << "pemrix-ctl: " << message << '\n';
    return 1;
  }
  int Verdict(const std::string& line) {
    _progress.Clear();
    (_args.flags.count("--json") ? std::cerr : std::cout) << line << std::endl;
    return 0;
  }

  // Broker settings: the file first, then the options on top. Files named
  // by options are checked before anything connects.
  int Open() {
    auto connector = std::make_shared<VESK::MqttConnector>();
    const std::string ownId = "pemrix-ctl-" + connector->_clientId;
    std::string root = "/pemrix/gateways/";
    if (_args.values.count("--config")) {
      const std::string file = Value("--config", "");
      const std::string problem = CheckLocalFile(file, false);
      if (!problem.empty()) return Fail(problem);
      if (!VESK::LoadMqttSettings(file, *connector, root)) return Fail(file + ": " + LogToStderr::lastError);
      // The file may name the gateway's own client id: taking it would throw
      // the gateway off the broker. It stays the identity of a TLS-PSK link.
      connector->_pskIdentity = connector->_clientId;
    } else {
      connector->_host = "localhost";
    }
    connector->_reconnectTime = 1;
    connector->_clientId = ownId;
    connector->_host = Value("--host", connector->_host);
    connector->_port = NumberOption(_args, "--port", connector->_port, 1, 65535);
    connector->_username = Value("--username", connector->_username);
    connector->_password = Value("--password", connector->_password);
    for (const char* option : {"--cafile", "--cert", "--key"}) {
      if (!_args.values.count(option)) continue;
      const std::string problem = CheckLocalFile(Value(option, ""), false);
      if (!problem.empty()) return Fail(problem);
      connector->_encryptionMode = 1;
    }
    connector->_caFile = Value("--cafile", connector->_caFile);
    connector->_certFile = Value("--cert", connector->_certFile);
    connector->_keyFile = Value("--key", connector->_keyFile);
    if (_args.values.count("--psk")) {
      connector->_encryptionMode = 2;
      connector->_certPassword = Value("--psk", "");
    }
    connector->_pskIdentity = Value("--psk-identity", connector->_pskIdentity);
    root = Value("--root", root);
    if (!root.empty() && root.back() != '/') root += '/';
    _link = std::make_unique<VESK::ctl::GatewayLink>(connector, root + Gateway() + "/");
    const bool verbose = _args.flags.count("--verbose") > 0, asJson = _args.flags.count("--json") > 0;
    _link->onReply = [verbose, asJson](const VESK::ctl::Reply& reply) {
      if (asJson && (verbose || reply.value.value("command", json()) != "upload_status"))
        std::cout << reply.value.dump() << std::endl;
    };
    std::string error;
    if (_args.values.count("--sign-key") && !VESK::ctl::SignRequests(*_link, Value("--sign-key", ""), Gateway(), error))
      return Fail(error);
    std::string why;
    if (_link->Connect(Deadline(), &why)) return 0;
    // Refused before any packet: the client's own ERROR line ends in
    // "(<library text>: <system text>)"; the system's text is the reason.
    const std::string& line = LogToStderr::lastError;
    const size_t open = line.rfind('(');
    if (why.rfind("the connection", 0) == 0 && open != std::string::npos && line.back() == ')') {
      const std::string inner = line.substr(open + 1, line.size() - open - 2);
      const size_t colon = inner.rfind(": ");
      why = colon == std::string::npos ? inner : inner.substr(colon + 2);
    }
    return Fail("cannot connect to the broker at " + connector->_host + ":" + std::to_string(connector->_port) + ": " +
                why);
  }

  Clock::time_point Deadline() const { return Clock::now() + _timeout; }

  // Sends one request and judges its reply by "result" (and "message" or
  // "error"); 0 with the reply in *reply when it succeeded.
  int Call(const std::string& command, json* reply = nullptr) {
    json id = _link->Send({{"command", command}});
    auto answer = _link->WaitReply(command, id, Deadline());
    if (!answer) return Fail("no reply to " + command + " within " + std::to_string(_timeout.count()) + " s");
    if (VESK::ctl::ReplyResult(answer->value) != 0) return Fail(VESK::ctl::ReplyMessage(answer->value));
    if (reply) *reply = answer->value;
    return 0;
  }

  int Simple(const std::string& command, const std::string& verdict) {
    if (Open() != 0 || Call(command) != 0) return 1;
    return Verdict(verdict);
  }

  int Status() {
    if (Open() != 0) return 1;
    auto status = _link->WaitStatus(Clock::now() + std::min(_timeout, std::chrono::seconds(2)));
    const std::string retained = status ? *status : "(no status retained)";
    const auto start = Clock::now();
    if (Call("test") != 0) return Fail("gateway " + Gateway() + " is " + retained + " and does not answer");
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    return Verdict("gateway " + Gateway() + ": " + retained + ", answers in " + ms + " ms");
  }

  int Restart() {
    if (!_args.flags.count("--yes")) {
      if (!isatty(STDIN_FILENO)) throw UsageError{"restart needs --yes when there is no terminal to ask"};
      std::cerr << "Restart gateway " << Gateway() << "? [y/N] ";
      std::string answer;
      std::getline(std::cin, answer);
      if (answer != "y" && answer != "Y" && answer != "yes") return Fail("not restarted");
    }
    return Simple("restart", "gateway " + Gateway() + " is restarting");
  }

  int SendFile(const std::string& path, const std::string& name) {
    VESK::ctl::UploadOptions options;
    options.path = path;
    options.name = name;
    options.resume = _args.flags.count("--resume") > 0;
    options.stall = _timeout;
    options.progress = [this](uint64_t done, uint64_t total) { _progress(done, total); };
    VESK::ctl::Outcome outcome = VESK::ctl::Upload(*_link, options);
    return outcome.ok ? 0 : Fail(outcome.message);
  }

  // One operand, a file the gateway can take.
  std::string FileOperand() {
    if (_args.operands.size() != 1) throw UsageError{_args.command + " takes one file"};
    const std::string problem = CheckLocalFile(_args.operands[0], true);
    if (!problem.empty()) throw LocalError{problem};
    return _args.operands[0];
  }

  int UploadCommand() {
    const std::string path = FileOperand();
    const std::string name = Value("--name", path.substr(path.rfind('/') + 1));
    if (Open() != 0 || SendFile(path, name) != 0) return 1;
    return Verdict("uploaded " + path + " to gateway " + Gateway() + " as /tmp/" + name + ", verified");
  }

  int Update(const std::string& archiveName, const std::string& command, const std::string& what) {
    std::string path = FileOperand();
    // Signing of the archive (before it is sent) plugs in here, one call.
    VESK::ctl::TempFile repacked;
    if (command == "update_project") {
      std::string error;
      if (!VESK::ctl::RepackSingleTopFolder(path, repacked, error)) return Fail(error);
      if (!repacked.Path().empty()) path = repacked.Path();
    }
    if (Open() != 0 || SendFile(path, archiveName) != 0 || Call(command) != 0) return 1;
    return Verdict("gateway " + Gateway() + " installed the " + what + " from " + _args.operands[0]);
  }

 public:
  // A local check that failed before connecting: exit 1, not a usage error.
  struct LocalError {
    std::string message;
  };

 private:
  const Args& _args;
  std::chrono::seconds _timeout{30};
  std::unique_ptr<VESK::ctl::GatewayLink> _link;
  Progress _progress;
};

int Usage(const std::string& message) {
  std::cerr << "pemrix-ctl: " << message << '\n' << kHint << '\n';
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  try {
    args = ParseArgs(argc, argv);
  } catch (const UsageError& e) {
    return Usage(e.message);
  }
  if (args.flags.count("--version")) {
    std::cout << "pemrix-ctl " << PEMRIX_VERSION << '\n';
    return 0;
  }
  if (args.flags.count("--help")) {
    auto it = kCommandHelp.find(args.command);
    std::cout << (it == kCommandHelp.end() ? kUsage : it->second);
    return 0;
  }
  if (args.command.empty()) return Usage("no command given");
  if (!kCommandHelp.count(args.command)) return Usage("unknown command " + args.command);
  QuietLogging(args.flags.count("--verbose") > 0);
  mosquitto_lib_init();
  int status = 1;
  try {
    status = Ctl(args).Run();
  } catch (const UsageError& e) {
    status = Usage(e.message);
  } catch (const Ctl::LocalError& e) {
    std::cerr << "pemrix-ctl: " << e.message << '\n';
    status = 1;
  }
  mosquitto_lib_cleanup();
  return status;
}
