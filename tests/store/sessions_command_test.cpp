// `corvane sessions` end to end: build/corvane reads a store that the test
// filled through the library, SQLite and Redis alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "store/conversation_store.h"
#include "store/transcripts.h"
#include "tests/cli/cli_sandbox.h"
#include "tests/store/store_backends.h"

namespace corvane {
namespace {

using cli_test::Quote;
using cli_test::Sandbox;

constexpr StoreTime kStart = 1'718'101'200'000;  // 2024-06-11T10:20:00Z

struct Filled {
  std::string a, b, c;  // Ids: three turns, four turns, none.
};

TurnCommit Turn(int second, const std::string& input, const std::string& reply,
                bool fallback = false) {
  TurnCommit t;
  t.snapshot = "s" + std::to_string(second);
  t.record.time = kStart + second * 1000;
  t.record.input = input;
  t.record.reply = reply;
  t.record.fallback = fallback;
  t.record.knowledge_version = "kb-1";
  return t;
}

Filled Fill(ConversationStore& store) {
  Filled f;
  NewConversation n;
  n.knowledge_version = "kb-1";
  n.time = kStart;
  Lease a = store.Create(n);
  f.a = a.conversation_id;
  store.Commit(a, Turn(1, "Hello", "Hi there.  What is your name?"),
               AfterCommit::kKeepLease);
  store.Commit(a,
               Turn(2, "\x1b]0;pwned\x07 What is your name?\r",
                    "I do not understand.", true),
               AfterCommit::kKeepLease);
  TurnCommit failed = Turn(3, "bad \xff byte \\ here", "Error: something");
  failed.record.failed = true;
  failed.record.knowledge_version = "kb-2";
  store.Commit(a, failed, AfterCommit::kReleaseLease);

  Lease b = store.Create(n);
  f.b = b.conversation_id;
  const char* asked[] = {"What is your name?", "what  is your NAME?",
                         " What is your name? ", "tell me a joke"};
  for (int i = 0; i < 4; ++i)
    store.Commit(b, Turn(10 + i, asked[i], "Hmm.", true),
                 AfterCommit::kKeepLease);
  store.Release(b);

  n.knowledge_version = "kb-3";
  f.c = store.Create(n).conversation_id;
  return f;
}

class SessionsCommandTest : public StoreBackendTest {
 protected:
  void SetUp() override {
    StoreBackendTest::SetUp();
    if (HasFatalFailure()) return;
    StoreOptions keep;
    keep.retain_days = 0;  // The fixed times lie in the past.
    store_ = Open(keep);
    filled_ = Fill(*store_);
  }

  cli_test::RunResult Sessions(const std::string& args) {
    return sandbox_.Corvane("sessions " + backend_->CommandLine() + " " + args);
  }

