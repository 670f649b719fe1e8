// The turn itself (Respond, Submit, Start, Stop), output and histories, the
// budgets of a turn, its clock, and the runner's view of what turns change
// in items.
#include "engine/turn_runner.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/error.h"
#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/collection_copy.h"
#include "engine/conversation.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/trace.h"
#include "platform/clock.h"
#include "platform/operator_messages.h"

namespace corvane {
namespace {

// The entry of `key` in a list sorted by key address, or end().
template <typename List, typename Key>
auto FindKey(List& list, const Key* key) {
  const auto at = std::lower_bound(
      list.begin(), list.end(), key,
      [](const auto& entry, const Key* k) { return entry.first < k; });
  return at != list.end() && at->first == key ? at : list.end();
}

// The place of `key` in a list sorted by key address: its entry, or where
// it goes.
template <typename List, typename Key>
auto PlaceOf(List& list, const Key* key) {
  return std::lower_bound(
      list.begin(), list.end(), key,
      [](const auto& entry, const Key* k) { return entry.first < k; });
}

}  // namespace

class TurnRunner::TurnScope {
 public:
  TurnScope(TurnRunner& turn, const double* now) : turn_(turn) {
    ConversationState& state = turn.state();
    outermost_ = state.turns_running_ == 0;
    if (outermost_) state.turn_clock_ = now != nullptr ? *now : NowDateTime();
    ++state.turns_running_;
  }
  // The state may be another object by now (a promotion moved it into the
  // private brain); the runner knows which.
  ~TurnScope() {
    --turn_.state().turns_running_;
    if (outermost_) turn_.EndTurn();
  }
  TurnScope(const TurnScope&) = delete;
  TurnScope& operator=(const TurnScope&) = delete;

