// `corvane lsp`: a language server for .clf files, speaking the Language
// Server Protocol (JSON-RPC with Content-Length headers) on standard input
// and output. It keeps the open documents' text (full synchronisation),
// publishes the diagnostics of `corvane check --strict` whenever a document
// opens or changes, and answers definition, references, hover, completion
// and document symbols from a DocumentIndex of the text.
#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/lint.h"
#include "cli/lsp_index.h"
#include "cli/options.h"
#include "engine/a1U2.h"
#include "engine/type_tables.h"
#include "langfile/keywords.h"
#include "text/text_util.h"

namespace corvane {

const char kLspUsage[] =
    "Usage: corvane lsp\n"
    "\n"
    "A language server for Corvane language files: editors start it and\n"
    "talk the Language Server Protocol with it on standard input and\n"
    "output. It reports what 'corvane check --strict' reports while the\n"
    "file is typed, finds the definition and the uses of modes,\n"
    "procedures, steps, states, collections, facts and Name-Object labels,\n"
    "shows what a name is on hover, completes keywords, fragment kinds and\n"
    "response types, and lists the modes, procedures, steps and\n"
    "collections of a file.\n";

namespace {

using nlohmann::json;

// Larger messages are refused: no document of a language file needs them.
constexpr std::size_t kMaxMessage = std::size_t{256} << 20;

// LSP texts are UTF-8; language files are single-byte. Bytes that are not
// UTF-8 are replaced when sent.
std::string Dump(const json& message) {
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Reads one message's body; nothing at the end of input or on a broken
// header.
std::optional<std::string> ReadMessage() {
  std::size_t length = 0;
  bool have_length = false;
  std::string header;
  for (;;) {
    header.clear();
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
      header.push_back(static_cast<char>(c));
    if (c == EOF) return std::nullopt;
    if (!header.empty() && header.back() == '\r') header.pop_back();
    if (header.empty()) break;
    constexpr std::string_view kLength = "content-length:";
    if (header.size() > kLength.size() &&
        UpperAscii(header.substr(0, kLength.size())) ==
            UpperAscii(std::string(kLength))) {
      const std::string value = Trim(header.substr(kLength.size()));
      if (value.empty() || value.size() > 12 ||
          value.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
      length = std::stoull(value);
      have_length = true;
    }
  }
  if (!have_length || length > kMaxMessage) return std::nullopt;
  std::string body(length, '\0');
  if (std::fread(body.data(), 1, length, stdin) != length) return std::nullopt;
  return body;
}

void Send(const json& message) {
  const std::string body = Dump(message);
  std::printf("Content-Length: %zu\r\n\r\n", body.size());
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
}

json Range(const TextRange& r) {
  return {{"start", {{"line", r.line}, {"character", r.begin}}},
          {"end", {{"line", r.line}, {"character", r.end}}}};
}

json Location(const std::string& uri, const TextRange& r) {
  return {{"uri", uri}, {"range", Range(r)}};
}

// What completes at a place: keywords at the start of a line, fragment
// kinds in a fragment line's first field, response types after a
// response's or task's text; all three elsewhere.
json Completions(const std::string& line, int64_t column) {
  const std::string before =
      line.substr(0, static_cast<std::size_t>(std::clamp<int64_t>(
                         column, 0, static_cast<int64_t>(line.size()))));
  const std::string_view head = TrimLeftView(before);
  const std::string_view keyword = LanguageKeywordOf(head);
  bool kinds = false, types = false;
  if (keyword == "FRAGMENT" && head.size() > keyword.size()) {
    kinds = head.find(',') == std::string_view::npos;
  } else if (keyword == "RESPONSE" || keyword == "TASK") {
    // After the text's closing brace and its comma, before the next comma.
    const std::size_t close = head.find('}');
    const std::size_t comma =
        close == std::string_view::npos ? close : head.find(',', close);
    types = comma != std::string_view::npos &&
            head.find(',', comma + 1) == std::string_view::npos &&
            head.find('{', comma) == std::string_view::npos;
  }
  // A word alone at the start of a line is a keyword being typed.
  const bool keywords =
      !kinds && !types && head.find_first_of(" \t{,") == std::string_view::npos;
  json items = json::array();
  if (keywords)
    for (std::size_t k = 1; k < kLanguageKeywords.size(); ++k) {
      if (kLanguageKeywords[k] == "AUTO-NAME") continue;
      items.push_back({{"label", KeywordSpelling(kLanguageKeywords[k])},
                       {"kind", 14},  // Keyword
                       {"detail", "keyword"}});
    }
  if (kinds)
    for (int code = 0; code < 18; ++code)
      items.push_back({{"label", BrainClass::RelationName(code)},
                       {"kind", 20},  // EnumMember
                       {"detail", "fragment kind"}});
  if (types)
    for (int code = 0; code < 39; ++code)
      items.push_back({{"label", BrainClass::ResponseTypeName(code)},
                       {"kind", 20},
                       {"detail", "response type"}});
  return items;
}

json Symbol(const OutlineItem& item, const std::vector<std::string>& lines) {
  static const int kKinds[] = {3, 5, 6, 7, 18, 13, 14};  // Namespace, Class...
  const int64_t last = std::max(item.last_line, item.first_line);
  const int64_t last_length =
      last < static_cast<int64_t>(lines.size())
          ? static_cast<int64_t>(lines[static_cast<std::size_t>(last)].size())
          : 0;
  json symbol = {
      {"name", item.name.empty() ? std::string("(no name)") : item.name},
      {"detail", SymbolKindName(item.kind)},
      {"kind", kKinds[static_cast<int>(item.kind)]},
      {"range",
       {{"start", {{"line", item.first_line}, {"character", 0}}},
        {"end", {{"line", last}, {"character", last_length}}}}},
      {"selectionRange", Range(item.name_range)}};
  json children = json::array();
  for (const OutlineItem& child : item.children)
    children.push_back(Symbol(child, lines));
  symbol["children"] = std::move(children);
  return symbol;
}

class Server {
 public:
  // Handles one message; false once "exit" came.
  bool Handle(const json& message) {
    const std::string method = message.value("method", std::string());
    const bool is_request = message.contains("id");
    const json params = message.value("params", json::object());
    if (method == "exit") {
      exit_status_ = shut_down_ ? 0 : 1;
      return false;
    }
    if (!is_request) {
      try {
        Notification(method, params);
      } catch (const std::exception&) {
        // A notification has no answer; a malformed one is ignored.
      }
      return true;
    }
    const json& id = message["id"];
    try {
      if (shut_down_) {
        Error(id, -32600, "the server was shut down");
      } else if (method == "initialize") {
        Reply(id, {{"capabilities",
                    {{"textDocumentSync", {{"openClose", true}, {"change", 1}}},
                     {"definitionProvider", true},
                     {"referencesProvider", true},
                     {"hoverProvider", true},
                     {"completionProvider",
                      {{"triggerCharacters", json::array({",", " "})}}},
                     {"documentSymbolProvider", true}}},
                   {"serverInfo", {{"name", "corvane"}, {"version", "8.0"}}}});
      } else if (method == "shutdown") {
        shut_down_ = true;
        Reply(id, nullptr);
      } else if (method == "textDocument/definition") {
        Reply(id, Locations(params, /*definitions_only=*/true));
      } else if (method == "textDocument/references") {
        Reply(id, Locations(params, false));
      } else if (method == "textDocument/hover") {
        Reply(id, HoverAt(params));
      } else if (method == "textDocument/completion") {
        const Document* doc = Find(params);
        const int64_t line = params["position"].value("line", int64_t{0});
        const int64_t column =
            params["position"].value("character", int64_t{0});
        const std::string text =
            doc != nullptr && line >= 0 &&
                    line < static_cast<int64_t>(doc->index.lines().size())
                ? doc->index.lines()[static_cast<std::size_t>(line)]
                : std::string();
        Reply(id, Completions(text, column));
      } else if (method == "textDocument/documentSymbol") {
        json symbols = json::array();
        if (const Document* doc = Find(params))
          for (const OutlineItem& item : doc->index.outline())
            symbols.push_back(Symbol(item, doc->index.lines()));
        Reply(id, symbols);
      } else {
        Error(id, -32601, "method not found: " + method);
      }
    } catch (const std::exception& e) {
      Error(id, -32602, std::string("invalid params: ") + e.what());
    }
    return true;
  }

  int exit_status() const { return exit_status_; }

 private:
  struct Document {
    std::string text;
    DocumentIndex index;
  };

  void Reply(const json& id, json result) {
    Send({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
  }
  void Error(const json& id, int code, const std::string& message) {
    Send({{"jsonrpc", "2.0"},
          {"id", id},
          {"error", {{"code", code}, {"message", message}}}});
  }

  void Notification(const std::string& method, const json& params) {
    if (method == "textDocument/didOpen") {
      const json& doc = params.at("textDocument");
      Open(doc.at("uri").get<std::string>(), doc.at("text").get<std::string>());
    } else if (method == "textDocument/didChange") {
      const std::string uri = params.at("textDocument").at("uri");
      const json& changes = params.at("contentChanges");
      // Full synchronisation: the last change holds the whole text.
      if (!changes.empty() && changes.back().contains("text"))
        Open(uri, changes.back().at("text").get<std::string>());
    } else if (method == "textDocument/didClose") {
      const std::string uri = params.at("textDocument").at("uri");
      documents_.erase(uri);
      Publish(uri, {});
    }
  }

  void Open(const std::string& uri, const std::string& text) {
    documents_.erase(uri);
    documents_.emplace(uri, Document{text, DocumentIndex(text)});
    Publish(uri, DocumentIndex::Check(text));
  }

  void Publish(const std::string& uri, const std::vector<Diagnostic>& list) {
    json diagnostics = json::array();
    for (const Diagnostic& d : list)
      diagnostics.push_back({{"range", Range(d.range)},
                             {"severity", d.error ? 1 : 2},
                             {"source", "corvane"},
                             {"message", d.message}});
    Send({{"jsonrpc", "2.0"},
          {"method", "textDocument/publishDiagnostics"},
          {"params", {{"uri", uri}, {"diagnostics", diagnostics}}}});
  }

  const Document* Find(const json& params) const {
    const auto it = documents_.find(params.at("textDocument").at("uri"));
    return it == documents_.end() ? nullptr : &it->second;
  }

  const SymbolUse* UseAt(const json& params, const Document** doc) const {
    *doc = Find(params);
    if (*doc == nullptr) return nullptr;
    return (*doc)->index.UseAt(params.at("position").at("line"),
                               params.at("position").at("character"));
  }

  json Locations(const json& params, bool definitions_only) const {
    const Document* doc = nullptr;
    const SymbolUse* use = UseAt(params, &doc);
    json out = json::array();
    if (use == nullptr) return out;
    const std::string uri = params.at("textDocument").at("uri");
    const bool declaration =
        definitions_only || params.value("context", json::object())
                                .value("includeDeclaration", true);
    for (const SymbolUse* u : doc->index.UsesOf(*use)) {
      if (definitions_only ? !u->definition : (!declaration && u->definition))
        continue;
      out.push_back(Location(uri, u->range));
    }
    return out;
  }

  json HoverAt(const json& params) const {
    const Document* doc = nullptr;
    const SymbolUse* use = UseAt(params, &doc);
    if (use == nullptr) return nullptr;
    return {
        {"contents", {{"kind", "markdown"}, {"value", doc->index.Hover(*use)}}},
        {"range", Range(use->range)}};
  }

  std::map<std::string, Document> documents_;  // By URI.
  bool shut_down_ = false;
  int exit_status_ = 1;  // Input that ends without "exit" is an error.
};

}  // namespace

int RunLspCommand(int argc, char** argv) {
  CommandStyle style = SubcommandStyle("lsp", kLspUsage);
  style.unknown = "unknown argument '%s'";
  style.double_dash = CommandStyle::DoubleDash::kUnknown;
  style.max_words = 0;
  CommandLine args(std::move(style));
  // Editors pass --stdio; standard input and output is the only way.
  args.Flag("--stdio", [] {});
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  Server server;
  for (;;) {
    const std::optional<std::string> body = ReadMessage();
    if (!body) return server.exit_status();
    const json message = json::parse(*body, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
      Send({{"jsonrpc", "2.0"},
            {"id", nullptr},
            {"error", {{"code", -32700}, {"message", "not JSON"}}}});
      continue;
    }
    if (!server.Handle(message)) return server.exit_status();
  }
}

}  // namespace corvane