  std::unique_ptr<ConversationStore> store_;
  Filled filled_;
  Sandbox sandbox_;
};
CORVANE_ON_BOTH_STORES(SessionsCommandTest);

TEST_P(SessionsCommandTest, ListShowsEachConversationInIdOrder) {
  const cli_test::RunResult run = Sessions("list");
  ASSERT_EQ(run.status, 0) << run.err;
  const Filled& f = filled_;
  std::vector<std::string> lines = {
      f.a + "\t3\t2024-06-11T10:20:00.000Z\t2024-06-11T10:20:03.000Z\tkb-1",
      f.b + "\t4\t2024-06-11T10:20:00.000Z\t2024-06-11T10:20:13.000Z\tkb-1",
      f.c + "\t0\t2024-06-11T10:20:00.000Z\t2024-06-11T10:20:00.000Z\tkb-3"};
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(run.out, lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
}

TEST_P(SessionsCommandTest, ShowPrintsTheTranscriptWithControlsEscaped) {
  const cli_test::RunResult run = Sessions("show " + filled_.a);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "conversation " + filled_.a +
                "\n"
                "knowledge kb-1, 3 turns, created 2024-06-11T10:20:00.000Z, "
                "last 2024-06-11T10:20:03.000Z\n"
                "\n"
                "#1 2024-06-11T10:20:01.000Z\n"
                "> Hello\n"
                "< Hi there.  What is your name?\n"
                "\n"
                "#2 2024-06-11T10:20:02.000Z fallback\n"
                "> \\x1b]0;pwned\\x07 What is your name?\\x0d\n"
                "< I do not understand.\n"
                "\n"
                "#3 2024-06-11T10:20:03.000Z failed knowledge kb-2\n"
                "> bad \\xff byte \\\\ here\n"
                "< Error: something\n");
  const cli_test::RunResult none = Sessions("show " + filled_.c);
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out.substr(none.out.find('\n') + 1),
            "knowledge kb-3, 0 turns, created 2024-06-11T10:20:00.000Z, last "
            "2024-06-11T10:20:00.000Z\n");
}

TEST_P(SessionsCommandTest, ShowOfAnUnknownConversationFails) {
  for (const std::string& id : {NewConversationId(), std::string("nonsense")}) {
    const cli_test::RunResult run = Sessions("show " + id);
    EXPECT_EQ(run.status, 1) << id;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no conversation " + id), std::string::npos)
        << run.err;
  }
}

TEST_P(SessionsCommandTest, ExportWritesOneJsonLinePerTurn) {
  const cli_test::RunResult run = Sessions("export");
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  std::vector<nlohmann::json> turns;
  while (std::getline(lines, line))
    turns.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(turns.size(), 7u);
  std::map<std::string, int> per_conversation;
  for (const nlohmann::json& t : turns) ++per_conversation[t["conversation"]];
  EXPECT_EQ(per_conversation[filled_.a], 3);
  EXPECT_EQ(per_conversation[filled_.b], 4);
  // Conversations in id order, turns in order.
  for (std::size_t i = 1; i < turns.size(); ++i) {
    const bool same = turns[i]["conversation"] == turns[i - 1]["conversation"];
    if (same) {
      EXPECT_EQ(turns[i]["turn"], turns[i - 1]["turn"].get<int>() + 1);
    } else {
      EXPECT_LT(turns[i - 1]["conversation"], turns[i]["conversation"]);
    }
  }
  // One line exactly, fields in this order; the byte that is not UTF-8
  // became U+FFFD.
  const std::string third = R"({"conversation":")" + filled_.a +
                            R"(","turn":3,"time":"2024-06-11T10:20:03.000Z",)"
                            "\"input\":\"bad \xef\xbf\xbd byte \\\\ here\","
                            R"("reply":"Error: something","failed":true,)"
                            R"("fallback":false,"knowledge":"kb-2"})";
  EXPECT_NE(run.out.find(third + "\n"), std::string::npos) << run.out;
}

TEST_P(SessionsCommandTest, UnansweredCountsFallbackInputsMostFirst) {
  const cli_test::RunResult run = Sessions("unanswered");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "      3  what is your name?\n"
            "      1  \\x1b]0;pwned\\x07 what is your name?\n"
            "      1  tell me a joke\n");
}

TEST(SessionsCommandUsageTest, UsageErrorsAndMissingStores) {
  Sandbox sandbox;
  struct Case {
    std::string args;
    int status;
    const char* message;
  };
  const std::string missing = "sqlite:" + sandbox.Path("none.db");
  const Case cases[] = {
      {"", 2, "give a STORE and a COMMAND"},
      {"sqlite:x.db", 2, "give a STORE and a COMMAND"},
      {"sqlite:x.db drop", 2, "unknown command 'drop'"},
      {"sqlite:x.db show", 2, "show takes one conversation ID"},
      {"sqlite:x.db list extra", 2, "list takes no more arguments"},
      {"--force sqlite:x.db list", 2, "unknown option --force"},
      {"sqlite:x.db list --prefix", 2, "--prefix needs a value"},
      {"mysql://h list", 2, "unknown kind of store"},
      {"redis://h:0 list", 2, "from 1 to 65535"},
      {Quote(missing) + " list", 1, "does not exist"},
      {"redis://127.0.0.1:1 list", 1, "cannot connect"},
  };
  for (const Case& c : cases) {
    const cli_test::RunResult run = sandbox.Corvane("sessions " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n"
                                                          << run.err;
  }
  // Reading never makes a store.
  EXPECT_EQ(sandbox.Read("none.db"), "<missing>");
  const cli_test::RunResult help = sandbox.Corvane("sessions --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("unanswered"), std::string::npos);
}

TEST(NormalizeInputTest, CaseAndBlanksDoNotCount) {
  struct Case {
    const char* input;
    const char* normalized;
  };
  const Case cases[] = {
      {"  Hello   World \r\n", "hello world"},
      {"\t", ""},
      {"A\tb\nC", "a b c"},
      {"\xc3\x84rger", "\xc3\x84rger"},  // only ASCII letters fold
      {"x", "x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NormalizeInput(c.input), c.normalized) << c.input;
}

}  // namespace
}  // namespace corvane
