// `corvane sessions STORE list|show ID|export|unanswered`: the
// conversations a host kept in its store, for the author who improves the
// bot and the operator who looks after it. Reads only: a missing SQLite
// store is not made, and nothing is expired.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "store/conversation_store.h"
#include "store/transcripts.h"

namespace corvane {
namespace {

constexpr char kUsage[] =
    "Usage: corvane sessions [--prefix PREFIX] STORE COMMAND\n"
    "\n"
    "STORE is sqlite:PATH or redis://HOST:PORT[/DB]. Commands:\n"
    "  list        one line per conversation: its id, turns, first and\n"
    "              last time (UTC) and knowledge version, tab-separated\n"
    "  show ID     the transcript of conversation ID\n"
    "  export      every turn of every conversation as JSON lines\n"
    "  unanswered  the inputs that only a fallback answered, counted, the\n"
    "              most frequent first (case and blanks do not count)\n"
    "\n"
    "Options:\n"
    "  --prefix PREFIX  the key prefix of a Redis store (corvane:)\n"
    "\n"
    "Exit status: 0 success, 1 a store that cannot be read or an unknown\n"
    "conversation, 2 a usage error.\n";

// 2024-06-11T10:22:05.123Z
std::string TimeText(StoreTime ms) {
  const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  const auto millis = static_cast<int>(ms - seconds * 1000);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::to_string(ms) + "ms";
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, millis);
  return text;
}

// The length of the well-formed UTF-8 sequence at the start of `s` (not
// empty), or 0.
std::size_t Utf8Length(std::string_view s) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(s[i]);
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  const std::size_t n = lead >= 0xc2 && lead <= 0xdf   ? 2
                        : lead >= 0xe0 && lead <= 0xef ? 3
                        : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                       : 0;
  if (n == 0 || s.size() < n) return 0;
  uint32_t code = lead & (0x7fu >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3fu);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
    return 0;
  return n;
}

// Visitors typed these texts: control characters (and the C1 controls a
// terminal may obey) are shown as \xNN, as are bytes that are not UTF-8,
// so nothing they wrote can move the cursor or retitle the window of
// whoever reads the transcript. A backslash is doubled.
std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto escape = [&](unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  };
  while (!text.empty()) {
    const std::size_t n = Utf8Length(text);
    const auto c = static_cast<unsigned char>(text[0]);
    const bool c1 =
        n == 2 && c == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0;
    if (n == 0 || c1 || c < 0x20 || c == 0x7f) {
      escape(c);
      text.remove_prefix(1);
    } else if (c == '\\') {
      out += "\\\\";
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  return out;
}

std::string Json(const nlohmann::ordered_json& value) {
  // Texts that are not UTF-8 keep their other characters; the bad bytes
  // become U+FFFD.
  return value.dump(-1, ' ', false,
                    nlohmann::ordered_json::error_handler_t::replace);
}

int List(ConversationStore& store) {
  std::string cursor;
  do {
    const ConversationPage page = store.List(cursor, 500);
    for (const ConversationInfo& c : page.conversations)
      std::cout << Printable(c.id) << '\t' << c.turns << '\t'
                << TimeText(c.created) << '\t' << TimeText(c.updated) << '\t'
                << Printable(c.knowledge_version) << '\n';
    cursor = page.next;
  } while (!cursor.empty());
  return 0;
}

int Show(ConversationStore& store, const std::string& id) {
  const std::optional<StoredConversation> c = store.Load(id);
  if (!c) {
    std::cerr << "corvane sessions: no conversation " << Printable(id) << " in "
              << store.url() << "\n";
    return 1;
  }
  const ConversationInfo& info = c->info;
  std::cout << "conversation " << info.id << "\n"
            << "knowledge " << Printable(info.knowledge_version) << ", "
            << info.turns << (info.turns == 1 ? " turn" : " turns")
            << ", created " << TimeText(info.created) << ", last "
            << TimeText(info.updated) << "\n";
  uint64_t first = 1;
  for (;;) {
    const auto turns = store.Transcript(id, first, 500);
    if (!turns) break;
    for (const TurnEntry& e : *turns) {
      std::cout << "\n#" << e.turn << ' ' << TimeText(e.record.time);
      if (e.record.fallback) std::cout << " fallback";
      if (e.record.failed) std::cout << " failed";
      if (e.record.knowledge_version != info.knowledge_version)
        std::cout << " knowledge " << Printable(e.record.knowledge_version);
      std::cout << "\n> " << Printable(e.record.input) << "\n< "
                << Printable(e.record.reply) << "\n";
    }
    if (turns->size() < 500) break;
    first = turns->back().turn + 1;
  }
  return 0;
}

int Export(ConversationStore& store) {
  ForEachTurn(store, [](const ConversationInfo& info, const TurnEntry& e) {
    const nlohmann::ordered_json line = {
        {"conversation", info.id},
        {"turn", e.turn},
        {"time", TimeText(e.record.time)},
        {"input", e.record.input},
        {"reply", e.record.reply},
        {"failed", e.record.failed},
        {"fallback", e.record.fallback},
        {"knowledge", e.record.knowledge_version}};
    std::cout << Json(line) << '\n';
  });
  return 0;
}

int Unanswered(ConversationStore& store) {
  for (const UnansweredInput& u : CountUnanswered(store)) {
    char count[24];
    std::snprintf(count, sizeof count, "%7llu",
                  static_cast<unsigned long long>(u.count));
    std::cout << count << "  " << Printable(u.input) << '\n';
  }
  return 0;
}

}  // namespace

int RunSessionsCommand(int argc, char** argv) {
  StoreOptions options;
  // Reading never deletes: what retention would drop is still shown.
  options.retain_days = 0;
  options.create = false;
  CommandStyle style = SubcommandStyle("sessions", kUsage);
  style.unknown = "unknown option %s";
  style.double_dash = CommandStyle::DoubleDash::kUnknown;
  CommandLine args(std::move(style));
  args.Value("--prefix", false, UsageProblem("--prefix needs a value"),
             [&](const std::string& value) { options.key_prefix = value; });
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  const auto usage = [&](const std::string& problem) {
    return args.Refuse(UsageProblem(problem));
  };
  const std::vector<std::string>& words = args.words();
  if (words.size() < 2) return usage("give a STORE and a COMMAND");
  const std::string& command = words[1];
  const std::size_t wanted = command == "show" ? 3 : 2;
  if (command != "list" && command != "show" && command != "export" &&
      command != "unanswered")
    return usage("unknown command '" + command + "'");
  if (words.size() != wanted)
    return usage(command == "show" ? "show takes one conversation ID"
                                   : command + " takes no more arguments");
  try {
    ParseStoreUrl(words[0]);
  } catch (const StoreConfigError& e) {
    return usage(e.what());
  }
  try {
    const std::unique_ptr<ConversationStore> store =
        OpenStore(words[0], options);
    if (command == "list") return List(*store);
    if (command == "show") return Show(*store, words[2]);
    if (command == "export") return Export(*store);
    return Unanswered(*store);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "corvane sessions: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace corvane
