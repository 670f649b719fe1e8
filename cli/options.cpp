#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <utility>

namespace corvane {
namespace {

// Put before an argument that CLI11 must not read as an option: it then
// sees a word and leaves it to us. An argument that begins with the marker
// itself gets one more, so that dropping one always gives it back.
constexpr char kHidden = '\x1f';

std::string Unhide(const std::string& arg) {
  return !arg.empty() && arg[0] == kHidden ? arg.substr(1) : arg;
}

// Thrown by an Exit option's handler: print `text`, end with status 0.
struct ExitRequest {
  const std::string* text;
};

enum class Kind { kExit, kFlag, kValue, kAttached };

struct Declaration {
  Kind kind;
  std::vector<std::string> names;  // "-h", "--help"
  bool attached = false;           // "--name=VALUE" is taken
  UsageProblem missing{""};        // kValue without its value
  std::function<void(const std::string&)> on;
  std::string text;  // kExit: what it prints; kAttached: the bare value.
};

std::vector<std::string> SplitNames(const std::string& names) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = names.find(',', start);
    out.push_back(names.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

// CLI11's application, with the arguments it did not take (unknown
// options and words) readable as they come, in order.
class ArgumentApp : public CLI::App {
 public:
  const missing_t& skipped() const { return missing_; }
};

}  // namespace

class CommandLine::Impl {
 public:
  Impl(CommandStyle style, std::vector<std::string>* words)
      : style_(std::move(style)), words_(words) {
    app_.set_help_flag();  // -h and --help are declared like any option
    app_.allow_extras();   // kept in order and judged by Drain
    if (style_.first_word_ends_options) app_.prefix_command();
  }

  Declaration* Add(Kind kind, const std::string& names) {
    declarations_.push_back(std::make_unique<Declaration>());
    Declaration* decl = declarations_.back().get();
    decl->kind = kind;
    decl->names = SplitNames(names);
    return decl;
  }

  void Register(Declaration* decl, const std::string& names) {
    switch (decl->kind) {
      case Kind::kExit:
        app_.add_flag_callback(names,
                               [this, decl] {
                                 Drain();
                                 throw ExitRequest{&decl->text};
                               })
            ->trigger_on_parse();
        break;
      case Kind::kFlag:
        app_.add_flag_callback(names,
                               [this, decl] {
                                 Drain();
                                 decl->on("");
                               })
            ->trigger_on_parse();
        break;
      case Kind::kValue:
        app_.add_option_function<std::string>(
                names,
                [this, decl](const std::string& value) {
                  Drain();
                  decl->on(Unhide(value));
                })
            ->trigger_on_parse();
        break;
      case Kind::kAttached:
        // A flag whose default value is what the bare option means; an
        // attached value replaces it.
        app_.add_flag(names + "{" + decl->text + "}")
            ->trigger_on_parse()
            ->each([this, decl](const std::string& value) {
              Drain();
              decl->on(value);
            });
        break;
    }
  }

  // `arg` as CLI11 is to see it: hidden when CLI11 would read it otherwise
  // than our commands do.
  std::string Hide(const std::string& arg) const {
    if (!arg.empty() && arg[0] == kHidden) return kHidden + arg;
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      if (eq == std::string::npos) return arg;
      const Declaration* decl = Find(arg.substr(0, eq));
      if (decl == nullptr) return arg;  // unknown: CLI11 keeps it whole
      const std::string value = arg.substr(eq + 1);
      // CLI11 would give a flag the value, take the next argument for an
      // empty one, and read "{}" as no value at all.
      if (!TakesAttached(*decl) || value.empty() || value == "{}")
        return kHidden + arg;
      return arg;
    }
    // "-hx" or "-ofile": CLI11 would split it into -h and -x, or -o file.
    if (arg.size() > 2 && arg[0] == '-' && Find(arg.substr(0, 2)) != nullptr)
      return kHidden + arg;
    return arg;
  }

  // Judges the arguments CLI11 set aside since the last call, in order:
  // every handler calls it first, so a problem in an earlier argument is
  // reported before a later option is used.
  void Drain() {
    const auto& skipped = app_.skipped();
    for (; drained_ < skipped.size(); ++drained_) {
      const std::string arg = Unhide(skipped[drained_].second);
      if (!only_words_) {
        if (arg == "--") {
          switch (style_.double_dash) {
            case CommandStyle::DoubleDash::kEndsOptions:
              only_words_ = true;
              continue;
            case CommandStyle::DoubleDash::kWord:
              only_words_ = true;
              AddWord(arg);
              continue;
            case CommandStyle::DoubleDash::kUnknown:
              throw Unknown(arg);
          }
        }
        if (arg.size() > 1 && arg[0] == '-' &&
            !style_.unknown_options_are_words) {
          if (TakeHiddenAttached(arg)) continue;
          throw Unknown(arg);
        }
      }
      AddWord(arg);
      if (style_.first_word_ends_options) only_words_ = true;
    }
  }

