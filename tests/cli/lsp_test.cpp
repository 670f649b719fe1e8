// A scripted editor that drives a real `corvane lsp` over its standard
// input and output: initialize, open a document, read its diagnostics,
// ask for definitions, references, hover, completion and symbols, change
// the text, and shut down.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using nlohmann::json;

// One `corvane lsp` process and the client's end of its pipes.
class LspClient {
 public:
  LspClient() {
    int to_server[2], from_server[2];
    EXPECT_EQ(pipe2(to_server, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(from_server, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to_server[0], STDIN_FILENO);
      dup2(from_server[1], STDOUT_FILENO);
      execl(cli_test::kCorvane.c_str(), "corvane", "lsp", "--stdio",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to_server[0]);
    close(from_server[1]);
    in_ = to_server[1];
    out_ = from_server[0];
  }
  ~LspClient() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }

  void Send(const json& message) {
    const std::string body = message.dump();
    const std::string data =
        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(write(in_, data.data(), data.size()),
              static_cast<ssize_t>(data.size()));
  }
  void Request(int id, const std::string& method, json params) {
    Send({{"jsonrpc", "2.0"},
          {"id", id},
          {"method", method},
          {"params", std::move(params)}});
  }
  void Notify(const std::string& method, json params) {
    Send({{"jsonrpc", "2.0"},
          {"method", method},
          {"params", std::move(params)}});
  }

  // The next message from the server; null after 10 s without one.
  json Read() {
    std::string header;
    while (header.size() < 4 ||
           header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
      char c;
      if (!ReadByte(c)) return nullptr;
      header.push_back(c);
    }
    const std::size_t colon = header.find(':');
    std::size_t length = std::stoul(header.substr(colon + 1));
    std::string body;
    while (body.size() < length) {
      char c;
      if (!ReadByte(c)) return nullptr;
      body.push_back(c);
    }
    return json::parse(body);
  }
  // The answer to request `id`, skipping notifications before it.
  json Answer(int id) {
    for (int i = 0; i < 10; ++i) {
      json m = Read();
      if (m.is_null()) return m;
      if (m.contains("id") && m["id"] == id) return m;
    }
    return nullptr;
  }

  void CloseInput() {
    close(in_);
    in_ = -1;
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool ReadByte(char& c) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    return read(out_, &c, 1) == 1;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool reaped_ = false;
};

const char kUri[] = "file:///work/bistro.clf";

const std::vector<std::string> kBistro = {
    "State {Booked}",                                           // 0
    "For-Mode",                                                 // 1
    "Name-Object {Greet}",                                      // 2
    "  Fragment CUSTOM,10,0, {hello}, {}, {}",                  // 3
    "  Response {Hi ^Fact{Guest}.},Just Text,{},{}",            // 4
    "  For-State {Booked}",                                     // 5
    "    Response {Welcome back.},Just Text,{},{}",             // 6
    "For-Mode",                                                 // 7
    "  Fragment CUSTOM,10,0, {menu}, {}, {}",                   // 8
    "  Response {To the menu.},Mode Change,{Menu},{}",          // 9
    "For-Mode",                                                 // 10
    "  Fragment CUSTOM,10,0, {book}, {}, {}",                   // 11
    "  Response {},Start Proc,{Booking},{}",                    // 12
    "Mode {Menu}",                                              // 13
    "For-Mode",                                                 // 14
    "  Fragment In Collection,10,0, {}, {Dishes}, {}",          // 15
    "  Response {The ^Member{Dishes}.},Do Response For,{},{}",  // 16
    "Procedure {Booking}",                                      // 17
    "Step {AskDay},{Which day?}",                               // 18
    "  For-Step",                                               // 19
    "    Response {},Goto Step,{Confirm},{}",                   // 20
    "Step {Confirm},{Sure?}",                                   // 21
    "  For-Step",                                               // 22
    "    Response {Done.},State Change,{Booked},{}",            // 23
    "Fact {Guest} = {Anna}",                                    // 24
    "Start-Collection {Dishes}",                                // 25
    "soup",                                                     // 26
    "End-Collection",                                           // 27
};

std::string Text(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

json At(int line, int character) {
  return {{"textDocument", {{"uri", kUri}}},
          {"position", {{"line", line}, {"character", character}}}};
}

// The lines of the locations in an answer, in order.
std::vector<int> LinesOf(const json& answer) {
  std::vector<int> lines;
  for (const json& location : answer["result"])
    lines.push_back(location["range"]["start"]["line"]);
  return lines;
}

TEST(LanguageServerTest, ASessionOverStandardInputAndOutput) {
  LspClient lsp;
  lsp.Request(1, "initialize",
              {{"processId", nullptr}, {"capabilities", json::object()}});
  const json init = lsp.Answer(1);
  ASSERT_FALSE(init.is_null());
  const json& caps = init["result"]["capabilities"];
  EXPECT_EQ(caps["textDocumentSync"]["change"], 1);
  for (const char* c : {"definitionProvider", "referencesProvider",
                        "hoverProvider", "documentSymbolProvider"})
    EXPECT_EQ(caps[c], true) << c;
  EXPECT_TRUE(caps.contains("completionProvider"));
  lsp.Notify("initialized", json::object());

  // A misspelt keyword and a pattern without a response, as check
  // --strict reports them.
  std::vector<std::string> lines = kBistro;
  lines.push_back("For-Mdoe");                                 // 28
  lines.push_back("For-Mode");                                 // 29
  lines.push_back("  Fragment CUSTOM,10,0, {quiet}, {}, {}");  // 30
  lsp.Notify("textDocument/didOpen", {{"textDocument",
                                       {{"uri", kUri},
                                        {"languageId", "clf"},
                                        {"version", 1},
                                        {"text", Text(lines)}}}});
  json diagnostics = lsp.Read();
  ASSERT_EQ(diagnostics["method"], "textDocument/publishDiagnostics");
  EXPECT_EQ(diagnostics["params"]["uri"], kUri);
  const json& list = diagnostics["params"]["diagnostics"];
  ASSERT_EQ(list.size(), 2u) << diagnostics.dump(1);
  EXPECT_EQ(list[0]["range"]["start"]["line"], 28);
  EXPECT_EQ(list[0]["range"]["end"]["character"], 8);
  EXPECT_EQ(list[0]["severity"], 2);
  EXPECT_NE(
      list[0]["message"].get<std::string>().find("did you mean 'For-Mode'?"),
      std::string::npos);
  EXPECT_EQ(list[1]["range"]["start"]["line"], 29);
  EXPECT_NE(list[1]["message"].get<std::string>().find("has no response"),
            std::string::npos);

  // Definitions: a mode from its Mode Change, a procedure from Start
  // Proc, a step from Goto Step, a fact from its macro, a collection from
  // an In Collection fragment, a state from For-State.
  const struct {
    int line, character;
    int defined_at;
  } definitions[] = {
      {9, 41, 13}, {12, 27, 17}, {20, 30, 21},
      {4, 21, 24}, {15, 41, 25}, {5, 17, 0},
  };
  int id = 10;
  for (const auto& d : definitions) {
    lsp.Request(++id, "textDocument/definition", At(d.line, d.character));
    const json answer = lsp.Answer(id);
    EXPECT_EQ(LinesOf(answer), std::vector<int>{d.defined_at})
        << d.line << ":" << d.character << " " << answer.dump();
  }
  // The place of a definition is the name itself.
  lsp.Request(++id, "textDocument/definition", At(9, 42));
  const json menu = lsp.Answer(id);
  ASSERT_EQ(menu["result"].size(), 1u);
  EXPECT_EQ(menu["result"][0]["range"]["start"]["character"], 6);
  EXPECT_EQ(menu["result"][0]["range"]["end"]["character"], 10);
  // A label from its Name-Object line.
  lsp.Request(++id, "textDocument/definition", At(2, 14));
  EXPECT_EQ(LinesOf(lsp.Answer(id)), std::vector<int>{2});
  // No name at the place: nothing.
  lsp.Request(++id, "textDocument/definition", At(3, 3));
  EXPECT_TRUE(lsp.Answer(id)["result"].empty());

  // References, with and without the declaration.
  lsp.Request(++id, "textDocument/references",
              {{"textDocument", {{"uri", kUri}}},
               {"position", {{"line", 0}, {"character", 8}}},
               {"context", {{"includeDeclaration", true}}}});
  EXPECT_EQ(LinesOf(lsp.Answer(id)), (std::vector<int>{0, 5, 23}));
  lsp.Request(++id, "textDocument/references",
              {{"textDocument", {{"uri", kUri}}},
               {"position", {{"line", 25}, {"character", 19}}},
               {"context", {{"includeDeclaration", false}}}});
  EXPECT_EQ(LinesOf(lsp.Answer(id)), (std::vector<int>{15, 16}));

  // Hover: kind, definition and uses.
  lsp.Request(++id, "textDocument/hover", At(13, 7));
  const std::string hover =
      lsp.Answer(id)["result"]["contents"]["value"].get<std::string>();
  EXPECT_NE(hover.find("**mode** `Menu`"), std::string::npos) << hover;
  EXPECT_NE(hover.find("Defined at line 14."), std::string::npos) << hover;
  EXPECT_NE(hover.find("1 patterns."), std::string::npos) << hover;
  EXPECT_NE(hover.find("Used at line 10 (Mode Change)."), std::string::npos)
      << hover;
  lsp.Request(++id, "textDocument/hover", At(18, 7));
  const std::string step =
      lsp.Answer(id)["result"]["contents"]["value"].get<std::string>();
  EXPECT_NE(step.find("**step** `AskDay` of procedure `Booking`"),
            std::string::npos)
      << step;
  EXPECT_NE(step.find("Not used in this file."), std::string::npos) << step;

  // Completion: keywords at a line's start, kinds and types in their
  // fields.
  const auto labels = [&](int line, int character) {
    lsp.Request(++id, "textDocument/completion", At(line, character));
    std::vector<std::string> out;
    const json answer = lsp.Answer(id);
    for (const json& item : answer["result"]) out.push_back(item["label"]);
    return out;
  };
  const std::vector<std::string> at_start = labels(1, 3);
  EXPECT_NE(std::find(at_start.begin(), at_start.end(), "For-Mode"),
            at_start.end());
  EXPECT_NE(std::find(at_start.begin(), at_start.end(), "Name-Object"),
            at_start.end());
  EXPECT_EQ(std::find(at_start.begin(), at_start.end(), "Just Text"),
            at_start.end());
  const std::vector<std::string> kinds = labels(3, 13);
  EXPECT_EQ(kinds.size(), 18u);
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), "In Collection-Sub"),
            kinds.end());
  const std::vector<std::string> types = labels(9, 28);
  EXPECT_EQ(types.size(), 39u);
  EXPECT_NE(std::find(types.begin(), types.end(), "Mode Change"), types.end());

