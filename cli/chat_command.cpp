// `corvane chat`: loads a knowledge base and answers standard input line by
// line. Standard output carries nothing but the replies, one line each, so
// a conversation can be scripted and compared; everything else (problems in
// the file, abandoned turns, the prompt) goes to standard error.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "cli/commands.h"
#include "engine/brain.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"

namespace corvane {

const char kChatUsage[] =
    "Usage: corvane chat [--seed N] [--save] FILE.clf\n"
    "\n"
    "Reads the knowledge base FILE.clf and answers every line of standard\n"
    "input with one line on standard output. Files that the knowledge base\n"
    "names resolve under the directory of FILE.clf. Problems in the file and\n"
    "turns abandoned by an error are reported on standard error; such a turn\n"
    "replies with an empty line. On a terminal, leave with Ctrl-D or /quit.\n"
    "\n"
    "Options:\n"
    "  --seed N    seed the random choices with N (0 to 18446744073709551615)\n"
    "              so that a conversation can be replayed\n"
    "  --save      at the end of input, write the knowledge base back to\n"
    "              FILE.clf, with everything learnt during the conversation\n"
    "  -h, --help  show this text\n";

namespace {

// A decimal number from 0 to 2^64-1, nothing else.
std::optional<uint64_t> ParseSeed(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Reports an error that abandoned an operation of the brain.
void ReportError(const char* kind, const char* message) {
  std::fprintf(stderr, "corvane: %s: %s\n", kind, message);
  std::fflush(stderr);
}

// Runs `step`, reporting what it throws; true when it did not throw.
template <typename Fn>
bool Guarded(Fn&& step) {
  try {
    step();
    return true;
  } catch (const Error& e) {
    ReportError(e.kind_name(), e.what());
  } catch (const std::exception& e) {
    ReportError("Exception", e.what());
  }
  return false;
}

// Reads one line of standard input without its line end (CR LF or LF);
// false at the end of input.
bool ReadInputLine(std::string& line) {
  static char* buffer = nullptr;
  static size_t capacity = 0;
  const ssize_t got = ::getline(&buffer, &capacity, stdin);
  if (got < 0) return false;
  std::size_t n = static_cast<std::size_t>(got);
  if (n > 0 && buffer[n - 1] == '\n') {
    --n;
    if (n > 0 && buffer[n - 1] == '\r') --n;
  }
  line.assign(buffer, n);
  return true;
}

void WriteReply(const std::string& reply) {
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int RunChatCommand(int argc, char** argv) {
  std::optional<uint64_t> seed;
  bool save = false;
  std::string path;
  bool have_path = false;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && !arg.empty() && arg[0] == '-' && arg != "-") {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "-h" || arg == "--help") {
        std::fputs(kChatUsage, stdout);
        return 0;
      } else if (arg == "--save") {
        save = true;
      } else if (arg == "--seed" || arg.rfind("--seed=", 0) == 0) {
        std::string value;
        if (arg == "--seed") {
          if (i + 1 >= argc)
            return UsageError("chat", "--seed needs a number", kChatUsage);
          value = argv[++i];
        } else {
          value = arg.substr(7);
        }
        seed = ParseSeed(value);
        if (!seed)
          return UsageError(
              "chat", "--seed needs a number, not '" + value + "'", kChatUsage);
      } else {
        return UsageError("chat", "unknown option '" + arg + "'", kChatUsage);
      }
      continue;
    }
    if (have_path)
      return UsageError("chat", "more than one FILE.clf given", kChatUsage);
    path = arg;
    have_path = true;
  }
  if (!have_path) return UsageError("chat", "no FILE.clf given", kChatUsage);

  SetOperatorMessageHandler([](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  });

  BrainClass brain;
  if (seed) brain.Seed(*seed);
  brain.SetFileRoot(DirectoryOf(path));
  brain.ProtectFile(path);
  AttachLanguageReader(brain);
  if (!Guarded([&] { LoadLanguageFile(brain, path); })) return 1;
  // What the start patterns say stays pending and leads the first reply,
  // also when a start pattern fails half-way.
  Guarded([&] { brain.Start(); });

  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  std::string line;
  for (;;) {
    if (terminal) {
      std::fputs("> ", stderr);
      std::fflush(stderr);
    }
    if (!ReadInputLine(line)) {
      if (terminal) std::fputc('\n', stderr);
      break;
    }
    if (terminal && TrimView(line) == "/quit") break;
    std::string reply;
    // A failed turn replies with an empty line; what it said stays pending
    // and leads the next reply.
    Guarded([&] { reply = brain.Respond(line); });
    WriteReply(reply);
  }

  Guarded([&] { brain.Stop(); });
  if (save) {
    if (!Guarded([&] { SaveLanguageFile(brain, path); })) return 1;
  }
  return 0;
}

}  // namespace corvane
