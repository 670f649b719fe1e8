// Names of a knowledge base declared UTF-8 compare by Unicode case folding:
// facts, collections and their members, modes, states, procedures and
// labels, in a brain, in a conversation on shared knowledge and after its
// snapshot is read back; the same file in the code page answers as before.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "engine/conversation.h"
#include "engine/conversation_snapshot.h"
#include "langfile/CorvLangU.h"
#include "text/utf8.h"

namespace corvane {
namespace {

// Kraków, Żona / ŻONA, Język / JĘZYK, Śpiący / ŚPIĄCY, Żółw / ŻÓŁW,
// Ścieżka / ŚCIEŻKA, Łakocie / łAKOCIE, Éclair / éclair: each pair differs
// in the case of a letter beyond a to z.
#define KRAKOW "Krak\xC3\xB3w"
#define ZONA "\xC5\xBBona"
#define ZONA_UP "\xC5\xBB" "ONA"
#define ZONA_LOW "\xC5\xBCona"
#define JEZYK "J\xC4\x99zyk"
#define JEZYK_UP "J\xC4\x98ZYK"
#define SPIACY "\xC5\x9Api\xC4\x85" "cy"
#define SPIACY_UP "\xC5\x9API\xC4\x84" "CY"
#define ZOLW "\xC5\xBB\xC3\xB3\xC5\x82w"
#define ZOLW_UP "\xC5\xBB\xC3\x93\xC5\x81W"
#define SCIEZKA "\xC5\x9A" "cie\xC5\xBCka"
#define SCIEZKA_UP "\xC5\x9A" "CIE\xC5\xBBKA"
#define LAKOCIE "\xC5\x81" "akocie"
#define LAKOCIE_UP "\xC5\x82" "AKOCIE"  // With a small ł
#define ECLAIR_UP "\xC3\x89" "clair"
#define ECLAIR_LOW "\xC3\xA9" "clair"

const std::vector<std::string> kLines = {
    "For-Mode",
    "  Response {Pardon?},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,100,0, {ustaw}, {}, {}",
    "  Response {Ustawione.},Task List,{},{}",
    "    Task {},Assignment,{Miasto},{" KRAKOW "}",
    "    Task {},Assignment,{" ZONA "},{Ania}",
    "For-Mode",
    "  Fragment CUSTOM,100,0, {gdzie}, {}, {}",
    "  Response {^Fact{MIASTO}/^Fact{" ZONA_LOW "}},Just Text,{},{}",
    "For-Mode",
    "Name-Object {" SCIEZKA "}",
    "  Fragment CUSTOM,100,0, {zmiana}, {}, {}",
    "  Response {Zmiana.},Task List,{},{}",
    "    Task {},Mode Change,{" JEZYK_UP "},{}",
    "    Task {},State Change,{" SPIACY_UP "},{}",
    "For-Mode",
    "  Fragment CUSTOM,100,0, {start}, {}, {}",
    "  Response {},Start Proc,{" ZOLW_UP "},{}",
    "For-Mode",
    "  Fragment CUSTOM,100,0, {dodaj}, {}, {}",
    "  Response {Dodane.},Task List,{},{}",
    "    Task {},Add To Collection,{" LAKOCIE_UP "},{P\xC4\x85" "czek}",
    "    Task {},Add To Collection,{" LAKOCIE "},{P\xC4\x84" "CZEK}",
    "    Task {},Add To Collection,{Nowe " LAKOCIE "},{" ECLAIR_UP "}",
    "    Task {},Add To Collection,{NOWE " LAKOCIE_UP "},{" ECLAIR_LOW "}",
    "    Task {},Assignment,{Nowy " ZONA "},{Ola}",
    "For-Mode",
    "  Fragment CUSTOM,100,0, {kto}, {}, {}",
    "  Response {^Fact{nowy " ZONA_LOW "}:^Members{nowe " LAKOCIE_UP
    "}},Just Text,{},{}",
    "Mode {" JEZYK "}",
    "For-Mode",
    "  Response {Po polsku.},Just Text,{},{}",
    "State {" SPIACY "}",
    "Procedure {" ZOLW "}",
    "Step {Pierwszy},{Jak masz na imi\xC4\x99?}",
    "Start-Collection {Ciasta}",
    ECLAIR_UP,
    ECLAIR_LOW,
    "Sernik",
    "End-Collection",
    "Start-Collection {" LAKOCIE "}",
    "Sernik",
    "End-Collection",
};

std::unique_ptr<BrainClass> Load(TextEncoding encoding) {
  auto brain = std::make_unique<BrainClass>();
  AttachLanguageReader(*brain);
  brain->SetTextEncoding(encoding);
  brain->Seed(5);
  LoadLanguageLines(*brain, kLines, [](const LanguageProblem&) {});
  return brain;
}

TEST(Utf8NamesTest, FactsAndCollectionsAreFoundInAnyCase) {
  auto brain = Load(TextEncoding::kUtf8);
  EXPECT_EQ(brain->Respond("ustaw"), "Ustawione.");
  EXPECT_EQ(brain->GetFact("MIASTO"), KRAKOW);
  EXPECT_EQ(brain->GetFact("miasto"), KRAKOW);
  EXPECT_EQ(brain->GetFact(ZONA_UP), "Ania");
  EXPECT_EQ(brain->GetFact(ZONA_LOW), "Ania");
  EXPECT_EQ(brain->Respond("gdzie"), KRAKOW "/Ania");
  // Written as the author wrote it, once.
  ASSERT_EQ(brain->FactNames.IndexOf(ZONA_LOW), brain->FactNames.Count() - 1);
  EXPECT_EQ(brain->FactNames.At(brain->FactNames.Count() - 1), ZONA);

  const DataCollectionClass* ciasta = brain->FindCollection("CIASTA");
  ASSERT_NE(ciasta, nullptr);
  // Éclair then éclair: one member, the first spelling, in folded order.
  ASSERT_EQ(ciasta->Members.Count(), 2);
  EXPECT_EQ(ciasta->Members.At(0), "Sernik");
  EXPECT_EQ(ciasta->Members.At(1), ECLAIR_UP);
  EXPECT_GE(ciasta->Members.IndexOf("\xC3\x89" "CLAIR"), 0);

  const DataCollectionClass* lakocie = brain->FindCollection(LAKOCIE_UP);
  ASSERT_NE(lakocie, nullptr);
  EXPECT_EQ(lakocie->CollectionName, LAKOCIE);
  EXPECT_EQ(brain->Respond("dodaj"), "Dodane.");
  // Both spellings of the collection name reach the one collection, and
  // the second spelling of Pączek is no new member.
  EXPECT_EQ(brain->FindCollection(LAKOCIE), lakocie);
  EXPECT_EQ(lakocie->Members.Count(), 2);
  EXPECT_EQ(brain->Respond("kto"), "Ola:" ECLAIR_UP);
}

TEST(Utf8NamesTest, ModesStatesProceduresAndLabelsAreFoundInAnyCase) {
  auto brain = Load(TextEncoding::kUtf8);
  const int mode = brain->ModeNames.IndexOf(JEZYK);
  ASSERT_GT(mode, 0);
  EXPECT_EQ(brain->ModeNames.IndexOf(JEZYK_UP), mode);
  const int state = brain->StateNames.IndexOf(SPIACY);
  ASSERT_GT(state, 0);
  const int states = brain->StateNames.Count();
  EXPECT_EQ(brain->Respond("zmiana"), "Zmiana.");
  EXPECT_EQ(brain->CurrentMode, mode);
  EXPECT_EQ(brain->CurrentState, state);
  EXPECT_EQ(brain->StateNames.Count(), states);  // No second Śpiący.

  auto other = Load(TextEncoding::kUtf8);
  // The empty response, then the step's prompt.
  EXPECT_EQ(other->Respond("start"), "Jak masz na imi\xC4\x99?  ");
  EXPECT_EQ(other->CurrentProc, other->ProcNames.IndexOf(ZOLW));
  EXPECT_GE(other->CurrentProc, 0);

  Item* labelled = brain->FindNamedObject(SCIEZKA);
  ASSERT_NE(labelled, nullptr);
  EXPECT_EQ(brain->FindNamedObject(SCIEZKA_UP), labelled);
}

TEST(Utf8NamesTest, TheCodePageKeepsNamesApartButForAToZ) {
  auto brain = Load(TextEncoding::kCodePage);
  EXPECT_EQ(brain->Respond("ustaw"), "Ustawione.");
  EXPECT_EQ(brain->GetFact("MIASTO"), KRAKOW);
  EXPECT_EQ(brain->GetFact(ZONA_LOW), "#");
  EXPECT_EQ(brain->Respond("gdzie"), KRAKOW "/#");
  const DataCollectionClass* ciasta = brain->FindCollection("ciasta");
  ASSERT_NE(ciasta, nullptr);
  ASSERT_EQ(ciasta->Members.Count(), 3);
  EXPECT_EQ(ciasta->Members.At(0), "Sernik");
  EXPECT_EQ(ciasta->Members.At(1), ECLAIR_UP);
  EXPECT_EQ(ciasta->Members.At(2), ECLAIR_LOW);
  EXPECT_EQ(brain->FindCollection(LAKOCIE_UP), nullptr);
  EXPECT_EQ(brain->FindNamedObject(SCIEZKA_UP), nullptr);
  EXPECT_NE(brain->FindNamedObject(SCIEZKA), nullptr);
  EXPECT_LT(brain->ModeNames.IndexOf(JEZYK_UP), 0);
  EXPECT_EQ(brain->Respond("zmiana"), "Zmiana.");
  EXPECT_NE(brain->CurrentMode, brain->ModeNames.IndexOf(JEZYK));
  EXPECT_NE(brain->CurrentState, brain->StateNames.IndexOf(SPIACY));
  auto other = Load(TextEncoding::kCodePage);
  EXPECT_EQ(other->Respond("start"), "");
  EXPECT_EQ(other->CurrentProc, -1);
  EXPECT_EQ(brain->Respond("dodaj"), "Dodane.");
  // "Nowe Łakocie" and "NOWE łAKOCIE" are two collections.
  EXPECT_EQ(brain->Respond("kto"), "#:" ECLAIR_LOW);
}

TEST(Utf8NamesTest, ConversationsAndTheirSnapshotsFoldNamesToo) {
  auto brain = Load(TextEncoding::kUtf8);
  std::shared_ptr<const SharedKnowledge> k =
      SharedKnowledge::Freeze(std::move(brain));
  Conversation c(k, 7);
  EXPECT_EQ(c.Respond("ustaw"), "Ustawione.");
  EXPECT_EQ(c.Respond("dodaj"), "Dodane.");
  ASSERT_FALSE(c.promoted());
  // The conversation's own collection and fact, made in one spelling and
  // read in another.
  EXPECT_EQ(c.Respond("kto"), "Ola:" ECLAIR_UP);
  const DataCollectionClass* own = c.turn().FindCollection("nowe " LAKOCIE_UP);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->Members.Count(), 1);