 private:
  TurnRunner& turn_;
  bool outermost_ = false;
};

void TurnRunner::EndTurn() {
  live_.clear();
}

bool TurnRunner::on_shared_knowledge() const {
  return state_->side_ != nullptr;
}

void TurnRunner::Promote() {
  if (!on_shared_knowledge()) return;
  if (owner_ == nullptr) throw AssertionError(__FILE__, __LINE__);
  owner_->PromoteDuringTurn();
}

double TurnRunner::Now() const {
  return state_->turns_running_ > 0 ? state_->turn_clock_ : NowDateTime();
}

void TurnRunner::TouchLastInput() {
  double now = Now();
  ConversationState& s = *state_;
  if (!(now > s.LastInput))
    now = std::nextafter(s.LastInput, std::numeric_limits<double>::infinity());
  s.LastInput = now;
}

void TurnRunner::RecordInput(const std::string& text) {
  state_->InputHistory.Push(text, kHistoryLimit, kMaxHistoryBytes);
}

void TurnRunner::RecordOutput(const std::string& text) {
  state_->OutputHistory.Push(text, kHistoryLimit, kMaxHistoryBytes);
}

void TurnRunner::Say(const std::string& text) {
  RecordOutput(text);
  ConversationState& s = *state_;
  if (s.OutputHandler)
    s.OutputHandler(text);
  else
    s.PendingOutput.Add(text);
}

std::string TurnRunner::CurrentStateName() const {
  if (state_->CurrentState == -1) return {};
  return StateName(state_->CurrentState);
}

// A conversation may have deleted every mode; then there is nothing to fire,
// and stopping must not fail before the knowledge base is saved.
void TurnRunner::Start() {
  Start(NowDateTime());
}

void TurnRunner::Start(double now) {
  TurnScope turn(*this, &now);
  if (state_->submit_depth_ == 0) state_->turn_tasks_ = 0;
  if (!knowledge_->Modes.empty())
    knowledge_->Modes.At(0)->FireInitialize(*this);
}

void TurnRunner::Stop() {
  TurnScope turn(*this, nullptr);
  if (state_->submit_depth_ == 0) state_->turn_tasks_ = 0;
  if (!knowledge_->Modes.empty()) knowledge_->Modes.At(0)->FireFinalize(*this);
}

bool TurnRunner::ChargeTask() {
  if (state_->turn_tasks_ >= kMaxExecutedTasks) return false;
  ++state_->turn_tasks_;
  return true;
}

bool TurnRunner::ChargeLearnt(std::size_t bytes) {
  ConversationState& s = *state_;
  if (s.turns_running_ == 0) return true;
  if (!s.learning_stopped_ && bytes <= kMaxLearntBytes - s.learnt_bytes_) {
    s.learnt_bytes_ += bytes;
    return true;
  }
  if (!s.learning_stopped_) {
    s.learning_stopped_ = true;
    ShowOperatorMessage("Learning stopped: the conversation has added " +
                        std::to_string(s.learnt_bytes_) +
                        " bytes of knowledge, and the limit is " +
                        std::to_string(kMaxLearntBytes) +
                        "; it goes on answering with what it knows");
  }
  return false;
}

void TurnRunner::Submit(const std::string& input) {
  if (state_->submit_depth_ >= kMaxSubmitDepth) return;
  TurnScope turn(*this, nullptr);
  if (state_->submit_depth_ == 0) state_->turn_tasks_ = 0;
  // The state may move into a private brain during the turn, so the depth
  // is found through the runner when it is undone.
  struct DepthGuard {
    TurnRunner& runner;
    explicit DepthGuard(TurnRunner& r) : runner(r) {
      ++runner.state().submit_depth_;
    }
    ~DepthGuard() { --runner.state().submit_depth_; }
  } guard(*this);
  const int depth = state_->submit_depth_;
  // A traced turn records its phases; a nested one ("Submit This") only
  // what it changes.
  TurnTrace* const trace = state_->trace_;
  struct NestedGuard {
    TurnTrace* target;
    ~NestedGuard() {
      if (target != nullptr) --target->nested;
    }
  } nested{nullptr};
  if (trace != nullptr) {
    if (depth == 1) {
      trace->input = input;
    } else {
      trace->events.push_back({TraceEvent::Kind::kSubmit, 0, input, {}, {}});
      ++trace->nested;
      nested.target = trace;
    }
  }
  const bool outer_trace = trace != nullptr && depth == 1;

  TouchLastInput();
  RecordInput(input);
  if (outer_trace) trace->phase = TurnTrace::Phase::kDoBefore;
  // The count is taken before the first pattern fires. A pattern deleted
  // meanwhile leaves the list, so the index is checked on every pass; the
  // list is that of the knowledge the conversation runs on now.
  const std::size_t before = knowledge_->DoBeforePatterns.size();
  for (std::size_t i = 0; i < before && i < knowledge_->DoBeforePatterns.size();
       ++i)
    knowledge_->DoBeforePatterns[i]->Fire(*this, input);
  // Read only now, so that a procedure the "Do-Before" patterns started or
  // ended already governs this turn.
  if (state_->CurrentProc != -1) {
    ProcClass* proc = knowledge_->Procs.At(state_->CurrentProc);
    if (outer_trace) {
      trace->answerer = TurnTrace::Answerer::kStep;
      trace->procedure = proc->Name;
      trace->step = CurrentStepOf(*proc);
      trace->phase = TurnTrace::Phase::kAnswer;
    }
    proc->Handle(*this, input);
    if (outer_trace) trace->phase = TurnTrace::Phase::kNone;
    return;
  }
  if (state_->CurrentMode == -1) {
    if (outer_trace) trace->answerer = TurnTrace::Answerer::kNoMode;
    Say("Sorry, I do not know anything at all yet!");
  } else {
    KnowledgeClass* mode = knowledge_->Modes.At(state_->CurrentMode);
    if (outer_trace) {
      trace->answerer = TurnTrace::Answerer::kMode;
      trace->mode = mode->Name;
      trace->phase = TurnTrace::Phase::kAnswer;
    }
    mode->Answer(*this, input);
  }
  if (outer_trace) trace->phase = TurnTrace::Phase::kDoAfter;
  const std::size_t after = knowledge_->DoAfterPatterns.size();
  for (std::size_t i = 0; i < after && i < knowledge_->DoAfterPatterns.size();
       ++i)
    knowledge_->DoAfterPatterns[i]->Fire(*this, input);
  if (outer_trace) trace->phase = TurnTrace::Phase::kNone;
}

std::string TurnRunner::Respond(const std::string& input) {
  return Respond(input, NowDateTime());
}

std::string TurnRunner::Respond(const std::string& input, double now) {
  {
    TurnScope turn(*this, &now);
    Submit(input);
  }
  ConversationState& s = *state_;
  std::string reply;
  for (const NameList::Entry& e : s.PendingOutput.entries()) {
    if (reply.empty()) {
      // An empty reply takes the next text as it is, so empty texts said
      // first leave no separator behind.
      reply = e.name;
    } else {
      reply += "  ";
      reply += e.name;
    }
  }
  s.PendingOutput.Clear();
  if (s.trace_ != nullptr) s.trace_->reply = reply;
  return reply;
}

// ---- The view ----

int32_t TurnRunner::HitCount(const PatternClass& p) const {
  const PatternClass* pattern = Live(&p);
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return pattern->HITCOUNT;
  const auto found = FindKey(side->hit_counts, pattern);
  return found == side->hit_counts.end() ? pattern->HITCOUNT : found->second;
}

void TurnRunner::SetHitCount(PatternClass& p, int32_t count) {
  PatternClass* pattern = Live(&p);
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) {
    pattern->HITCOUNT = count;
    return;
  }
  auto& list = side->hit_counts;
  const auto at = PlaceOf(list, static_cast<const PatternClass*>(pattern));
  const bool present = at != list.end() && at->first == pattern;
  if (count == pattern->HITCOUNT) {
    if (present) list.erase(at);
  } else if (present) {
    at->second = count;
  } else {
    list.insert(at, {pattern, count});
  }
}

