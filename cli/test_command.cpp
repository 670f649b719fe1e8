// `corvane test`: conversation tests. A test file holds tests, each a
// conversation with a fresh brain: lines "> INPUT" are said to the bot,
// the line after one, "< REPLY" (exact) or "<~ REGEX" (the reply contains a
// match), is what the bot must answer. "== NAME" begins the next test;
// lines that begin with "#" and blank lines are comments. With --update
// the actual replies are written back in place of the expected ones.
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/chat_session.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/coverage.h"
#include "cli/options.h"
#include "cli/trace_format.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"

namespace corvane {

const char kTestUsage[] =
    "Usage: corvane test [--seed N] [--update] FILE.clf TESTFILE...\n"
    "       corvane test --coverage[=json] FILE.clf TESTFILE...\n"
    "\n"
    "Runs the conversation tests of every TESTFILE against the knowledge\n"
    "base FILE.clf. A test file holds these lines:\n"
    "  == NAME     begins a test; every test talks to a fresh brain\n"
    "  > INPUT     says INPUT to the bot\n"
    "  < REPLY     the reply to the input before must be exactly REPLY\n"
    "  <~ REGEX    the reply must contain a match of the regular\n"
    "              expression REGEX (ECMAScript; anchor it with ^ and $)\n"
    "  # ...       a comment; blank lines are ignored too\n"
    "  @now DATE TIME\n"
    "              sets the clock the bot sees (YYYY-MM-DD HH:MM[:SS], or\n"
    "              HH:MM[:SS] for today): before the first '==' for every\n"
    "              test of the file, inside a test from there on (before\n"
    "              its first input: from its start, as its start patterns\n"
    "              run)\n"
    "An input without a reply line is said but not checked. Lines before\n"
    "the first '==' form a test named after the file.\n"
    "\n"
    "Each failure is printed with the test file's name and line, the\n"
    "expected and the actual reply and the trace of the turn; the rest of\n"
    "that test is skipped. The last line is 'N passed, M failed'.\n"
    "\n"
    "Exit status: 0 when every test passed, 1 when one failed, 2 for a\n"
    "usage error or a file that cannot be read or is not a test file.\n"
    "\n"
    "Options:\n"
    "  --seed N    seed every test's brain with N (default 1)\n"
    "  --update    write the actual replies into the test files instead\n"
    "              of comparing them (a '<~' line that matches is kept)\n"
    "  --coverage  after the results, list the patterns, step patterns and\n"
    "              responses of FILE.clf that no test fired, with their\n"
    "              lines, and the share that fired\n"
    "  --coverage=json\n"
    "              the same as one JSON object on the last line\n"
    "  -h, --help  show this text\n";

namespace {

// One line of a test file that says something to the bot.
// A clock an "@now" line sets: a date-time, or a time of today.
struct ClockSetting {
  bool today = false;  // Only the time was given.
  double value = 0;    // The date-time, or the fraction of the day.
};

struct Turn {
  std::size_t input_line = 0;         // Index into TestFile::lines.
  std::optional<ClockSetting> clock;  // "@now" between it and the turn before.
  std::string input;
  std::optional<std::size_t> expect_line;  // Index of its "<" line.
  bool regex = false;
  std::string expected;
};

struct Test {
  std::string name;
  std::size_t line = 0;  // Index of its "==" line (0 for the unnamed one).
  std::vector<Turn> turns;
  std::optional<ClockSetting> clock_at_start;  // "@now" before any input.
};

struct TestFile {
  std::string path;
  std::vector<std::string> lines;  // Without line ends.
  bool crlf = false;               // The first line ended in CR LF.
  bool final_line_end = true;
  std::vector<Test> tests;
  std::optional<ClockSetting> clock;  // "@now" before the first "==".
};

// The clock an "@now" line gives: "YYYY-MM-DD HH:MM[:SS]" or
// "HH:MM[:SS]"; nothing for another text.
std::optional<ClockSetting> ParseClock(std::string_view text) {
  text = TrimView(text);
  ClockSetting clock;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char rest = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day,
                  &hour, &minute, &second, &rest) == 6 ||
      std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d%c", &year, &month, &day,
                  &hour, &minute, &rest) == 5) {
    if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  } else if (std::sscanf(s.c_str(), "%2d:%2d:%2d%c", &hour, &minute, &second,
                         &rest) == 3 ||
             std::sscanf(s.c_str(), "%2d:%2d%c", &hour, &minute, &rest) == 2) {
    clock.today = true;
  } else {
    return std::nullopt;
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
      second > 59)
    return std::nullopt;
  const double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  clock.value = clock.today ? time : DateTimeFromCivil(year, month, day) + time;
  return clock;
}

