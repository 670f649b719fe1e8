// The knowledge commands: bulk work on data collections and the learning
// commands by which a conversation creates patterns, responses and word
// fragments. None says anything; missing sources and empty texts make a
// command do nothing.
//
// Commands that walk one collection's members while adding to a collection
// walk a copy, because source and target may be the same collection, and a
// "Make Code" line may change the collection being read.
//
// What they add during a turn counts against the learnt knowledge
// (TurnRunner::ChargeLearnt): a command whose additions do not fit adds
// nothing. The learning commands keep at most kMaxLearntText bytes of each
// text they are given.
//
// On shared knowledge a collection command changes the conversation's own
// copy of the collection; "Make Code" and the learning commands first give
// the conversation its private copy of the knowledge (TurnRunner::Promote),
// once they are sure to change it.
#include <memory>
#include <string>
#include <vector>

#include "engine/brain.h"
#include "engine/turn_runner.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/response.h"
#include "engine/type_tables.h"
#include "text/text_util.h"

namespace corvane {
namespace {

// What a collection member counts against the learnt knowledge.
std::size_t MemberCost(std::string_view text) {
  return kLearntMemberCost + text.size() * kLearntTextByteCost;
}

// What adding `texts` to the members of `c` as list-wide additions counts:
// a sorted list refuses texts equal to a member (or to an earlier text).
std::size_t AdditionCost(const DataCollectionClass& c,
                         const std::vector<std::string>& texts) {
  std::size_t cost = 0;
  if (!c.Members.sorted()) {
    for (const std::string& text : texts) cost += MemberCost(text);
    return cost;
  }
  NameList fresh(NameList::kSorted, c.Members.folding());
  for (const std::string& text : texts)
    if (c.Members.IndexOf(text) < 0 && fresh.IndexOf(text) < 0) {
      fresh.Add(text);
      cost += MemberCost(text);
    }
  return cost;
}

// All member texts' costs together.
std::size_t MembersCost(const NameList& members) {
  std::size_t cost = 0;
  for (const NameList::Entry& entry : members.entries())
    cost += MemberCost(entry.name);
  return cost;
}

// The first kMaxLearntText bytes of a text given to a learning command,
// without a character cut in two in UTF-8.
std::string LearntText(const std::string& text, TextEncoding encoding) {
  return text.size() <= kMaxLearntText
             ? text
             : std::string(CutTextIn(encoding, text, kMaxLearntText));
}

std::vector<std::string> MemberTexts(const DataCollectionClass& c) {
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(c.Members.Count()));
  for (const NameList::Entry& entry : c.Members.entries())
    texts.push_back(entry.name);
  return texts;
}

// A "Just Text" response saying `text`, labelled automatically.
std::unique_ptr<ResponseClass> LearntResponse(TurnRunner& turn,
                                              const std::string& text) {
  auto response = std::make_unique<ResponseClass>();
  response->RESPONSETYPE = rt::kJustText;
  response->OUTTEXT = text;
  response->ObjectName = turn.AutoName();
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

void TurnRunner::LoadCollection(const std::string& name,
                                const std::string& file) {
  DataCollectionClass* c = FindOrCreateCollection(name);
  if (c == nullptr) return;
  // The file replaces the members; what it adds beyond them counts, and a
  // file that does not fit leaves them as they were.
  const std::size_t before = MembersCost(c->Members);
  NameList kept = c->Members;
  c->LoadFromFile(file, knowledge_->paths());
  const std::size_t after = MembersCost(c->Members);
  if (after > before && !ChargeLearnt(after - before))
    c->Members = std::move(kept);
}

void TurnRunner::SaveCollection(const std::string& name,
                                const std::string& file) {
  if (const DataCollectionClass* c = FindCollection(name))
    c->SaveToFile(file, knowledge_->paths(), state_->effects());
}

void TurnRunner::ClearCollection(const std::string& name) {
  if (DataCollectionClass* c = FindCollection(name)) {
    if (c->Members.empty()) return;
    Writable(c)->Clear();
  }
}

void TurnRunner::SetUnsorted(const std::string& name) {
  if (DataCollectionClass* c = FindCollection(name)) {
    if (!c->Members.sorted()) return;
    Writable(c)->Members.SetUnsorted();
  }
}

void TurnRunner::ParseCollection(const std::string& source,
                                 const std::string& target,
                                 const std::string& text) {
  const DataCollectionClass* from = FindCollection(source);
  if (from == nullptr) return;
  const std::vector<std::string> members = MemberTexts(*from);
  DataCollectionClass* to = FindOrCreateCollection(target);
  if (to == nullptr) return;
  std::vector<std::string> found;
  for (const std::string& member : members)
    if (FragmentInText(member, text, knowledge_->text_encoding()))
      found.push_back(member);
  std::size_t cost = 0;
  for (const std::string& member : found)
    if (to->Members.IndexOf(TrimView(member)) < 0) cost += MemberCost(member);
  if (!ChargeLearnt(cost)) return;
  for (const std::string& member : found) to->Include(member);
}

void TurnRunner::MergeCollection(const std::string& source,
                                 const std::string& target) {
  const DataCollectionClass* from = FindCollection(source);
  if (from == nullptr) return;
  std::vector<std::string> members = MemberTexts(*from);
  DataCollectionClass* to = FindOrCreateCollection(target);
  if (to == nullptr) return;
  if (!ChargeLearnt(AdditionCost(*to, members))) return;
  // The list's own rules apply: a sorted target refuses equal texts, an
  // unsorted one appends them.
  to->Members.AddMany(std::move(members));
}

void TurnRunner::WordsToCollection(const std::string& text,
                                   const std::string& name) {
  DataCollectionClass* c = FindOrCreateCollection(name);
  if (c == nullptr) return;
  NameList split;  // Unsorted: every word, in order.
  SplitWords(text, split, knowledge_->text_encoding());
  std::vector<std::string> words;
  words.reserve(static_cast<std::size_t>(split.Count()));
  for (const NameList::Entry& word : split.entries())
    words.push_back(word.name);
  if (!ChargeLearnt(AdditionCost(*c, words))) return;
  for (std::string& word : words) c->Members.Add(std::move(word));
}

void TurnRunner::MakeCode(const std::string& name) {
  const DataCollectionClass* c = FindCollection(name);
  if (c == nullptr || !knowledge_->line_loader()) return;
  // Each line may make an item; its text may become a fragment's.
  std::size_t cost = 0;
  for (const NameList::Entry& line : c->Members.entries())
    cost += kLearntItemCost + line.name.size() * kLearntKeyByteCost;
  if (!ChargeLearnt(cost)) return;
  // The lines are copied first: they may change or replace this very
  // collection while they are read.
  const std::vector<std::string> lines = MemberTexts(*c);
  Promote();
  knowledge_->line_loader()(*knowledge_, lines);
}

void TurnRunner::CreateAutoPattern(const std::string& words,
                                   const std::string& bonus,
                                   const std::string& reply) {
  if (words.empty()) return;
  NameList split;  // Unsorted: keeps order and repetitions.
  SplitWords(LearntText(words, knowledge_->text_encoding()), split,
             knowledge_->text_encoding());
  if (split.empty()) return;
  // A mode deleted by "Delete Object" can leave no current mode; there is
  // then nowhere to learn into.
  const int32_t current = state_->CurrentMode;
  if (current < 0 || current >= knowledge_->Modes.Count()) return;
  const std::string kept_reply = LearntText(reply, knowledge_->text_encoding());
  std::size_t cost =
      2 * kLearntItemCost + kept_reply.size() * kLearntTextByteCost;
  for (const NameList::Entry& word : split.entries())
    cost += kLearntItemCost + word.name.size() * kLearntKeyByteCost;
  if (!ChargeLearnt(cost)) return;
  Promote();

  auto fresh = std::make_unique<PatternClass>();
  fresh->ObjectName = AutoName();
  PatternClass* pattern =
      knowledge_->Modes.At(current)->AddPattern(std::move(fresh));
  pattern->AddResponse(LearntResponse(*this, kept_reply));
  for (const NameList::Entry& word : split.entries())
    pattern->AddFragment(LearntFragment(word.name, bonus));
}

void TurnRunner::AddResponseToLastPattern(const std::string& text) {
  if (text.empty() || state_->LastPat.empty()) return;
  auto* pattern =
      ItemAs<PatternClass>(knowledge_->FindNamedObject(state_->LastPat));
  if (pattern == nullptr) return;
  const std::string kept = LearntText(text, knowledge_->text_encoding());
  if (!ChargeLearnt(kLearntItemCost + kept.size() * kLearntTextByteCost))
    return;
  Promote();
  Live(pattern)->AddResponse(LearntResponse(*this, kept));
}

void TurnRunner::AddFragmentToLastPattern(const std::string& text,
                                          const std::string& bonus) {
  if (text.empty() || state_->LastPat.empty()) return;
  auto* pattern =
      ItemAs<PatternClass>(knowledge_->FindNamedObject(state_->LastPat));
  if (pattern == nullptr) return;
  const std::string kept = LearntText(text, knowledge_->text_encoding());
  if (!ChargeLearnt(kLearntItemCost + kept.size() * kLearntKeyByteCost)) return;
  Promote();
  auto fragment = LearntFragment(kept, bonus);  // Whole text, case kept.
  fragment->ObjectName = AutoName();
  Live(pattern)->AddFragment(std::move(fragment));
}

}  // namespace corvane
