// The knowledge commands: bulk work on data collections and the learning
// commands by which a conversation creates patterns, responses and word
// fragments. None says anything; missing sources and empty texts make a
// command do nothing.
//
// Commands that walk one collection's members while adding to a collection
// walk a copy, because source and target may be the same collection, and a
// "Make Code" line may change the collection being read.
#include <memory>
#include <string>
#include <vector>

#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/pattern.h"
#include "engine/response.h"
#include "engine/type_tables.h"
#include "text/text_util.h"

namespace corvane {
namespace {

std::vector<std::string> MemberTexts(const DataCollectionClass& c) {
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(c.Members.Count()));
  for (const NameList::Entry& entry : c.Members.entries())
    texts.push_back(entry.name);
  return texts;
}

// A "Just Text" response saying `text`, labelled automatically.
std::unique_ptr<ResponseClass> LearntResponse(BrainClass& brain,
                                              const std::string& text) {
  auto response = std::make_unique<ResponseClass>();
  response->RESPONSETYPE = rt::kJustText;
  response->OUTTEXT = text;
  response->ObjectName = brain.AutoName();
  return response;
}

// A "CUSTOM" fragment for `text`. The bonus is read untrimmed, leading
// blanks allowed; 0 when it is not an integer.
std::unique_ptr<WordFragmentClass> LearntFragment(const std::string& text,
                                                  const std::string& bonus) {
  auto fragment = std::make_unique<WordFragmentClass>();
  fragment->WORDFRAG = text;
  fragment->RELATION = rel::kCustom;
  fragment->BONUS = ToIntOrZeroLeading(bonus);
  return fragment;
}

}  // namespace

void BrainClass::LoadCollection(const std::string& name,
                                const std::string& file) {
  if (DataCollectionClass* c = FindOrCreateCollection(name))
    c->LoadFromFile(file);
}

void BrainClass::SaveCollection(const std::string& name,
                                const std::string& file) {
  if (const DataCollectionClass* c = FindCollection(name)) c->SaveToFile(file);
}

void BrainClass::ClearCollection(const std::string& name) {
  if (DataCollectionClass* c = FindCollection(name)) c->Clear();
}

void BrainClass::SetUnsorted(const std::string& name) {
  if (DataCollectionClass* c = FindCollection(name)) c->Members.SetUnsorted();
}

void BrainClass::ParseCollection(const std::string& source,
                                 const std::string& target,
                                 const std::string& text) {
  const DataCollectionClass* from = FindCollection(source);
  if (from == nullptr) return;
  const std::vector<std::string> members = MemberTexts(*from);
  DataCollectionClass* to = FindOrCreateCollection(target);
  if (to == nullptr) return;
  for (const std::string& member : members)
    if (FragmentInText(member, text)) to->Include(member);
}

void BrainClass::MergeCollection(const std::string& source,
                                 const std::string& target) {
  const DataCollectionClass* from = FindCollection(source);
  if (from == nullptr) return;
  std::vector<std::string> members = MemberTexts(*from);
  DataCollectionClass* to = FindOrCreateCollection(target);
  if (to == nullptr) return;
  // The list's own rules apply: a sorted target refuses equal texts, an
  // unsorted one appends them.
  to->Members.AddMany(std::move(members));
}

void BrainClass::WordsToCollection(const std::string& text,
                                   const std::string& name) {
  if (DataCollectionClass* c = FindOrCreateCollection(name))
    SplitWords(text, c->Members);
}

void BrainClass::MakeCode(const std::string& name) {
  const DataCollectionClass* c = FindCollection(name);
  if (c == nullptr || !line_loader_) return;
  // The lines are copied first: they may change or replace this very
  // collection while they are read.
  line_loader_(*this, MemberTexts(*c));
}

void BrainClass::CreateAutoPattern(const std::string& words,
                                   const std::string& bonus,
                                   const std::string& reply) {
  if (words.empty()) return;
  NameList split;  // Unsorted: keeps order and repetitions.
  SplitWords(words, split);
  if (split.empty()) return;
  // A mode deleted by "Delete Object" can leave no current mode; there is
  // then nowhere to learn into.
  if (CurrentMode < 0 || CurrentMode >= Modes.Count()) return;

  auto fresh = std::make_unique<PatternClass>();
  fresh->ObjectName = AutoName();
  PatternClass* pattern = Modes.At(CurrentMode)->AddPattern(std::move(fresh));
  pattern->AddResponse(LearntResponse(*this, reply));
  for (const NameList::Entry& word : split.entries())
    pattern->AddFragment(LearntFragment(word.name, bonus));
}

void BrainClass::AddResponseToLastPattern(const std::string& text) {
  if (text.empty() || LastPat.empty()) return;
  auto* pattern = ItemAs<PatternClass>(FindNamedObject(LastPat));
  if (pattern == nullptr) return;
  pattern->AddResponse(LearntResponse(*this, text));
}

void BrainClass::AddFragmentToLastPattern(const std::string& text,
                                          const std::string& bonus) {
  if (text.empty() || LastPat.empty()) return;
  auto* pattern = ItemAs<PatternClass>(FindNamedObject(LastPat));
  if (pattern == nullptr) return;
  auto fragment = LearntFragment(text, bonus);  // Whole text, case kept.
  fragment->ObjectName = AutoName();
  pattern->AddFragment(std::move(fragment));
}

}  // namespace corvane