void TurnRunner::ResetHits(KnowledgeClass& m) {
  KnowledgeClass* mode = Live(&m);
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) {
    for (int i = 0; i < mode->Patterns.Count(); ++i)
      mode->Patterns.At(i)->HITCOUNT = 0;
    return;
  }
  // Shared hit counts are 0: the mode's patterns (those attached to it)
  // leave the table.
  std::erase_if(side->hit_counts, [&](const auto& entry) {
    return entry.first->Mode == mode && entry.first->ordinal() != 0;
  });
}

void TurnRunner::ClearVolitionMarks(KnowledgeClass& mode) {
  // Marks are set only through "Self Modify", which gives a conversation
  // its private knowledge first; shared modes have none.
  if (mode.MarkedPatterns.empty()) return;
  for (std::size_t i = 0; i < mode.MarkedPatterns.size(); ++i)
    mode.MarkedPatterns[i]->ClearLastVolition();
  mode.MarkedPatterns.clear();
}

const std::string& TurnRunner::CurrentStepOf(const ProcClass& p) const {
  const ProcClass* proc = Live(&p);
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return proc->CurrentStep;
  const auto found = FindKey(side->current_steps, proc);
  return found == side->current_steps.end() ? proc->CurrentStep : found->second;
}

void TurnRunner::SetCurrentStep(ProcClass& p, const std::string& step) {
  ProcClass* proc = Live(&p);
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) {
    proc->CurrentStep = step;
    return;
  }
  auto& list = side->current_steps;
  const auto at = PlaceOf(list, static_cast<const ProcClass*>(proc));
  const bool present = at != list.end() && at->first == proc;
  if (step == proc->CurrentStep) {
    if (present) list.erase(at);
  } else if (present) {
    at->second = step;
  } else {
    list.insert(at, {proc, step});
  }
}

