// corvane-httpd: a small HTTP server that loads a web-server extension
// (web/isapi.h) and hands it every request. This file reads the options,
// loads the extension and runs the server (host/server.h) until a signal.
//
// The first line on standard error is the address it listens on; then one
// line per request. SIGINT or SIGTERM stops accepting and lets the requests
// in flight finish within the drain time; then TerminateExtension saves
// every brain not in a turn and says whether all were saved. The exit
// status is 0 only when they were; a second signal ends the program at
// once with status 1.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
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
#include <string>
#include <thread>
#include <vector>

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
  std::size_t max_body = 64u << 10;
  std::size_t threads = 0;  // 0: one per core.
  std::size_t drain_seconds = 10;
  std::size_t body_seconds = 20;
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
    "  --extension PATH       extension library to load (default "
    "corvane-isapi.so\n"
    "                         beside this program, or in ../lib/corvane)\n"
    "  --max-connections N    open connections served at once; more get 503\n"
    "                         (default 256)\n"
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
    "%s"
    "  --help                 show this text\n"
    "The first line on standard error is the address listened on. SIGINT or\n"
    "SIGTERM stops the server after the requests in flight and unloads the\n"
    "extension, which saves its state; the exit status is 0 only when every\n"
    "save succeeded. A second signal stops at once.\n";

// The log on standard error. Request lines are collected and written
// together at least every 100 ms (or when 32 KiB have gathered), so that
// serving a request costs no system call for its log line; every other line
// is written at once, with what was collected before it.
class Log {
 public:
  void Line(const std::string& text, bool now) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += text;
    pending_ += '\n';
    if (now || pending_.size() >= kFlushBytes) FlushLocked();
  }
  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
  }
  // Flushes every 100 ms until the program ends; runs on its own thread.
  void FlushPeriodically() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Flush();
    }
  }

 private:
  static constexpr std::size_t kFlushBytes = 32u << 10;

  void FlushLocked() {
    std::size_t done = 0;
    while (done < pending_.size()) {
      const ssize_t n = ::write(STDERR_FILENO, pending_.data() + done,
                                pending_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    pending_.clear();
  }

  std::mutex mutex_;
  std::string pending_;  // Lines not yet written; guarded by mutex_.
};

Log& TheLog() {
  static Log* log = new Log();  // Never destroyed: threads may still log.
  return *log;
}

void LogLine(const std::string& text) {
  TheLog().Line(text, true);
}

void LogRequest(const std::string& text) {
  TheLog().Line(text, false);
}

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "corvane-httpd: %s\n", message.c_str());
  std::fprintf(stderr, kUsage, kSessionUsage);
  std::exit(2);
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
      {"--port", "bad port",
       [&o](const char* value) {
         std::size_t n = 0;
         if (!ParseCount(value, &n) || n > 65535) return false;
         o.port = value;
         return true;
       }},
      {"--root", "bad root", Text(&o.root)},
      {"--extension", "bad extension", Text(&o.extension)},
      {"--max-connections", "bad connection count",
       Count(&o.max_connections, 1, 1u << 20)},
      {"--max-body", "bad body size", Count(&o.max_body, 0, 0xFFFFFFFEu)},
      {"--threads", "bad thread count", Count(&o.threads, 1, 256)},
      {"--drain-seconds", "bad drain time", Count(&o.drain_seconds, 0, 86400)},
      {"--body-timeout", "bad body timeout", Count(&o.body_seconds, 1, 3600)},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, kSessionUsage);
      std::exit(0);
    }
    // The session options (host/session_options.h) come first.
    std::string session_error;
    const int taken =
        TakeSessionOption(argc, argv, &i, &o.sessions, &session_error);
    if (taken < 0) {
      std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
      std::exit(2);
    }
    if (taken > 0) continue;
    const OptionRule* rule = nullptr;
    for (const OptionRule& s : rules)
      if (arg == s.name) rule = &s;
    if (rule == nullptr) UsageError("unknown option " + arg);
    if (i + 1 >= argc) UsageError(arg + " needs a value");
    const char* value = argv[++i];
    if (!rule->apply(value)) {
      std::fprintf(stderr, "corvane-httpd: %s %s\n", rule->bad, value);
      std::exit(2);
    }
  }
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

  // SIGINT and SIGTERM are taken by one thread through sigwait; every other
  // thread, started later, inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
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
  std::string session_error;
  if (!ApplySessionOptions(library, options.sessions, &session_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
    ::dlclose(library);
    return 1;
  }

  std::string shown;
  uint16_t port = 0;
  const int listen_fd =
      OpenListener(options.listen, options.port, &shown, &port);
  if (listen_fd < 0) {
    ::dlclose(library);
    return 1;
  }

  LogLine("corvane-httpd listening on http://" + shown + ":" +
          std::to_string(port) + "/");

  HostConfig config;
  config.root = real_root;
  config.server_name = options.listen;
  config.server_port = port;
  config.max_body = options.max_body;
  config.body_timeout_ms = static_cast<int>(options.body_seconds * 1000);
  config.extension = proc;
  config.log = LogRequest;
  ServerOptions server_options;
  server_options.max_connections = options.max_connections;
  server_options.io_threads = options.threads;
  server_options.active_workers = UsableCores();
  auto server = std::make_unique<Server>(config, server_options, listen_fd);
  server->Start();
  std::thread([] { TheLog().FlushPeriodically(); }).detach();

  // The first signal starts the stop; a second one ends the program at
  // once, without saving.
  std::promise<void> first_signal;
  std::thread([&signals, &first_signal] {
    int sig = 0;
    sigwait(&signals, &sig);
    LogLine(std::string("corvane-httpd: ") +
            (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
    first_signal.set_value();
    sigwait(&signals, &sig);
    LogLine(std::string("corvane-httpd: ") +
            (sig == SIGINT ? "SIGINT" : "SIGTERM") +
            " again, stopping at once without saving");
    ::_exit(1);  // LogLine wrote everything collected.
  }).detach();
  first_signal.get_future().wait();

  server->Stop();
  const std::size_t running = server->Drain(
      std::chrono::steady_clock::now() +
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
    // threads still inside it.
    LogLine("corvane-httpd: stopped without unloading; not every brain was "
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