  // Symbols: modes, the procedure with its steps, the collection.
  lsp.Request(++id, "textDocument/documentSymbol",
              {{"textDocument", {{"uri", kUri}}}});
  const json symbols = lsp.Answer(id)["result"];
  std::vector<std::string> names;
  for (const json& s : symbols) names.push_back(s["name"]);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Default", "Menu", "Booking", "Dishes"}));
  ASSERT_EQ(symbols[2]["children"].size(), 2u);
  EXPECT_EQ(symbols[2]["children"][1]["name"], "Confirm");
  EXPECT_EQ(symbols[2]["children"][1]["selectionRange"]["start"]["line"], 21);
  EXPECT_EQ(symbols[1]["range"]["start"]["line"], 13);
  EXPECT_EQ(symbols[1]["range"]["end"]["line"], 16);

  // The author mends the file: the diagnostics go.
  lsp.Notify("textDocument/didChange",
             {{"textDocument", {{"uri", kUri}, {"version", 2}}},
              {"contentChanges", json::array({{{"text", Text(kBistro)}}})}});
  diagnostics = lsp.Read();
  EXPECT_EQ(diagnostics["method"], "textDocument/publishDiagnostics");
  EXPECT_TRUE(diagnostics["params"]["diagnostics"].empty())
      << diagnostics.dump(1);
  // The index follows the new text: line 28 is gone.
  lsp.Request(++id, "textDocument/hover", At(28, 2));
  EXPECT_TRUE(lsp.Answer(id)["result"].is_null());