StepClass* TurnRunner::CurrentStepItem(const ProcClass& proc) const {
  return Live(&proc)->StepNamed(CurrentStepOf(proc));
}

DataCollectionClass* TurnRunner::FindCollection(std::string_view name) const {
  DataCollectionClass* found = knowledge_->FindCollection(name);
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return found;
  if (found != nullptr) {
    const auto changed =
        FindKey(side->changed_collections,
                static_cast<const DataCollectionClass*>(found));
    return changed == side->changed_collections.end() ? found
                                                      : changed->second.get();
  }
  const int index = side->new_collection_names.IndexOf(name);
  if (index < 0) return nullptr;
  return static_cast<DataCollectionClass*>(
      side->new_collection_names.ObjectAt(index));
}

DataCollectionClass* TurnRunner::FindOrCreateCollection(
    const std::string& name) {
  if (DataCollectionClass* found = FindCollection(name)) return Writable(found);
  if (name.empty()) return nullptr;
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr)
    return knowledge_->AddCollection(name,
                                     std::make_unique<DataCollectionClass>());
  auto made = std::make_unique<DataCollectionClass>();
  made->CollectionName = name;
  made->Members.SetFolding(knowledge_->name_folding());
  DataCollectionClass* added = made.get();
  side->new_collections.push_back(std::move(made));
  side->new_collection_names.Add(name, added);
  return added;
}

namespace {

// Whether a conversation with side tables owns `c` (a copy or one it made).
bool OwnCollection(const ConversationSideTables& side,
                   const DataCollectionClass* c) {
  for (const auto& entry : side.changed_collections)
    if (entry.second.get() == c) return true;
  for (const auto& made : side.new_collections)
    if (made.get() == c) return true;
  return false;
}

}  // namespace

DataCollectionClass* TurnRunner::Writable(DataCollectionClass* collection) {
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr || collection == nullptr ||
      OwnCollection(*side, collection))
    return collection;
  auto& list = side->changed_collections;
  const DataCollectionClass* key = collection;
  const auto at = PlaceOf(list, key);
  if (at != list.end() && at->first == key) return at->second.get();
  std::unique_ptr<DataCollectionClass> copy = CopyCollection(*collection);
  // The picks move with it.
  const auto picks = FindKey(side->picks, key);
  if (picks != side->picks.end()) {
    copy->MemberPick = picks->second.member_pick;
    copy->MemberPickTime = picks->second.member_pick_time;
    copy->MemberSubPick = picks->second.member_sub_pick;
    copy->MemberSubPickTime = picks->second.member_sub_pick_time;
    side->picks.erase(picks);
  }
  DataCollectionClass* own = copy.get();
  list.insert(at, {key, std::move(copy)});
  return own;
}

CollectionPicks TurnRunner::PicksOf(const DataCollectionClass& c) const {
  const ConversationSideTables* side = state_->side_.get();
  if (side != nullptr && !OwnCollection(*side, &c)) {
    const auto found = FindKey(side->picks, &c);
    if (found != side->picks.end()) return found->second;
  }
  CollectionPicks picks;
  picks.member_pick = c.MemberPick;
  picks.member_pick_time = c.MemberPickTime;
  picks.member_sub_pick = c.MemberSubPick;
  picks.member_sub_pick_time = c.MemberSubPickTime;
  return picks;
}

bool TurnRunner::RememberedPick(const DataCollectionClass& c, bool sub,
                                std::string* pick) const {
  const double last_input = state_->LastInput;
  const ConversationSideTables* side = state_->side_.get();
  if (side != nullptr && !OwnCollection(*side, &c)) {
    const auto found = FindKey(side->picks, &c);
    if (found != side->picks.end()) {
      const CollectionPicks& p = found->second;
      const double time = sub ? p.member_sub_pick_time : p.member_pick_time;
      if (time != last_input) return false;
      *pick = sub ? p.member_sub_pick : p.member_pick;
      return true;
    }
  }
  const double time = sub ? c.MemberSubPickTime : c.MemberPickTime;
  if (time != last_input) return false;
  *pick = sub ? c.MemberSubPick : c.MemberPick;
  return true;
}