// The clock the brains of the tests see; the real one when null.
double g_test_clock = 0;
double TestClock() {
  return g_test_clock;
}

void SetTestClock(const ClockSetting* clock) {
  if (clock == nullptr) {
    SetClockForTesting(nullptr);
    return;
  }
  g_test_clock = clock->value;
  if (clock->today) {
    SetClockForTesting(nullptr);
    g_test_clock += std::floor(NowDateTime());
  }
  SetClockForTesting(&TestClock);
}

// The text after a marker: one blank after it is part of the marker.
std::string AfterMarker(std::string_view line, std::size_t marker) {
  std::string_view rest = line.substr(marker);
  if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return std::string(rest);
}

// Reads and parses a test file; on a problem prints it and returns false.
bool ParseTestFile(const std::string& path, TestFile& file) {
  const std::string problem = UnreadableFileProblem(path);
  std::optional<std::string> data;
  if (problem.empty()) data = ReadFileBytes(path);
  if (!data) {
    std::fprintf(
        stderr, "corvane test: %s\n",
        problem.empty() ? ("cannot read " + path).c_str() : problem.c_str());
    return false;
  }
  file.path = path;
  std::size_t pos = 0;
  while (pos < data->size()) {
    std::size_t end = data->find('\n', pos);
    const bool has_end = end != std::string::npos;
    if (!has_end) end = data->size();
    std::string line = data->substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      if (file.lines.empty()) file.crlf = true;
    }
    file.lines.push_back(std::move(line));
    file.final_line_end = has_end;
    pos = end + 1;
  }

  std::optional<ClockSetting> pending_clock;  // For the next input.
  Test unnamed;
  unnamed.name = path;
  file.tests.push_back(std::move(unnamed));
  for (std::size_t i = 0; i < file.lines.size(); ++i) {
    const std::string& line = file.lines[i];
    const std::string_view trimmed = TrimView(line);
    const auto fail = [&](const std::string& what) {
      std::fprintf(stderr, "%s:%zu: %s\n    %s\n", path.c_str(), i + 1,
                   what.c_str(), line.c_str());
      return false;
    };
    if (trimmed.empty() || trimmed.front() == '#') continue;
    if (line.rfind("@now", 0) == 0) {
      const std::optional<ClockSetting> clock =
          ParseClock(std::string_view(line).substr(4));
      if (!clock)
        return fail(
            "@now needs a date and time (YYYY-MM-DD HH:MM[:SS]) or a time "
            "(HH:MM[:SS])");
      if (file.tests.size() == 1 && file.tests.front().turns.empty())
        file.clock = clock;
      else if (file.tests.back().turns.empty())
        file.tests.back().clock_at_start = clock;
      else
        pending_clock = clock;
      continue;
    }
    if (line.rfind("==", 0) == 0) {
      pending_clock.reset();
      Test test;
      test.name = Trim(std::string_view(line).substr(2));
      if (test.name.empty()) test.name = "line " + std::to_string(i + 1);
      test.line = i;
      file.tests.push_back(std::move(test));
    } else if (line.rfind(">", 0) == 0) {
      Turn turn;
      turn.input_line = i;
      turn.input = AfterMarker(line, 1);
      turn.clock = std::exchange(pending_clock, std::nullopt);
      file.tests.back().turns.push_back(std::move(turn));
    } else if (line.rfind("<", 0) == 0) {
      std::vector<Turn>& turns = file.tests.back().turns;
      if (turns.empty()) return fail("a reply line before any input line");
      Turn& turn = turns.back();
      if (turn.expect_line)
        return fail("a second reply line for the input of line " +
                    std::to_string(turn.input_line + 1));
      turn.expect_line = i;
      turn.regex = line.rfind("<~", 0) == 0;
      turn.expected = AfterMarker(line, turn.regex ? 2 : 1);
      if (turn.regex) {
        try {
          std::regex check(turn.expected);
        } catch (const std::regex_error& e) {
          return fail(std::string("not a regular expression: ") + e.what());
        }
      }
    } else {
      return fail(
          "not a test line: begin it with '>', '<', '<~', '==', '@now' or "
          "'#'");
    }
  }
  if (file.tests.front().turns.empty()) file.tests.erase(file.tests.begin());
  return true;
}

