#include "engine/conversation.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/error.h"
#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/knowledge.h"
#include "engine/knowledge_codec.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "platform/os_random.h"

namespace corvane {
namespace {

// Version of the conversation state's byte form.
constexpr uint64_t kStateFormat = 1;

uint64_t Fnv1a(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

void WriteNames(ByteWriter& out, const NameList& list) {
  out.Bool(list.sorted());
  out.U64(static_cast<uint64_t>(list.Count()));
  for (const NameList::Entry& e : list.entries()) out.Text(e.name);
}

// The list keeps its folding: callers give it the knowledge base's first.
void ReadNames(ByteReader& in, NameList& list, std::size_t most) {
  const bool sorted = in.Bool();
  const std::size_t n = in.Count();
  if (n > most) in.Fail("a list is longer than a conversation keeps");
  list = NameList(sorted ? NameList::kSorted : NameList::kUnsorted,
                  list.folding());
  std::vector<std::string> names;
  names.reserve(n);
  for (std::size_t i = 0; i < n; ++i) names.push_back(in.Text());
  if (sorted) {
    list.AddMany(std::move(names));
    if (list.Count() != static_cast<int>(n)) in.Fail("a sorted list repeats");
  } else {
    for (std::string& name : names) list.Add(std::move(name));
  }
}

// A history is written as an unsorted name list of its texts, newest
// first, so snapshots made while histories were name lists read the same.
void WriteHistory(ByteWriter& out, const TextHistory& history) {
  out.Bool(false);
  out.U64(static_cast<uint64_t>(history.Count()));
  for (const std::string_view text : history) out.Text(text);
}

void ReadHistory(ByteReader& in, TextHistory& history) {
  if (in.Bool()) in.Fail("a history is sorted");
  const std::size_t n = in.Count();
  if (n > static_cast<std::size_t>(kHistoryLimit))
    in.Fail("a list is longer than a conversation keeps");
  std::vector<std::string_view> texts;
  texts.reserve(n);
  for (std::size_t i = 0; i < n; ++i) texts.push_back(in.TextView());
  // Restored as written: the limits apply from the next push on, as they
  // would have in the original.
  history.Clear();
  for (auto text = texts.rbegin(); text != texts.rend(); ++text)
    history.Push(*text, kHistoryLimit, SIZE_MAX);
}

void WritePicks(ByteWriter& out, const CollectionPicks& p) {
  out.Text(p.member_pick);
  out.Real(p.member_pick_time);
  out.Text(p.member_sub_pick);
  out.Real(p.member_sub_pick_time);
}

CollectionPicks ReadPicks(ByteReader& in) {
  CollectionPicks p;
  p.member_pick = in.Text();
  p.member_pick_time = in.Real();
  p.member_sub_pick = in.Text();
  p.member_sub_pick_time = in.Real();
  return p;
}

void WriteCollection(ByteWriter& out, const DataCollectionClass& c) {
  out.Text(c.CollectionName);
  WriteNames(out, c.Members);
  WritePicks(out, {c.MemberPick, c.MemberPickTime, c.MemberSubPick,
                   c.MemberSubPickTime});
}

// A collection of the conversation's own, read as WriteCollection wrote it;
// `name` is taken from the shared one for a changed copy.
// Its members compare with `folding`, the knowledge base's.
std::unique_ptr<DataCollectionClass> ReadCollection(
    ByteReader& in, const NameFolding* folding) {
  auto c = std::make_unique<DataCollectionClass>();
  c->Members.SetFolding(folding);
  c->CollectionName = in.Text();
  ReadNames(in, c->Members, in.left());
  const CollectionPicks p = ReadPicks(in);
  c->MemberPick = p.member_pick;
  c->MemberPickTime = p.member_pick_time;
  c->MemberSubPick = p.member_sub_pick;
  c->MemberSubPickTime = p.member_sub_pick_time;
  return c;
}

template <typename List>
void SortByKey(List& list) {
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
}

}  // namespace

// ---- SharedKnowledge ----

SharedKnowledge::~SharedKnowledge() = default;

std::shared_ptr<const SharedKnowledge> SharedKnowledge::Freeze(
    std::unique_ptr<BrainClass> brain) {
  // Conversations keep only what differs from the knowledge as a fresh
  // load leaves it: no turn may have run.
  if (brain == nullptr || brain->frozen_ || brain->turns_running_ != 0 ||
      !brain->InputHistory.empty() || !brain->OutputHistory.empty() ||
      !brain->PendingOutput.empty() || brain->side_ != nullptr)
    throw AssertionError(__FILE__, __LINE__);
  std::shared_ptr<SharedKnowledge> shared(new SharedKnowledge);
  std::vector<Item*> items = KnowledgeCodec::Items(*brain);
  for (Item* item : items) {
    if (auto* p = ItemAs<PatternClass>(item); p != nullptr && p->HITCOUNT != 0)
      throw AssertionError(__FILE__, __LINE__);
    if (auto* m = ItemAs<KnowledgeClass>(item);
        m != nullptr && !m->MarkedPatterns.empty())
      throw AssertionError(__FILE__, __LINE__);
  }
  const uint64_t generation = brain->KnowledgeGeneration();
  const TextEncoding encoding = brain->text_encoding();
  for (const auto& mode : brain->Modes) mode->FreezeIndex(generation, encoding);
  for (const auto& proc : brain->Procs)
    for (const auto& step : proc->Steps) step->FreezeIndex(generation, encoding);
  for (const NameList* list :
       {&brain->ProcNames, &brain->ModeNames, &brain->FactNames,
        &brain->StateNames, &brain->NamedObjects, &brain->Collections})
    list->PrepareLookups();
  for (Item* item : items) {
    if (auto* proc = ItemAs<ProcClass>(item)) proc->StepNames.PrepareLookups();
    if (auto* c = ItemAs<DataCollectionClass>(item))
      c->Members.PrepareLookups();
  }
  shared->numbers_.reserve(items.size() / 4 + 1);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ObjectKind kind = items[i]->kind();
    if (kind == ObjectKind::kPattern || kind == ObjectKind::kProc ||
        kind == ObjectKind::kCollection)
      shared->numbers_.emplace(items[i], static_cast<uint32_t>(i));
  }
  ByteWriter bytes;
  KnowledgeCodec::Encode(*brain, bytes, false);
  shared->fingerprint_ = Fnv1a(bytes.bytes());
  shared->items_ = std::move(items);
  brain->frozen_ = true;
  shared->brain_ = std::move(brain);
  return shared;
}

int64_t SharedKnowledge::NumberOf(const Item* item) const {
  const auto found = numbers_.find(item);
  return found == numbers_.end() ? -1 : found->second;
}

Item* SharedKnowledge::ItemNumbered(uint64_t number) const {
  if (number >= items_.size()) return nullptr;
  Item* item = items_[number];
  return numbers_.count(item) > 0 ? item : nullptr;
}

// ---- Conversation ----

Conversation::Conversation(std::shared_ptr<const SharedKnowledge> knowledge,
                           uint64_t seed)
    : Conversation(std::move(knowledge), Adopt{}) {
  state_.Seed(seed);
}

Conversation::Conversation(std::shared_ptr<const SharedKnowledge> knowledge)
    : Conversation(std::move(knowledge), OsRandomSeed()) {}

Conversation::Conversation(std::shared_ptr<const SharedKnowledge> knowledge,
                           Adopt)
    : shared_(std::move(knowledge)),
      state_(static_cast<const ConversationState&>(shared_->brain())),
      runner_(*shared_->brain_, state_, this) {
  // The frozen brain's state is the state a fresh load leaves; the
  // conversation starts from it, with side tables of its own.
  state_.side_ = std::make_unique<ConversationSideTables>(
      shared_->brain().name_folding());
  state_.OutputHandler = nullptr;
  state_.trace_ = nullptr;
  state_.scorer_ = nullptr;
  state_.effects_ = nullptr;
}

Conversation::~Conversation() = default;

std::string Conversation::TakePending() {
  ConversationState& s = state();
  // Joined as a reply is: two blanks between texts, and empty texts said
  // first leave no separator.
  std::string said;
  for (const NameList::Entry& e : s.PendingOutput.entries())
    said += said.empty() ? e.name : "  " + e.name;
  s.PendingOutput.Clear();
  return said;
}

void Conversation::PromoteDuringTurn() {
  if (brain_ != nullptr) return;
  const BrainClass& frozen = shared_->brain();
  ByteWriter bytes;
  std::vector<Item*> from;
  KnowledgeCodec::Encode(frozen, bytes, true, &from);
  ByteReader reader(bytes.bytes(), "knowledge");
  std::vector<Item*> to;
  std::unique_ptr<BrainClass> brain = KnowledgeCodec::Decode(reader, &to);
  brain->paths_ = frozen.paths_;
  brain->line_loader_ = frozen.line_loader_;
  brain->word_index_ = frozen.word_index_;

  // Until the turn ends, shared items still on its stack stand for their
  // copies (TurnRunner::Live).
  auto& live = runner_.live_;
  live.reserve(from.size() + 1);
  for (std::size_t i = 0; i < from.size(); ++i) live.emplace(from[i], to[i]);
  live.emplace(static_cast<const Item*>(&frozen), brain.get());
  auto copy_of = [&](const Item* item) { return live.at(item); };

  ConversationSideTables& side = *state_.side_;
  for (const auto& [pattern, count] : side.hit_counts)
    static_cast<PatternClass*>(copy_of(pattern))->HITCOUNT = count;
  for (const auto& [proc, step] : side.current_steps)
    static_cast<ProcClass*>(copy_of(proc))->CurrentStep = step;
  for (const auto& [collection, picks] : side.picks) {
    auto* c = static_cast<DataCollectionClass*>(copy_of(collection));
    c->MemberPick = picks.member_pick;
    c->MemberPickTime = picks.member_pick_time;
    c->MemberSubPick = picks.member_sub_pick;
    c->MemberSubPickTime = picks.member_sub_pick_time;
  }
  for (auto& [collection, own] : side.changed_collections) {
    auto* c = static_cast<DataCollectionClass*>(copy_of(collection));
    c->Members = std::move(own->Members);
    c->MemberPick = own->MemberPick;
    c->MemberPickTime = own->MemberPickTime;
    c->MemberSubPick = own->MemberSubPick;
    c->MemberSubPickTime = own->MemberSubPickTime;
  }
  for (auto& made : side.new_collections) {
    const std::string name = made->CollectionName;
    brain->AddCollection(name, std::move(made));
  }
  for (const auto& [index, value] : side.fact_values)
    brain->FactValues.SetName(index, value);
  for (int i = 0; i < side.new_fact_names.Count(); ++i) {
    brain->FactNames.Add(side.new_fact_names.At(i));
    brain->FactValues.Add(side.new_fact_values.At(i));
  }
  for (const NameList::Entry& e : side.new_states.entries())
    brain->StateNames.Add(e.name);

  state_.side_.reset();
  static_cast<ConversationState&>(*brain) = std::move(state_);
  brain_ = std::move(brain);
  runner_.knowledge_ = brain_.get();
  runner_.state_ = brain_.get();
}

BrainClass& Conversation::Materialize() {
  if (brain_ == nullptr) {
    PromoteDuringTurn();
    runner_.EndTurn();
  }
  return *brain_;
}

void Conversation::EncodeState(ByteWriter& out) const {
  const ConversationState& s = state();
  if (s.turns_running_ != 0) throw AssertionError(__FILE__, __LINE__);
  out.U64(kStateFormat);
  out.Text(s.Name);
  out.I64(s.CurrentMode);
  out.I64(s.CurrentState);
  out.I64(s.CurrentProc);
  out.Bool(s.HasVolition);
  out.Bool(s.ShowBlankOutput);
  out.Real(s.LastInput);
  for (const std::string* label : {&s.LastPat, &s.LastSPat, &s.LastFrag,
                                   &s.LastResp, &s.LastTask, &s.LastKnow})
    out.Text(*label);
  WriteNames(out, s.ProcStack);
  WriteNames(out, s.StepStack);
  WriteHistory(out, s.InputHistory);
  WriteHistory(out, s.OutputHistory);
  WriteNames(out, s.PendingOutput);
  uint64_t random[4];
  s.random_.GetState(random);
  for (const uint64_t word : random) out.U64(word);
  out.U64(s.seed_);
  out.U64(s.learnt_bytes_);
  out.Bool(s.learning_stopped_);

  const ConversationSideTables* side = s.side_.get();
  out.Bool(side != nullptr);
  if (side == nullptr) return;
  // Each table by the numbers of its items, so the bytes do not depend on
  // where the items lie in memory.
  auto number = [&](const Item* item) {
    const int64_t n = shared_->NumberOf(item);
    if (n < 0) throw AssertionError(__FILE__, __LINE__);
    return static_cast<uint64_t>(n);
  };
  auto by_number = [&](const auto& list) {
    std::vector<std::pair<uint64_t, std::size_t>> order;
    for (std::size_t i = 0; i < list.size(); ++i)
      order.emplace_back(number(list[i].first), i);
    std::sort(order.begin(), order.end());
    return order;
  };
  out.U64(side->hit_counts.size());
  for (const auto& [n, i] : by_number(side->hit_counts)) {
    out.U64(n);
    out.I64(side->hit_counts[i].second);
  }
  out.U64(side->current_steps.size());
  for (const auto& [n, i] : by_number(side->current_steps)) {
    out.U64(n);
    out.Text(side->current_steps[i].second);
  }
  out.U64(side->picks.size());
  for (const auto& [n, i] : by_number(side->picks)) {
    out.U64(n);
    WritePicks(out, side->picks[i].second);
  }
  out.U64(side->changed_collections.size());
  for (const auto& [n, i] : by_number(side->changed_collections)) {
    out.U64(n);
    WriteCollection(out, *side->changed_collections[i].second);
  }
  out.U64(side->new_collections.size());
  for (const auto& made : side->new_collections) WriteCollection(out, *made);
  out.U64(side->fact_values.size());
  for (const auto& [index, value] : side->fact_values) {
    out.U64(static_cast<uint64_t>(index));
    out.Text(value);
  }
  WriteNames(out, side->new_fact_names);
  WriteNames(out, side->new_fact_values);
  WriteNames(out, side->new_states);
}

std::unique_ptr<Conversation> Conversation::RestoreState(
    std::shared_ptr<const SharedKnowledge> knowledge, ByteReader& in,
    std::unique_ptr<BrainClass> private_brain) {
  const uint64_t format = in.U64();
  if (format != kStateFormat)
    in.Fail("the conversation is of format " + std::to_string(format) +
            ", not " + std::to_string(kStateFormat));
  const SharedKnowledge& shared = *knowledge;
  std::unique_ptr<Conversation> conversation(
      new Conversation(std::move(knowledge), Adopt{}));
  ConversationState s;
  s.Name = in.Text();
  const int64_t mode = in.I64();
  const int64_t state = in.I64();
  const int64_t proc = in.I64();
  s.HasVolition = in.Bool();
  s.ShowBlankOutput = in.Bool();
  s.LastInput = in.Real();
  for (std::string* label : {&s.LastPat, &s.LastSPat, &s.LastFrag, &s.LastResp,
                             &s.LastTask, &s.LastKnow})
    *label = in.Text();
  ReadNames(in, s.ProcStack, in.left());
  ReadNames(in, s.StepStack, in.left());
  ReadHistory(in, s.InputHistory);
  ReadHistory(in, s.OutputHistory);
  ReadNames(in, s.PendingOutput, in.left());
  for (NameList* list : {&s.ProcStack, &s.StepStack, &s.PendingOutput})
    if (list->sorted()) in.Fail("a history is sorted");
  if (s.ProcStack.Count() != s.StepStack.Count())
    in.Fail("the procedure and step stacks differ in length");
  uint64_t random[4];
  for (uint64_t& word : random) word = in.U64();
  if (!s.random_.SetState(random)) in.Fail("the generator's state is zero");
  s.seed_ = in.U64();
  s.learnt_bytes_ =
      static_cast<std::size_t>(in.U64At(kMaxLearntBytes, "what was learnt"));
  s.learning_stopped_ = in.Bool();

  const bool has_side = in.Bool();
  if (has_side == (private_brain != nullptr))
    in.Fail(has_side ? "a promoted conversation has side tables"
                     : "the conversation's knowledge is missing");
  const BrainClass& frozen = shared.brain();
  if (has_side) {
    auto side = std::make_unique<ConversationSideTables>(frozen.name_folding());
    auto item = [&](ObjectKind kind) -> Item* {
      Item* found = shared.ItemNumbered(in.U64());
      if (found == nullptr || found->kind() != kind)
        in.Fail("a side table names an item the knowledge lacks");
      return found;
    };
    std::size_t n = in.Count();
    for (std::size_t i = 0; i < n; ++i) {
      const auto* p =
          static_cast<const PatternClass*>(item(ObjectKind::kPattern));
      side->hit_counts.emplace_back(p, in.I32());
    }
    n = in.Count();
    for (std::size_t i = 0; i < n; ++i) {
      const auto* p = static_cast<const ProcClass*>(item(ObjectKind::kProc));
      side->current_steps.emplace_back(p, in.Text());
    }
    n = in.Count();
    for (std::size_t i = 0; i < n; ++i) {
      const auto* c = static_cast<const DataCollectionClass*>(
          item(ObjectKind::kCollection));
      side->picks.emplace_back(c, ReadPicks(in));
    }
    n = in.Count();
    for (std::size_t i = 0; i < n; ++i) {
      const auto* c = static_cast<const DataCollectionClass*>(
          item(ObjectKind::kCollection));
      std::unique_ptr<DataCollectionClass> own = ReadCollection(in, frozen.name_folding());
      own->CollectionName = c->CollectionName;
      own->ObjectName = c->ObjectName;
      own->Owner = c->Owner;
      side->changed_collections.emplace_back(c, std::move(own));
    }
    n = in.Count();
    for (std::size_t i = 0; i < n; ++i) {
      std::unique_ptr<DataCollectionClass> made = ReadCollection(in, frozen.name_folding());
      if (made->CollectionName.empty() ||
          frozen.FindCollection(made->CollectionName) != nullptr ||
          side->new_collection_names.IndexOf(made->CollectionName) >= 0)
        in.Fail("a collection of the conversation shadows another");
      side->new_collection_names.Add(made->CollectionName, made.get());
      side->new_collections.push_back(std::move(made));
    }
    n = in.Count();
    int last = -1;
    for (std::size_t i = 0; i < n; ++i) {
      const uint64_t index = in.U64();
      if (index >= static_cast<uint64_t>(frozen.FactNames.Count()) ||
          static_cast<int>(index) <= last)
        in.Fail("a fact of the knowledge is out of range");
      last = static_cast<int>(index);
      side->fact_values.emplace_back(last, in.Text());
    }
    ReadNames(in, side->new_fact_names, in.left());
    ReadNames(in, side->new_fact_values, in.left());
    ReadNames(in, side->new_states, in.left());
    if (side->new_fact_names.Count() != side->new_fact_values.Count() ||
        side->new_fact_names.sorted() || side->new_fact_values.sorted() ||
        side->new_states.sorted())
      in.Fail("the conversation's facts or states are malformed");
    for (const NameList::Entry& e : side->new_fact_names.entries())
      if (frozen.FactNames.IndexOf(e.name) >= 0)
        in.Fail("a fact of the conversation shadows one of the knowledge");
    for (const NameList::Entry& e : side->new_states.entries())
      if (frozen.StateNames.IndexOf(e.name) >= 0)
        in.Fail("a state of the conversation shadows one of the knowledge");
    SortByKey(side->hit_counts);
    SortByKey(side->current_steps);
    SortByKey(side->picks);
    SortByKey(side->changed_collections);
    auto repeats = [](const auto& list) {
      for (std::size_t i = 1; i < list.size(); ++i)
        if (list[i - 1].first == list[i].first) return true;
      return false;
    };
    if (repeats(side->hit_counts) || repeats(side->current_steps) ||
        repeats(side->picks) || repeats(side->changed_collections))
      in.Fail("a side table names an item twice");
    s.side_ = std::move(side);
  }
  if (!in.done()) in.Fail("bytes follow the conversation");

  // Any 32-bit position is kept as it was: the named-object fields set
  // them to any number, and a turn on a position outside its list fails
  // with IndexError in the restored conversation as in the original.
  for (const int64_t position : {mode, state, proc})
    if (position < INT32_MIN || position > INT32_MAX)
      in.Fail("the current mode, state or procedure is out of range");
  s.CurrentMode = static_cast<int32_t>(mode);
  s.CurrentState = static_cast<int32_t>(state);
  s.CurrentProc = static_cast<int32_t>(proc);

  if (private_brain == nullptr) {
    conversation->state_ = std::move(s);
    return conversation;
  }
  private_brain->paths_ = frozen.paths_;
  private_brain->line_loader_ = frozen.line_loader_;
  private_brain->word_index_ = frozen.word_index_;
  static_cast<ConversationState&>(*private_brain) = std::move(s);
  conversation->brain_ = std::move(private_brain);
  conversation->runner_.knowledge_ = conversation->brain_.get();
  conversation->runner_.state_ = conversation->brain_.get();
  return conversation;
}

}  // namespace corvane
