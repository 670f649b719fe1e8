// Conversation snapshots: a restored conversation goes on as the original
// would, on shared knowledge and promoted; every damaged, foreign or
// oversized snapshot is refused with a message that says why, and no
// damage makes the reader crash or read outside the bytes.
#include "engine/conversation_snapshot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
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
