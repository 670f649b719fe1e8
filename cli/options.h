// The reading of a command's arguments, shared by every corvane subcommand
// and by corvane-httpd. Options are declared here and parsed by CLI11; this
// layer keeps the rules our commands have always had where CLI11's differ:
//   - arguments are taken from left to right and the first problem wins,
//     whether it is an unknown option, a surplus word or a bad value, and
//     -h/--help counts only when nothing before it was wrong;
//   - a flag never takes a value: "--save=1" is an unknown option, and so
//     are short clusters such as "-hx" or "-ofile";
//   - "--opt=" gives the option an empty value instead of taking the next
//     argument, and the argument after "--opt" is its value whatever it
//     looks like ("--save-to --seed" saves to a file named "--seed");
//   - "-" is a word, and "--" ends the options only where a command says so.
// Refusals are printed in the command's own words with its own usage text;
// CLI11's help flag and formatter are not used.
#ifndef CORVANE_CLI_OPTIONS_H_
#define CORVANE_CLI_OPTIONS_H_

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

// A usage error found while reading the arguments, thrown by an option's
// handler for a bad value. `with_usage`: the usage text follows the message.
class UsageProblem : public std::runtime_error {
 public:
  explicit UsageProblem(const std::string& problem, bool with_usage = true)
      : std::runtime_error(problem), with_usage_(with_usage) {}
  bool with_usage() const { return with_usage_; }

 private:
  bool with_usage_;
};

// How a command words its refusals and what its words may be.
struct CommandStyle {
  // What "--" means when it is not an option's value.
  enum class DoubleDash {
    kEndsOptions,  // the words after it are never options; it is dropped
    kWord,         // the same, but it is kept as a word
    kUnknown,      // an unknown option like any other
  };

  std::string prefix;     // Starts every message: "corvane chat: ".
  std::string usage;      // Printed after a message that wants it.
  std::string usage_gap;  // Between the message and the usage ("\n").
  // When not empty, -h and --help print it on standard output and end the
  // command with status 0.
  std::string help;
  // The message for an unknown option, where "%s" stands for it.
  std::string unknown = "unknown option '%s'";
  DoubleDash double_dash = DoubleDash::kEndsOptions;
  // Unknown options are words instead of problems (commands that only
  // look for -h/--help).
  bool unknown_options_are_words = false;
  // The first word ends the options: it and everything after it are words.
  bool first_word_ends_options = false;
  // More words than this are refused with `too_many_words`, or as unknown
  // options when that is empty.
  std::size_t max_words = std::numeric_limits<std::size_t>::max();
  std::string too_many_words;
};

// A command's options, declared before Parse. The handlers run during
// Parse, in the order of the arguments, and may throw UsageProblem.
// Not thread-safe; Parse runs once.
class CommandLine {
 public:
  explicit CommandLine(CommandStyle style);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // `names` ("-h,--help") ends the command with status 0 after printing
  // `text` on standard output.
  void Exit(const std::string& names, std::string text);

  // A flag that takes no value; every occurrence calls `on`.
  void Flag(const std::string& names, std::function<void()> on);

  // An option followed by its value ("--seed N"), and written "--seed=N"
  // too when `attached`. Without a value after it: `missing` is the problem.
  void Value(const std::string& name, bool attached, UsageProblem missing,
             std::function<void(const std::string&)> on);

  // An option whose value comes only attached ("--trace=json"); alone it
  // means `bare`. "--trace json" is the option and the word "json".
  void Attached(const std::string& name, std::string bare,
                std::function<void(const std::string&)> on);

  // Reads `argc` arguments from `argv`. Empty when the command goes on with
  // words(); otherwise the exit status, after printing the help text or
  // the first problem on standard error.
  std::optional<int> Parse(int argc, char** argv);

  // The words that are not options, in order, after Parse.
  const std::vector<std::string>& words() const { return words_; }

  // Prints `problem` in the command's style; returns the usage-error exit
  // status 2.
  int Refuse(const UsageProblem& problem) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  std::vector<std::string> words_;
};

}  // namespace corvane

#endif  // CORVANE_CLI_OPTIONS_H_
