// Conversation snapshots: a restored conversation goes on as the original
// would, on shared knowledge and promoted; every damaged, foreign or
// oversized snapshot is refused with a message that says why, and no
// damage makes the reader crash or read outside the bytes.
#include "engine/conversation_snapshot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/effects.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

constexpr double kNoon = 46000.5;

const std::vector<std::string> kLines = {
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Hello ^Member{Fruit}.},Just Text,{},{}",
    "For-Mode",
    "Name-Object {Count}",
    "  Fragment CUSTOM,10,0, {count}, {}, {}",
    "  Response {Once.},Just Text,{},{}",
    "  Threshold 2,2",
    "    Response {Twice.},Just Text,{},{}",
    "  Threshold 3,9",
    "    Response {Often.},Just Text,{},{}",
    "For-Mode",
    "  Fragment EXTRACT,80,0, {my name is ^Extr{Name}}, {}, {}",
    "  Response {Hi ^Fact{Name}, ^Member{Fruit} for you.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {teach}, {}, {}",
    "  Response {learn zebra},Create AutoPattern,{40},{Striped.}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {lost}, {}, {}",
    "  Response {MyBrain},Self Modify,{CURRENTMODE},{-1}",
    "Start-Collection {Fruit}",
    "apple",
    "pear",
    "plum",
    "End-Collection",
};

std::shared_ptr<const SharedKnowledge> Knowledge(
    const std::vector<std::string>& lines = kLines) {
  auto brain = std::make_unique<BrainClass>();
  AttachLanguageReader(*brain);
  LoadLanguageLines(*brain, lines, [](const LanguageProblem&) {});
  return SharedKnowledge::Freeze(std::move(brain));
}

std::string Reply(Conversation& c, const std::string& input, double now) {
  try {
    return c.Respond(input, now);
  } catch (const Error& e) {
    return std::string(e.kind_name()) + ": " + e.what();
  }
}

// The error ReadSnapshot gives for `bytes`, or "" when it reads them.
std::string Refusal(const std::shared_ptr<const SharedKnowledge>& k,
                    const std::string& bytes, std::size_t max = 1u << 20) {
  try {
    ReadSnapshot(k, bytes, max);
    return "";
  } catch (const CorruptDataError& e) {
    return e.what();
  }
}