bool Matches(const Turn& turn, const std::string& reply) {
  if (!turn.regex) return reply == turn.expected;
  try {
    return std::regex_search(reply, std::regex(turn.expected));
  } catch (const std::exception&) {
    return false;  // A match too complex for the regex library.
  }
}

std::string Indented(const std::string& text, const char* indent) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out += indent + text.substr(pos, end - pos) + "\n";
    pos = end + 1;
  }
  return out;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// Writes the lines back, with the line ends the file had.
bool WriteTestFile(const TestFile& file) {
  const char* eol = file.crlf ? "\r\n" : "\n";
  std::string data;
  for (std::size_t i = 0; i < file.lines.size(); ++i) {
    data += file.lines[i];
    if (i + 1 < file.lines.size() || file.final_line_end) data += eol;
  }
  try {
    AtomicFileWriter writer;
    if (!writer.Open(file.path)) return false;
    writer.Write(data);
    writer.Commit();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int RunTestCommand(int argc, char** argv) {
  uint64_t seed = 1;
  bool update = false;
  TraceFormat coverage_format = TraceFormat::kNone;
  CommandLine args(SubcommandStyle("test", kTestUsage));
  args.Flag("--update", [&] { update = true; });
  args.Attached("--coverage", "text", [&](const std::string& value) {
    coverage_format = TraceFormatValue("--coverage", value);
  });
  args.Value("--seed", true, UsageProblem("--seed needs a number"),
             [&](const std::string& value) { seed = SeedValue(value); });
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  const std::vector<std::string>& paths = args.words();
  if (paths.empty()) return args.Refuse(UsageProblem("no FILE.clf given"));
  if (paths.size() < 2) return args.Refuse(UsageProblem("no TESTFILE given"));
  const std::string kb = paths.front();
  const std::string problem = UnreadableFileProblem(kb);
  if (!problem.empty()) {
    std::fprintf(stderr, "corvane test: %s\n", problem.c_str());
    return 2;
  }
  std::vector<TestFile> files(paths.size() - 1);
  for (std::size_t i = 1; i < paths.size(); ++i)
    if (!ParseTestFile(paths[i], files[i - 1])) return 2;

  // Problems of the knowledge base are shown once, not for every test.
  bool first_load = true;
  const LanguageProblemSink problems = [&](const LanguageProblem& p) {
    if (!first_load) return;
    std::string out = kb;
    if (p.line > 0) out += ":" + std::to_string(p.line);
    out += ": " + p.message + "\n";
    if (p.has_text) out += "    " + p.text + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
  };
  // Operator messages of the conversation (collection files and the like).
  SetOperatorMessageHandler([](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
  });

  // The items of the file, from a reading of its own.
  std::optional<Coverage> coverage;
  if (coverage_format != TraceFormat::kNone) {
    ChatSession reading(kb, [](const LanguageProblem&) {});
    if (reading.Load()) coverage.emplace(reading.brain(), kb);
  }

  long long passed = 0;
  long long failed = 0;
  for (TestFile& file : files) {
    long long updated = 0;
    for (const Test& test : file.tests) {
      ChatSession session(kb, problems);
      session.SetSeed(seed);
      const ClockSetting* clock = test.clock_at_start ? &*test.clock_at_start
                                  : file.clock        ? &*file.clock
                                                      : nullptr;
      SetTestClock(clock);
      TurnTrace start_trace;
      start_trace.record_all_firings = true;
      const bool loaded = session.Load(coverage ? &start_trace : nullptr);
      if (coverage) coverage->Note(start_trace);
      first_load = false;
      if (!loaded) {
        Print(file.path + ":" + std::to_string(test.line + 1) + ": FAIL " +
              test.name + ": the knowledge base could not be read\n");
        ++failed;
        continue;
      }
      bool ok = true;
      for (const Turn& turn : test.turns) {
        if (turn.clock) SetTestClock(&*turn.clock);
        TurnTrace trace;
        trace.record_all_firings = coverage.has_value();
        std::string reply;
        if (turn.input.size() > kMaxInputLine) {
          trace.input = "(an input line longer than 1 MiB, refused)";
        } else {
          reply = OneLine(session.Respond(turn.input, &trace));
        }
        if (coverage) coverage->Note(trace);
        if (update) {
          if (turn.expect_line && Matches(turn, reply)) continue;
          const std::string golden = "< " + reply;
          if (turn.expect_line) {
            file.lines[*turn.expect_line] = golden;
          } else {
            // The new reply line joins its input line after a LF, so the
            // indexes of later lines stay valid; the lines are split again
            // before the file is written.
            file.lines[turn.input_line] += '\n' + golden;
          }
          ++updated;
          continue;
        }
        if (!turn.expect_line || Matches(turn, reply)) continue;
        ok = false;
        Print(file.path + ":" + std::to_string(*turn.expect_line + 1) +
              ": FAIL " + test.name + ": reply to \"" + turn.input + "\"\n" +
              "  expected" + (turn.regex ? " a match of: " : ": ") +
              turn.expected + "\n" + "  actual:   " + reply + "\n" +
              Indented(FormatTraceText(trace), "    "));
        break;
      }
      TurnTrace stop_trace;
      stop_trace.record_all_firings = true;
      session.Stop(coverage ? &stop_trace : nullptr);
      if (coverage) {
        coverage->Note(stop_trace);
        coverage->NoteHits(session.brain());
      }
      if (ok) {
        ++passed;
        Print("ok   " + test.name + " (" + std::to_string(test.turns.size()) +
              " turns)\n");
      } else {
        ++failed;
      }
    }
    if (update && updated > 0) {
      // Lines that received a reply line after them hold it after a LF.
      std::vector<std::string> lines;
      for (const std::string& line : file.lines) {
        std::size_t pos = 0;
        for (;;) {
          const std::size_t end = line.find('\n', pos);
          lines.push_back(line.substr(pos, end - pos));
          if (end == std::string::npos) break;
          pos = end + 1;
        }
      }
      file.lines = std::move(lines);
      if (!WriteTestFile(file)) {
        std::fprintf(stderr, "corvane test: cannot write %s\n",
                     file.path.c_str());
        return 2;
      }
      Print(file.path + ": " + std::to_string(updated) + " replies updated\n");
    }
  }
  SetTestClock(nullptr);
  Print(std::to_string(passed) + " passed, " + std::to_string(failed) +
        " failed\n");
  if (coverage)
    Print(coverage_format == TraceFormat::kJson ? coverage->Json() + "\n"
                                                : coverage->Text());
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

}  // namespace corvane