  // An unknown method is an error; the server goes on.
  lsp.Request(++id, "workspace/unknownThing", json::object());
  EXPECT_EQ(lsp.Answer(id)["error"]["code"], -32601);

  lsp.Request(++id, "shutdown", nullptr);
  const json shutdown = lsp.Answer(id);
  EXPECT_TRUE(shutdown.contains("result") && shutdown["result"].is_null());
  lsp.Notify("exit", nullptr);
  EXPECT_EQ(lsp.Wait(), 0);
}

TEST(LanguageServerTest, BrokenInputEndsOrIsAnswered) {
  {
    // Input that ends without shutdown and exit: status 1.
    LspClient lsp;
    lsp.Request(1, "initialize", json::object());
    EXPECT_FALSE(lsp.Answer(1).is_null());
    lsp.CloseInput();
    EXPECT_EQ(lsp.Wait(), 1);
  }
  {
    // A body that is no JSON gets a parse error; the session goes on.
    LspClient lsp;
    lsp.Send(json("not an object"));
    EXPECT_EQ(lsp.Read()["error"]["code"], -32700);
    lsp.Request(2, "textDocument/hover", At(0, 0));  // No such document.
    EXPECT_TRUE(lsp.Answer(2)["result"].is_null());
    lsp.Request(3, "shutdown", nullptr);
    lsp.Answer(3);
    lsp.Notify("exit", nullptr);
    EXPECT_EQ(lsp.Wait(), 0);
  }
}

}  // namespace
}  // namespace corvane