// Four turns of the knowledge above, with a fixed clock and seed.
std::unique_ptr<Conversation> FourTurns(
    const std::shared_ptr<const SharedKnowledge>& k) {
  auto c = std::make_unique<Conversation>(k, 17);
  c->state().SetEffects(&DiscardedEffects());
  c->state().LastInput = kNoon - 0.25;  // Not the clock of the run.
  c->Start(kNoon);
  const char* const inputs[] = {"count", "my name is Di", "count", "what?"};
  for (int t = 0; t < 4; ++t) c->Respond(inputs[t], kNoon + t / 86400.0);
  return c;
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(
        static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::vector<std::string> Texts(const TextHistory& h) {
  return std::vector<std::string>(h.begin(), h.end());
}

// The state of FourTurns as written when each history was a list of
// separate texts: the layout has not changed since.
constexpr const char* kFourTurnsState =
    "01074d79427261696e00000100005ad148001076e64000000000000000000000"
    "000405776861743f05636f756e740d6d79206e616d6520697320446905636f75"
    "6e7400050848656c6c6f207e2e0654776963652e1148692044692c207e20666f"
    "7220796f752e054f6e63652e0848656c6c6f207e2e0000f5a29af2c0b8ee80de"
    "0183f7d8f399a8d5ff09a3e5b3a6ac9ef286d201ddbadf8cf281afb0d801114c"
    "000103010404040b02000114017e5ad148001076e64000000000000000000000"
    "00000001044e414d4500010244690000";

TEST(ConversationSnapshotTest, StateWrittenBeforeTheHistoryBufferReadsTheSame) {
  const auto k = Knowledge();
  const std::string old_bytes = FromHex(kFourTurnsState);
  ByteReader in(old_bytes, "conversation");
  auto restored = Conversation::RestoreState(k, in);
  EXPECT_TRUE(in.done());
  restored->state().SetEffects(&DiscardedEffects());
  EXPECT_EQ(Texts(restored->state().InputHistory),
            (std::vector<std::string>{"what?", "count", "my name is Di",
                                      "count"}));
  EXPECT_EQ(Texts(restored->state().OutputHistory),
            (std::vector<std::string>{"Hello ~.", "Twice.",
                                      "Hi Di, ~ for you.", "Once.",
                                      "Hello ~."}));
  // Today's conversation writes the same bytes, and both go on alike.
  auto now = FourTurns(k);
  ByteWriter written;
  now->EncodeState(written);
  EXPECT_TRUE(written.bytes() == old_bytes);
  for (int t = 4; t < 8; ++t) {
    const double at = kNoon + t / 86400.0;
    EXPECT_EQ(Reply(*restored, "count", at), Reply(*now, "count", at));
  }
  ByteWriter a, b;
  restored->EncodeState(a);
  now->EncodeState(b);
  EXPECT_TRUE(a.bytes() == b.bytes());
}

TEST(ConversationSnapshotTest, HistoriesThatWrappedComeBackWholeAndGoOn) {
  const auto k = Knowledge();
  Conversation c(k, 23);
  c.state().SetEffects(&DiscardedEffects());
  c.Start(kNoon);
  auto input = [](int t) {
    return (t % 2 == 0 ? "count " : "my name is N") + std::to_string(t);
  };
  for (int t = 0; t < 130; ++t) Reply(c, input(t), kNoon + t / 86400.0);
  ASSERT_EQ(c.state().InputHistory.Count(), 100);
  EXPECT_EQ(c.state().InputHistory.At(99), input(30));
  auto restored = ReadSnapshot(k, WriteSnapshot(c));
  restored->state().SetEffects(&DiscardedEffects());
  EXPECT_EQ(Texts(restored->state().InputHistory),
            Texts(c.state().InputHistory));
  EXPECT_EQ(Texts(restored->state().OutputHistory),
            Texts(c.state().OutputHistory));
  for (int t = 130; t < 170; ++t) {
    const double at = kNoon + t / 86400.0;
    ASSERT_EQ(Reply(*restored, input(t), at), Reply(c, input(t), at)) << t;
    ASSERT_EQ(Texts(restored->state().InputHistory),
              Texts(c.state().InputHistory))
        << t;
    ASSERT_EQ(Texts(restored->state().OutputHistory),
              Texts(c.state().OutputHistory))
        << t;
  }
  EXPECT_EQ(restored->state().InputHistory.At(0), input(169));
  EXPECT_EQ(restored->state().InputHistory.At(99), input(70));
  EXPECT_EQ(WriteSnapshot(*restored), WriteSnapshot(c));
}

TEST(ConversationSnapshotTest, AHistoryTooLongOrSortedIsRefused) {
  const auto k = Knowledge();
  const std::string good = FromHex(kFourTurnsState);
  // Byte 32 is the input history's sorted flag, byte 33 its count.
  ASSERT_EQ(good[32], 0);
  ASSERT_EQ(good[33], 4);
  auto refusal = [&](std::size_t at, char value) -> std::string {
    std::string bytes = good;
    bytes[at] = value;
    ByteReader in(bytes, "conversation");
    try {
      Conversation::RestoreState(k, in);
      return "";
    } catch (const CorruptDataError& e) {
      return e.what();
    }
  };
  EXPECT_EQ(refusal(33, 101),
            "Damaged conversation: a list is longer than a conversation "
            "keeps (at byte 34)");
  EXPECT_EQ(refusal(32, 1),
            "Damaged conversation: a history is sorted (at byte 33)");
}

TEST(ConversationSnapshotTest, RestoredConversationsGoOnAsTheOriginal) {
  const auto k = Knowledge();
  const std::vector<std::string> inputs = {
      "count",       "my name is Ann", "count", "count", "teach",
      "learn zebra", "count",          "lost",  "count"};
  // A snapshot after each number of turns, shared and promoted ones.
  for (std::size_t cut = 0; cut <= inputs.size(); ++cut) {
    Conversation original(k, 11);
    original.state().SetEffects(&DiscardedEffects());
    original.Start(kNoon);
    for (std::size_t t = 0; t < cut; ++t)
      Reply(original, inputs[t], kNoon + t / 86400.0);
    auto restored = ReadSnapshot(k, WriteSnapshot(original));
    restored->state().SetEffects(&DiscardedEffects());
    EXPECT_EQ(restored->promoted(), original.promoted()) << cut;
    for (std::size_t t = cut; t < inputs.size(); ++t) {
      const double now = kNoon + t / 86400.0;
      EXPECT_EQ(Reply(*restored, inputs[t], now),
                Reply(original, inputs[t], now))
          << "snapshot after " << cut << " turns, turn " << t;
    }
    // Both draw the same from here on.
    EXPECT_EQ(restored->turn().RandomLetter(), original.turn().RandomLetter());
  }
}

TEST(ConversationSnapshotTest, TheTurnsBeforeTheSnapshotCountAfterIt) {
  const auto k = Knowledge();
  Conversation c(k, 3);
  c.Start(kNoon);
  EXPECT_NE(c.Respond("count", kNoon).find("  Once."), std::string::npos);
  EXPECT_EQ(c.Respond("count", kNoon + 1e-4), "Twice.");
  auto restored = ReadSnapshot(k, WriteSnapshot(c));
  EXPECT_EQ(restored->Respond("count", kNoon + 2e-4), "Often.");
  // Without a current mode the restored conversation knows nothing, as the
  // original does.
  c.Respond("lost", kNoon + 3e-4);
  auto lost = ReadSnapshot(k, WriteSnapshot(c));
  EXPECT_EQ(lost->state().CurrentMode, -1);
  EXPECT_EQ(lost->Respond("count", kNoon + 4e-4),
            "Sorry, I do not know anything at all yet!");
  EXPECT_EQ(c.Respond("count", kNoon + 4e-4),
            "Sorry, I do not know anything at all yet!");
}

TEST(ConversationSnapshotTest,
     ForeignTruncatedAndOversizedSnapshotsAreRefused) {
  const auto k = Knowledge();
  Conversation c(k, 5);
  c.Start(kNoon);
  c.Respond("my name is Bo", kNoon);
  const std::string bytes = WriteSnapshot(c);
  ASSERT_EQ(Refusal(k, bytes), "");

  std::vector<std::string> other = kLines;
  other.push_back("Fact {Extra} = {1}");
  // The fingerprint's length varies, and with it the byte named.
  EXPECT_EQ(Refusal(Knowledge(other), bytes)
                .rfind("Damaged snapshot: it was made on other knowledge "
                       "(at byte 1",
                       0),
            0u);
  EXPECT_EQ(Refusal(k, "CVSX" + bytes.substr(4)),
            "Damaged snapshot: it is no conversation snapshot (at byte 4)");
  std::string later = bytes;
  later[4] = 2;
  EXPECT_EQ(Refusal(k, later),
            "Damaged snapshot: it is of format 2, not 1 (at byte 5)");
  EXPECT_EQ(Refusal(k, bytes, bytes.size() - 1),
            "Damaged snapshot: it is " + std::to_string(bytes.size()) +
                " bytes long, more than the " +
                std::to_string(bytes.size() - 1) + " allowed (at byte 0)");
  EXPECT_EQ(Refusal(k, bytes + "x"),
            "Damaged snapshot: bytes follow the conversation (at byte " +
                std::to_string(bytes.size()) + ")");
  // Every cut is refused.
  for (std::size_t n = 0; n < bytes.size(); ++n)
    EXPECT_NE(Refusal(k, bytes.substr(0, n)), "") << n;
}

TEST(ConversationSnapshotTest, DamagedBytesAreRefusedOrRestoredNeverMisread) {
  const auto k = Knowledge();
  for (const bool promote : {false, true}) {
    Conversation c(k, 9);
    c.Start(kNoon);
    c.Respond("my name is Cy", kNoon);
    c.Respond("count", kNoon + 1e-4);
    if (promote) c.Respond("teach", kNoon + 2e-4);
    ASSERT_EQ(c.promoted(), promote);
    const std::string bytes = WriteSnapshot(c);
    // Each byte in turn set to values that make lengths, counts, flags
    // and numbers wrong; a restored conversation must still run a turn.
    const std::size_t step = promote ? 7 : 1;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
      for (const unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        std::string damaged = bytes;
        damaged[i] = static_cast<char>(v);
        try {
          auto restored = ReadSnapshot(k, damaged);
          restored->state().SetEffects(&DiscardedEffects());
          Reply(*restored, "count", kNoon + 1);
        } catch (const CorruptDataError&) {
        }
      }
    }
  }
}

}  // namespace
}  // namespace corvane
