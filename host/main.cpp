// corvane-httpd: a small HTTP server that loads a web-server extension
// (web/isapi.h) and hands it every request. This file reads the options,
// loads the extension and runs the server (host/server.h) until a signal.
//
// The first line on standard error is the address it listens on; then one
// line per request (host/access_log.h). Before it listens, the extension
// says whether its files can be served; when not, the program exits with
// status 2 and the reason. Under systemd it reports readiness (sd_notify).
// SIGINT or SIGTERM stops accepting and lets the requests in flight finish
// within the drain time; then TerminateExtension saves every brain not in a
// turn and says whether all were saved. The exit status is 0 only when they
// were; a second signal ends the program at once with status 1. SIGHUP
// opens the log files anew.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "host/access_log.h"
#include "host/http_host.h"
#include "host/server.h"
#include "host/session_options.h"

namespace corvane {
namespace {

struct Options {
  std::string listen = "127.0.0.1";
  std::string port = "8080";
  std::string root = "var/wwwroot";
  std::string extension;  // Empty: corvane-isapi.so beside the binary.
  std::size_t max_connections = 256;
  std::size_t max_per_address = 64;
  std::size_t max_body = 64u << 10;
  std::size_t threads = 0;  // 0: one per core.
  std::size_t drain_seconds = 10;
  std::size_t body_seconds = 20;
  std::string language_file;  // Empty: the fixed name in the root.
  std::string template_file;  // Empty: the fixed name in the root.
  bool admin = false;
  std::string admin_port;  // Empty: none.
  std::string access_log;  // Empty: the main log.
  std::string log_file;    // Empty: standard error as it is.
  AccessLog::Format log_format = AccessLog::Format::kText;
  SessionOptions sessions;
};

const char kUsage[] =
    "usage: corvane-httpd [options]\n"
    "Serves HTTP and hands every request to a web-server extension.\n"
    "  --listen ADDR          address to listen on (default 127.0.0.1)\n"
    "  --port N               port to listen on; 0 picks a free one (default "
    "8080)\n"
    "  --root DIR             web root: the extension's files live here\n"
    "                         (default var/wwwroot)\n"
    "  --language-file PATH   the knowledge base to serve (default\n"
    "                         CorvWebDemo.clf in the web root)\n"
    "  --template PATH        the page template (default\n"
    "                         web_corvane_example.htm in the web root)\n"
    "  --extension PATH       extension library to load (default "
    "corvane-isapi.so\n"
    "                         beside this program, or in ../lib/corvane)\n"
    "  --max-connections N    open connections served at once; more get 503\n"
    "                         (default 256)\n"
    "  --max-conns-per-address N\n"
    "                         open connections from one client address; more\n"
    "                         get 503 (default 64; 0: no cap)\n"
    "  --max-body BYTES       largest request body; larger ones get 413\n"
    "                         (default 65536)\n"
    "  --threads N            threads serving the connections (default: one "
    "per\n"
    "                         core it may run on)\n"
    "  --drain-seconds N      on a stop, how long requests in progress may\n"
    "                         take to finish (default 10)\n"
    "  --body-timeout N       seconds a request's whole body may take to "
    "arrive;\n"
    "                         later ones get 408 (default 20)\n"
    "  --admin                answer GET /healthz and /metrics on the main "
    "port\n"
    "                         (otherwise they are pages like any path)\n"
    "  --admin-port N         answer /healthz and /metrics on this port of "
    "the\n"
    "                         listen address, and nothing else there\n"
    "  --access-log PATH      write the access log to PATH (default: the main\n"
    "                         log)\n"
    "  --log-file PATH        write the main log (standard error) to PATH\n"
    "  --log-format FORMAT    access log lines as text (default) or json\n"
    "%s"
    "  --version              show the version\n"
    "  --help                 show this text\n"
    "The first line on standard error is the address listened on. SIGINT or\n"
    "SIGTERM stops the server after the requests in flight and unloads the\n"
    "extension, which saves its state; the exit status is 0 only when every\n"
    "save succeeded. A second signal stops at once. SIGHUP reopens the log\n"
    "files. A knowledge base or template that cannot be served stops the\n"
    "start with status 2.\n";

AccessLog& TheLog() {
  static AccessLog* log = new AccessLog();  // Never destroyed: threads log.
  return *log;
}

void LogLine(const std::string& text) {
  TheLog().Line(text);
}

// A path as an absolute one, from the working directory at the start.
std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// The usage text, with the lines of the session options in it.
std::string UsageText() {
  std::string text = kUsage;
  text.replace(text.find("%s"), 2, kSessionUsage);
  return text;
}

bool ParseCount(const char* text, std::size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  *out = static_cast<std::size_t>(v);
  return true;
}

// One option that takes a value: its name and what it does with the value
// (false: a bad value, reported with `bad`).
struct OptionRule {
  const char* name;
  const char* bad;  // "bad port", ...
  std::function<bool(const char*)> apply;
};

// A count option between `low` and `high`.
std::function<bool(const char*)> Count(std::size_t* slot, std::size_t low,
                                       std::size_t high) {
  return [slot, low, high](const char* value) {
    std::size_t n = 0;
    if (!ParseCount(value, &n) || n < low || n > high) return false;
    *slot = n;
    return true;
  };
}

// A port number, kept as its text.
std::function<bool(const char*)> Port(std::string* slot) {
  return [slot](const char* value) {
    std::size_t n = 0;
    if (!ParseCount(value, &n) || n > 65535) return false;
    *slot = value;
    return true;
  };
}

std::function<bool(const char*)> Text(std::string* slot) {
  return [slot](const char* value) {
    *slot = value;
    return true;
  };
}

// The cores this process may run on (its affinity, as `taskset` sets it).
std::size_t UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<std::size_t>(CPU_COUNT(&set));
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// Exits with status 2 after a usage message when the arguments are wrong.
Options ParseOptions(int argc, char** argv) {
  Options o;
  const std::vector<OptionRule> rules = {
      {"--listen", "bad listen address", Text(&o.listen)},
      {"--port", "bad port", Port(&o.port)},
      {"--root", "bad root", Text(&o.root)},
      {"--language-file", "bad language file", Text(&o.language_file)},
      {"--template", "bad template", Text(&o.template_file)},
      {"--max-conns-per-address", "bad connection count",
       Count(&o.max_per_address, 0, 1u << 20)},
      {"--admin-port", "bad port", Port(&o.admin_port)},
      {"--access-log", "bad access log", Text(&o.access_log)},
      {"--log-file", "bad log file", Text(&o.log_file)},
      {"--log-format", "bad log format",
       [&o](const char* value) {
         const std::string v = value;
         if (v != "text" && v != "json") return false;
         o.log_format =
             v == "json" ? AccessLog::Format::kJson : AccessLog::Format::kText;
         return true;
       }},
      {"--extension", "bad extension", Text(&o.extension)},
      {"--max-connections", "bad connection count",
       Count(&o.max_connections, 1, 1u << 20)},
      {"--max-body", "bad body size", Count(&o.max_body, 0, 0xFFFFFFFEu)},
      {"--threads", "bad thread count", Count(&o.threads, 1, 256)},
      {"--drain-seconds", "bad drain time", Count(&o.drain_seconds, 0, 86400)},
      {"--body-timeout", "bad body timeout", Count(&o.body_seconds, 1, 3600)},
  };
  CommandStyle style;
  style.prefix = "corvane-httpd: ";
  style.usage = UsageText();
  style.help = style.usage;
  style.unknown = "unknown option %s";
  style.double_dash = CommandStyle::DoubleDash::kUnknown;
  style.max_words = 0;  // a word is an unknown option too
  CommandLine args(std::move(style));
  args.Exit("--version",
            std::string("corvane-httpd ") + CORVANE_VERSION + "\n");
  args.Flag("--admin", [&o] { o.admin = true; });
  AddSessionOptions(args, &o.sessions);
  for (const OptionRule& rule : rules) {
    const std::string name = rule.name;
    args.Value(name, false, UsageProblem(name + " needs a value"),
               [&rule](const std::string& value) {
                 if (!rule.apply(value.c_str()))
                   throw UsageProblem(std::string(rule.bad) + " " + value,
                                      /*with_usage=*/false);
               });
  }
  if (const std::optional<int> status = args.Parse(argc - 1, argv + 1))
    std::exit(*status);
  std::string session_error;
  if (!CheckSessionOptions(o.sessions, &session_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
    std::exit(2);
  }
  if (o.threads == 0) o.threads = UsableCores();
  return o;
}

// The default extension: beside the program (the build directory), or
// where an installation puts it (PREFIX/lib/corvane beside PREFIX/bin).
std::string DefaultExtension() {
  constexpr const char* kName = "corvane-isapi.so";
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kName;
  std::string path(self, static_cast<std::size_t>(n));
  const std::size_t slash = path.find_last_of('/');
  const std::string dir =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string beside = dir + "/" + kName;
  const std::string installed = dir + "/../lib/corvane/" + kName;
  if (::access(beside.c_str(), F_OK) != 0 &&
      ::access(installed.c_str(), F_OK) == 0)
    return installed;
  return beside;
}

// The extension's settings beyond the session options: where its files
// are. False with the reason in *error.
bool ApplyFileSettings(void* library, const Options& options,
                       const std::string& root, std::string* error) {
  auto configure = reinterpret_cast<ConfigureExtensionFn>(
      ::dlsym(library, kConfigureExtensionName));
  const std::pair<const char*, std::string> settings[] = {
      {"language-file", Absolute(options.language_file)},
      {"template", Absolute(options.template_file)},
  };
  if (configure == nullptr) {
    if (!options.language_file.empty() || !options.template_file.empty()) {
      *error = "the extension takes no --language-file or --template";
      return false;
    }
    return true;
  }
  // The root lets the extension check its files before the first request.
  configure("root", root.c_str());
  for (const auto& [name, value] : settings) {
    if (value.empty()) continue;
    if (!configure(name, value.c_str())) {
      *error = std::string("bad ") + name + " " + value;
      return false;
    }
  }
  return true;
}

// The extension's word on its files, before serving: empty when they can
// be served (or it cannot be asked), else the reason.
std::string CheckExtension(void* library) {
  auto query =
      reinterpret_cast<QueryExtensionFn>(::dlsym(library, kQueryExtensionName));
  if (query == nullptr) return std::string();
  char buffer[4096];
  uint32_t size = sizeof buffer;
  if (query("check", buffer, &size) != kIsapiFalse) return std::string();
  if (size > sizeof buffer) return "the extension's files cannot be served";
  return std::string(buffer);
}

int Run(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  char real_root[PATH_MAX];
  struct stat st {};
  if (realpath(options.root.c_str(), real_root) == nullptr ||
      stat(real_root, &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "corvane-httpd: the web root %s is not a directory\n",
                 options.root.c_str());
    return 2;
  }
  const std::string extension =
      options.extension.empty() ? DefaultExtension() : options.extension;
  std::string log_error;
  if (!TheLog().Open(Absolute(options.log_file), Absolute(options.access_log),
                     options.log_format, &log_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", log_error.c_str());
    return 2;
  }

  // SIGINT, SIGTERM and SIGHUP are taken by one thread through sigwait;
  // every other thread, started later, inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  void* library = ::dlopen(extension.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "corvane-httpd: cannot load %s: %s\n",
                 extension.c_str(), dlerror());
    return 1;
  }
  auto get_version = reinterpret_cast<GetExtensionVersionFn>(
      ::dlsym(library, kGetExtensionVersionName));
  auto proc = reinterpret_cast<HttpExtensionProcFn>(
      ::dlsym(library, kHttpExtensionProcName));
  auto terminate = reinterpret_cast<TerminateExtensionFn>(
      ::dlsym(library, kTerminateExtensionName));
  HSE_VERSION_INFO version{};
  if (get_version == nullptr || proc == nullptr || !get_version(&version)) {
    std::fprintf(stderr, "corvane-httpd: %s is not a usable extension\n",
                 extension.c_str());
    ::dlclose(library);
    return 1;
  }
  std::string setting_error;
  if (!ApplySessionOptions(library, options.sessions, &setting_error) ||
      !ApplyFileSettings(library, options, real_root, &setting_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", setting_error.c_str());
    ::dlclose(library);
    return 1;
  }
  // A knowledge base or template that cannot be served stops the start,
  // rather than serving error pages and a brain that knows nothing.
  if (const std::string problem = CheckExtension(library); !problem.empty()) {
    std::fprintf(stderr, "corvane-httpd: %s\n", problem.c_str());
    ::dlclose(library);
    return 2;
  }

  std::string shown;
  uint16_t port = 0;
  const int listen_fd =
      OpenListener(options.listen, options.port, &shown, &port);
  if (listen_fd < 0) {
    ::dlclose(library);
    return 1;
  }
  std::string admin_shown;
  uint16_t admin_port = 0;
  int admin_fd = -1;
  if (!options.admin_port.empty()) {
    admin_fd = OpenListener(options.listen, options.admin_port, &admin_shown,
                            &admin_port);
    if (admin_fd < 0) {
      ::dlclose(library);
      return 1;
    }
  }

  // Where the operator started the program, then in the log file.
  const std::string listening = "corvane-httpd listening on http://" + shown +
                                ":" + std::to_string(port) + "/";
  const std::string admin_line =
      admin_fd < 0 ? std::string()
                   : "corvane-httpd admin on http://" + admin_shown + ":" +
                         std::to_string(admin_port) + "/";
  for (int pass = 0; pass < (options.log_file.empty() ? 1 : 2); ++pass) {
    if (pass == 1) TheLog().UseMainFile();
    LogLine(listening);
    if (!admin_line.empty()) LogLine(admin_line);
  }

  HostConfig config;
  config.root = real_root;
  config.server_name = options.listen;
  config.server_port = port;
  config.max_body = options.max_body;
  config.body_timeout_ms = static_cast<int>(options.body_seconds * 1000);
  config.extension = proc;
  config.admin = options.admin;
  config.log = LogLine;
  ServerOptions server_options;
  server_options.max_connections = options.max_connections;
  server_options.max_per_address = options.max_per_address;
  server_options.io_threads = options.threads;
  server_options.admin_fd = admin_fd;
  server_options.query =
      reinterpret_cast<QueryExtensionFn>(::dlsym(library, kQueryExtensionName));
  auto server =
      std::make_unique<Server>(config, server_options, listen_fd, TheLog());
  server->Start();
  // The access lines are written at least every 100 ms.
  std::thread([] {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      TheLog().Flush();
    }
  }).detach();
  sd_notify(0, ("READY=1\nSTATUS=listening on http://" + shown + ":" +
                std::to_string(port) + "/")
                   .c_str());

  // SIGHUP reopens the logs; the first SIGINT or SIGTERM starts the stop; a
  // second one ends the program at once, without saving.
  std::promise<void> first_signal;
  std::thread([&signals, &first_signal] {
    bool stopping = false;
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0) continue;
      if (sig == SIGHUP) {
        TheLog().Reopen();
        LogLine("corvane-httpd: SIGHUP, log files reopened");
        continue;
      }
      const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
      if (!stopping) {
        stopping = true;
        LogLine("corvane-httpd: " + name + ", stopping");
        first_signal.set_value();
        continue;
      }
      LogLine("corvane-httpd: " + name +
              " again, stopping at once without saving");
      ::_exit(1);  // LogLine wrote everything collected.
    }
  }).detach();
  first_signal.get_future().wait();
  sd_notify(0, "STOPPING=1");

  server->Stop();
  const std::size_t running =
      server->Drain(std::chrono::steady_clock::now() +
                    std::chrono::seconds(options.drain_seconds));
  if (running > 0) {
    LogLine("corvane-httpd: " + std::to_string(running) +
            " request(s) still running after the drain time");
  }
  // Request lines go before the extension's lines about saving.
  TheLog().Flush();
  // Saves every brain not in a turn; true only when every brain was saved.
  const bool saved =
      terminate == nullptr || terminate(HSE_TERM_MUST_UNLOAD) != kIsapiFalse;
  if (running > 0) {
    // Unloading now would pull the extension's code away under the
    // threads still inside it, and the server is still theirs.
    LogLine(
        "corvane-httpd: stopped without unloading; not every brain was "
        "saved");
    ::_exit(1);
  }
  server.reset();
  // The process ends here, so the extension stays mapped: unloading it
  // would gain nothing and would leave the objects it keeps for the whole
  // process unreachable, which leak checkers then report.
  LogLine(saved ? "corvane-httpd: stopped; every brain was saved"
                : "corvane-httpd: stopped; not every brain was saved");
  return saved ? 0 : 1;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  return corvane::Run(argc, argv);
}