  // After CLI11 ran out of arguments for an option: the option is the last
  // argument.
  UsageProblem MissingValue(const std::string& last) const {
    const Declaration* decl = Find(last);
    if (decl != nullptr && decl->kind == Kind::kValue) return decl->missing;
    return Unknown(last);
  }

  const CommandStyle& style() const { return style_; }
  ArgumentApp& app() { return app_; }

 private:
  static bool TakesAttached(const Declaration& decl) {
    return (decl.kind == Kind::kValue && decl.attached) ||
           decl.kind == Kind::kAttached;
  }

  const Declaration* Find(const std::string& name) const {
    for (const auto& decl : declarations_)
      for (const std::string& n : decl->names)
        if (n == name) return decl.get();
    return nullptr;
  }

  // "--name=VALUE" hidden from CLI11 for an option that takes attached
  // values (an empty one, or "{}"): handed to the option here.
  bool TakeHiddenAttached(const std::string& arg) {
    const std::size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || eq == std::string::npos) return false;
    const Declaration* decl = Find(arg.substr(0, eq));
    if (decl == nullptr || !TakesAttached(*decl)) return false;
    decl->on(arg.substr(eq + 1));
    return true;
  }

  void AddWord(const std::string& arg) {
    if (words_->size() >= style_.max_words)
      throw style_.too_many_words.empty() ? Unknown(arg)
                                          : UsageProblem(style_.too_many_words);
    words_->push_back(arg);
  }

  UsageProblem Unknown(const std::string& arg) const {
    std::string text = style_.unknown;
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, arg);
    return UsageProblem(text);
  }

  CommandStyle style_;
  std::vector<std::string>* words_;
  std::vector<std::unique_ptr<Declaration>>
      declarations_;  // Addresses stable for app_.
  ArgumentApp app_;
  std::size_t drained_ = 0;  // Arguments of app_.skipped() judged so far.
  bool only_words_ = false;  // After "--", or after the first word.
};

CommandLine::CommandLine(CommandStyle style)
    : impl_(std::make_unique<Impl>(std::move(style), &words_)) {
  if (!impl_->style().help.empty()) Exit("-h,--help", impl_->style().help);
}

CommandLine::~CommandLine() = default;

void CommandLine::Exit(const std::string& names, std::string text) {
  Declaration* decl = impl_->Add(Kind::kExit, names);
  decl->text = std::move(text);
  impl_->Register(decl, names);
}

void CommandLine::Flag(const std::string& names, std::function<void()> on) {
  Declaration* decl = impl_->Add(Kind::kFlag, names);
  decl->on = [on = std::move(on)](const std::string&) { on(); };
  impl_->Register(decl, names);
}

void CommandLine::Value(const std::string& name, bool attached,
                        UsageProblem missing,
                        std::function<void(const std::string&)> on) {
  Declaration* decl = impl_->Add(Kind::kValue, name);
  decl->attached = attached;
  decl->missing = std::move(missing);
  decl->on = std::move(on);
  impl_->Register(decl, name);
}

void CommandLine::Attached(const std::string& name, std::string bare,
                           std::function<void(const std::string&)> on) {
  Declaration* decl = impl_->Add(Kind::kAttached, name);
  decl->text = std::move(bare);
  decl->on = std::move(on);
  impl_->Register(decl, name);
}

std::optional<int> CommandLine::Parse(int argc, char** argv) {
  // CLI11 takes the arguments last first.
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = argc - 1; i >= 0; --i) args.push_back(impl_->Hide(argv[i]));
  try {
    try {
      impl_->app().parse(std::move(args));
      impl_->Drain();
    } catch (const CLI::ArgumentMismatch&) {
      // An option at the end without its value; an earlier problem wins.
      impl_->Drain();
      throw impl_->MissingValue(argv[argc - 1]);
    }
  } catch (const ExitRequest& exit) {
    std::fputs(exit.text->c_str(), stdout);
    std::fflush(stdout);
    return 0;
  } catch (const UsageProblem& problem) {
    return Refuse(problem);
  } catch (const CLI::ParseError& error) {
    return Refuse(UsageProblem(error.what()));
  }
  return std::nullopt;
}

int CommandLine::Refuse(const UsageProblem& problem) const {
  const CommandStyle& style = impl_->style();
  std::string text = style.prefix + problem.what() + "\n";
  if (problem.with_usage()) text += style.usage_gap + style.usage;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  return 2;
}

}  // namespace corvane
