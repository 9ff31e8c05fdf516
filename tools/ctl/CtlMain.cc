// pemrix-ctl: every management action of a gateway from an operator's shell.
// Replies are printed on standard output as they arrive; progress and errors
// go to standard error. Exit status 0 on success, 1 on a failure or time-out,
// 2 on a usage error.
#include <easylogging++.h>
#include <mosquitto.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "GatewayLink.h"
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
    "  --config FILE   broker settings in the daemon's mqtt.json format\n"
    "  --host H, --port P          broker (default localhost:1883, or from --config)\n"
    "  --id D          gateway device id (default gateway)\n"
    "  --root R        topic root (default /pemrix/gateways/, or from --config)\n"
    "  --timeout S     seconds to wait for each answer (default 30)\n"
    "  --sign-key FILE sign every request with this private key (gateways with signing on)\n"
    "  --yes           do not ask before a restart\n"
    "  --verbose       also print the MQTT client's log and every status reply\n"
    "  --help          this text; COMMAND --help for one command\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"status",
     "pemrix-ctl status\n  Prints the gateway's retained status and sends one \"test\" request.\n"
     "  Exit 0 when the gateway answers.\n"},
    {"test", "pemrix-ctl test\n  Sends {\"command\":\"test\"} and prints the echo.\n"},
    {"restart", "pemrix-ctl restart [--yes]\n  Asks the gateway to restart the system through its host service.\n"},
    {"upload",
     "pemrix-ctl upload FILE [--name N] [--resume]\n"
     "  Sends FILE in 64 KiB chunks, at most 8 MiB ahead of what the gateway confirmed,\n"
     "  with its SHA-256; the gateway keeps the file as /tmp/N (default: FILE's name)\n"
     "  only when the digest matches. --resume goes on from what the gateway holds.\n"},
    {"update-project",
     "pemrix-ctl update-project ARCHIVE [--resume]\n"
     "  Uploads ARCHIVE (tar.gz of the project folder's contents) as Project.tar.gz,\n"
     "  then asks the gateway to install it. The old project is kept as .bak.\n"},
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

bool ParseArgs(int argc, char** argv, Args& args, std::string& error) {
  static const char* const valued[] = {"--config", "--host",    "--port", "--id",
                                       "--root",   "--timeout", "--name", "--sign-key"};
  static const char* const flags[] = {"--yes", "--verbose", "--help", "--resume"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    bool known = false;
    for (const char* name : valued) {
      if (arg != name) continue;
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      args.values[arg] = argv[++i];
      known = true;
    }
    for (const char* name : flags)
      if (arg == name) known = args.flags[arg] = true;
    if (known) continue;
    if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    }
    if (args.command.empty())
      args.command = arg;
    else
      args.operands.push_back(arg);
  }
  return true;
}

// The MQTT client's log lines: errors on standard error, the rest only
// with --verbose.
class LogToStderr : public el::LogDispatchCallback {
 public:
  static bool verbose;

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (verbose || data->logMessage()->level() == el::Level::Error) std::cerr << data->logMessage()->message() << '\n';
  }
};
bool LogToStderr::verbose = false;

void QuietLogging(bool verbose) {
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  el::Loggers::reconfigureAllLoggers(conf);
  LogToStderr::verbose = verbose;
  el::Helpers::installLogDispatchCallback<LogToStderr>("stderr");
}

int Fail(const std::string& message) {
  std::cerr << "pemrix-ctl: " << message << '\n';
  return 1;
}

// Progress of an upload: a redrawn bar on a terminal, a line per tenth
// otherwise.
class Progress {
 public:
  void operator()(uint64_t done, uint64_t total) {
    const auto now = Clock::now();
    if (!_started) {
      _started = true;
      _start = now;
      _startBytes = done;
    }
    const double seconds = std::chrono::duration<double>(now - _start).count();
    const double rate = seconds > 0 ? (done - _startBytes) / seconds : 0;
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    char line[160];
    const int left = rate > 0 ? static_cast<int>((total - done) / rate) : 0;
    if (_tty) {
      std::string bar(static_cast<size_t>(percent / 5), '#');
      bar.resize(20, ' ');
      std::snprintf(line, sizeof line, "\r[%s] %3d%%  %.1f/%.1f MB  %.1f MB/s  %d:%02d left ", bar.c_str(), percent,
                    done / 1e6, total / 1e6, rate / 1e6, left / 60, left % 60);
      std::cerr << line << (done >= total ? "\n" : "") << std::flush;
    } else if (percent / 10 != _lastTenth || done >= total) {
      _lastTenth = percent / 10;
      std::snprintf(line, sizeof line, "%3d%%  %.1f/%.1f MB  %.1f MB/s\n", percent, done / 1e6, total / 1e6,
                    rate / 1e6);
      std::cerr << line;
    }
  }

 private:
  bool _tty = isatty(STDERR_FILENO) == 1;
  bool _started = false;
  Clock::time_point _start;
  uint64_t _startBytes = 0;
  int _lastTenth = -1;
};

class Ctl {
 public:
  explicit Ctl(const Args& args) : _args(args) {}

  int Run() {
    const std::string& c = _args.command;
    if (c == "status") return Status();
    if (c == "test") return Simple("test");
    if (c == "restart") return Restart();
    if (c == "download-project") return Simple("download_project");
    if (c == "upload") return UploadCommand();
    if (c == "update-project") return Update("Project.tar.gz", "update_project");
    if (c == "update-runtime") return Update("Pemrix.tar.gz", "update_runtime");
    if (c == "keygen") return VESK::ctl::Keygen(_args.operands);
    return Fail("unknown command " + c);
  }

 private:
  std::string Value(const std::string& option, const std::string& fallback) const {
    auto it = _args.values.find(option);
    return it == _args.values.end() ? fallback : it->second;
  }