  std::unique_ptr<Conversation> restored = ReadSnapshot(k, WriteSnapshot(c));
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->turn().GetFact("nowy " ZONA_LOW), "Ola");
  EXPECT_EQ(restored->turn().GetFact(ZONA_LOW), "Ania");
  const DataCollectionClass* back =
      restored->turn().FindCollection("NOWE " LAKOCIE_UP);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->CollectionName, "Nowe " LAKOCIE);
  ASSERT_EQ(back->Members.Count(), 1);
  EXPECT_GE(back->Members.IndexOf(ECLAIR_LOW), 0);
  // The snapshot writes the names as they were first written.
  EXPECT_EQ(WriteSnapshot(*restored), WriteSnapshot(c));
  EXPECT_EQ(restored->Respond("dodaj"), "Dodane.");
  EXPECT_EQ(restored->turn().FindCollection("NOWE " LAKOCIE_UP)->Members.Count(),
            1);
  EXPECT_EQ(restored->Respond("kto"), "Ola:" ECLAIR_UP);

  // A promoted conversation's private brain folds as the shared one did.
  BrainClass& own_brain = restored->Materialize();
  EXPECT_EQ(own_brain.text_encoding(), TextEncoding::kUtf8);
  EXPECT_NE(own_brain.FindCollection(LAKOCIE_UP), nullptr);
  EXPECT_EQ(own_brain.FindCollection("ciasta")->Members.Count(), 2);
  EXPECT_EQ(own_brain.GetFact("nowy " ZONA_LOW), "Ola");
  std::unique_ptr<Conversation> promoted =
      ReadSnapshot(k, WriteSnapshot(*restored));
  ASSERT_TRUE(promoted->promoted());
  EXPECT_EQ(promoted->Respond("kto"), "Ola:" ECLAIR_UP);
  EXPECT_NE(promoted->private_brain()->FindCollection("NOWE " LAKOCIE_UP),
            nullptr);
  EXPECT_EQ(promoted->private_brain()
                ->FindCollection("nowe " LAKOCIE_UP)
                ->Members.Count(),
            1);
}

}  // namespace
}  // namespace corvane