void TurnRunner::RememberPick(DataCollectionClass& c, bool sub,
                              const std::string& pick) {
  const double last_input = state_->LastInput;
  ConversationSideTables* side = state_->side_.get();
  if (side != nullptr && !OwnCollection(*side, &c)) {
    auto& list = side->picks;
    const DataCollectionClass* key = &c;
    auto at = PlaceOf(list, key);
    if (at == list.end() || at->first != key)
      at = list.insert(at, {key, CollectionPicks()});
    if (sub) {
      at->second.member_sub_pick = pick;
      at->second.member_sub_pick_time = last_input;
    } else {
      at->second.member_pick = pick;
      at->second.member_pick_time = last_input;
    }
    return;
  }
  if (sub) {
    c.MemberSubPick = pick;
    c.MemberSubPickTime = last_input;
  } else {
    c.MemberPick = pick;
    c.MemberPickTime = last_input;
  }
}

std::vector<DataCollectionClass*> TurnRunner::AllCollections() const {
  std::vector<DataCollectionClass*> all;
  for (const NameList::Entry& e : knowledge_->Collections.entries())
    all.push_back(FindCollection(e.name));
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return all;
  for (const NameList::Entry& e : side->new_collection_names.entries())
    all.push_back(static_cast<DataCollectionClass*>(e.object));
  const NameList& order = knowledge_->Collections;
  std::stable_sort(
      all.begin(), all.end(),
      [&order](const DataCollectionClass* a, const DataCollectionClass* b) {
        return order.Compare(a->CollectionName, b->CollectionName) < 0;
      });
  return all;
}

int TurnRunner::FactCount() const {
  const ConversationSideTables* side = state_->side_.get();
  return knowledge_->FactNames.Count() +
         (side != nullptr ? side->new_fact_names.Count() : 0);
}

const std::string& TurnRunner::FactName(int i) const {
  const int base = knowledge_->FactNames.Count();
  const ConversationSideTables* side = state_->side_.get();
  if (i < base || side == nullptr) return knowledge_->FactNames.At(i);
  return side->new_fact_names.At(i - base);
}

const std::string& TurnRunner::FactValue(int i) const {
  const int base = knowledge_->FactNames.Count();
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return knowledge_->FactValues.At(i);
  if (i >= base) return side->new_fact_values.At(i - base);
  const auto at = std::lower_bound(
      side->fact_values.begin(), side->fact_values.end(), i,
      [](const auto& entry, int k) { return entry.first < k; });
  if (at != side->fact_values.end() && at->first == i) return at->second;
  return knowledge_->FactValues.At(i);
}

int TurnRunner::StateCount() const {
  const ConversationSideTables* side = state_->side_.get();
  return knowledge_->StateNames.Count() +
         (side != nullptr ? side->new_states.Count() : 0);
}

const std::string& TurnRunner::StateName(int i) const {
  const int base = knowledge_->StateNames.Count();
  const ConversationSideTables* side = state_->side_.get();
  if (i < base || side == nullptr) return knowledge_->StateNames.At(i);
  return side->new_states.At(i - base);
}

int TurnRunner::StateIndexOf(std::string_view name) const {
  const int index = knowledge_->StateNames.IndexOf(name);
  const ConversationSideTables* side = state_->side_.get();
  if (index >= 0 || side == nullptr) return index;
  const int own = side->new_states.IndexOf(name);
  return own < 0 ? -1 : knowledge_->StateNames.Count() + own;
}

void TurnRunner::RegisterState(const std::string& name) {
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) {
    knowledge_->AddState(name);
    return;
  }
  if (StateIndexOf(name) < 0) side->new_states.Add(name);
  if (StateCount() == 1) state_->CurrentState = 0;
}

}  // namespace corvane