  // Broker settings: the file first, then the options on top.
  bool Open() {
    _timeout = std::chrono::seconds(std::stoi(Value("--timeout", "30")));
    auto connector = std::make_shared<VESK::MqttConnector>();
    const std::string ownId = "pemrix-ctl-" + connector->_clientId;
    std::string root = "/pemrix/gateways/";
    if (_args.values.count("--config")) {
      if (!VESK::LoadMqttSettings(Value("--config", ""), *connector, root)) return false;
      // The file may name the gateway's own client id: taking it would throw
      // the gateway off the broker. It stays the identity of a TLS-PSK link.
      connector->_pskIdentity = connector->_clientId;
    } else {
      connector->_host = "localhost";
      connector->_reconnectTime = 1;
    }
    connector->_clientId = ownId;
    connector->_host = Value("--host", connector->_host);
    connector->_port = std::stoi(Value("--port", std::to_string(connector->_port)));
    root = Value("--root", root);
    if (!root.empty() && root.back() != '/') root += '/';
    _link = std::make_unique<VESK::ctl::GatewayLink>(connector, root + Value("--id", "gateway") + "/");
    const bool verbose = _args.flags.count("--verbose") > 0;
    _link->onReply = [verbose](const VESK::ctl::Reply& reply) {
      if (verbose || reply.value.value("command", "") != "upload_status") std::cout << reply.text << std::endl;
    };
    std::string error;
    if (_args.values.count("--sign-key") &&
        !VESK::ctl::SignRequests(*_link, Value("--sign-key", ""), Value("--id", "gateway"), error))
      return Fail(error) == 0;
    if (_link->Connect(Deadline())) return true;
    Fail("cannot connect to the broker at " + connector->_host + ":" + std::to_string(connector->_port));
    return false;
  }

  Clock::time_point Deadline() const { return Clock::now() + _timeout; }

  // Sends one request and judges its reply by "result" (and "error").
  int Call(const std::string& command) {
    json id = _link->Send({{"command", command}});
    auto reply = _link->WaitReply(command, id, Deadline());
    if (!reply) return Fail("no reply to " + command + " within " + std::to_string(_timeout.count()) + " s");
    const json& v = reply->value;
    if (v.value("result", 0) == 0) return 0;
    const json error = v.value("error", json());
    return Fail(v.value("message", error.is_string() ? error.get<std::string>() : command + " failed"));
  }

  int Simple(const std::string& command) { return Open() ? Call(command) : 1; }

  int Status() {
    if (!Open()) return 1;
    auto status = _link->WaitStatus(Clock::now() + std::min(_timeout, std::chrono::seconds(2)));
    std::cerr << "status: " << (status ? *status : "(none retained)") << '\n';
    const auto start = Clock::now();
    if (Call("test") != 0) return 1;
    std::cerr << "answers: yes, in " << std::chrono::duration<double, std::milli>(Clock::now() - start).count()
              << " ms\n";
    return 0;
  }

  int Restart() {
    if (!_args.flags.count("--yes")) {
      if (!isatty(STDIN_FILENO)) return Fail("restart needs --yes when there is no terminal to ask");
      std::cerr << "Restart gateway " << Value("--id", "gateway") << "? [y/N] ";
      std::string answer;
      std::getline(std::cin, answer);
      if (answer != "y" && answer != "Y" && answer != "yes") return Fail("not restarted");
    }
    return Simple("restart");
  }

  int SendFile(const std::string& path, const std::string& name) {
    VESK::ctl::UploadOptions options;
    options.path = path;
    options.name = name;
    options.resume = _args.flags.count("--resume") > 0;
    options.stall = _timeout;
    Progress progress;
    options.progress = [&progress](uint64_t done, uint64_t total) { progress(done, total); };
    VESK::ctl::Outcome outcome = VESK::ctl::Upload(*_link, options);
    return outcome.ok ? 0 : Fail(outcome.message);
  }

  int UploadCommand() {
    if (_args.operands.size() != 1) return Usage("upload");
    const std::string& path = _args.operands[0];
    const std::string name = Value("--name", path.substr(path.rfind('/') + 1));
    return Open() ? SendFile(path, name) : 1;
  }

  int Update(const std::string& archiveName, const std::string& command) {
    if (_args.operands.size() != 1) return Usage(_args.command);
    if (!Open()) return 1;
    if (SendFile(_args.operands[0], archiveName) != 0) return 1;
    return Call(command);
  }

  int Usage(const std::string& command) {
    std::cerr << kCommandHelp.at(command);
    return 2;
  }

  const Args& _args;
  std::chrono::seconds _timeout{30};
  std::unique_ptr<VESK::ctl::GatewayLink> _link;
};

}  // namespace

int main(int argc, char** argv) {
  Args args;
  std::string error;
  if (!ParseArgs(argc, argv, args, error)) {
    std::cerr << "pemrix-ctl: " << error << "\n\n" << kUsage;
    return 2;
  }
  if (args.command.empty() || (args.flags.count("--help") && !kCommandHelp.count(args.command))) {
    std::cout << kUsage;
    return args.flags.count("--help") ? 0 : 2;
  }
  if (args.flags.count("--help")) {
    std::cout << kCommandHelp.at(args.command);
    return 0;
  }
  if (!kCommandHelp.count(args.command)) {
    std::cerr << "pemrix-ctl: unknown command " << args.command << "\n\n" << kUsage;
    return 2;
  }
  QuietLogging(args.flags.count("--verbose") > 0);
  mosquitto_lib_init();
  int status = 1;
  try {
    status = Ctl(args).Run();
  } catch (const std::exception& e) {  // a number option that is none
    status = Fail(e.what());
  }
  mosquitto_lib_cleanup();
  return status;
}
