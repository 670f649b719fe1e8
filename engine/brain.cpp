#include "engine/brain.h"

#include <cmath>
#include <limits>

#include "engine/collection.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/trace.h"
#include "platform/clock.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"

namespace corvane {

BrainClass::BrainClass(OutputHandlerFn output_handler)
    : Item(kKind), OutputHandler(std::move(output_handler)), random_(ClockSeed()) {
  AddMode("Default", std::make_unique<KnowledgeClass>());
  AddState("Normal");
  LastInput = NowDateTime();
  NamedObjects.Add(Name, static_cast<Item*>(this));
}

BrainClass::~BrainClass() = default;

KnowledgeClass* BrainClass::AddMode(const std::string& name,
                                    std::unique_ptr<KnowledgeClass> mode) {
  HasVolition = HasVolition || mode->HasVolition;
  mode->Name = name;
  mode->Owner = this;
  KnowledgeClass* added = mode.get();
  const int index = ModeNames.IndexOf(name);
  if (index < 0) {
    ModeNames.Add(name);
    Modes.Add(std::move(mode));
  } else {
    // The replaced mode stays alive: registries and running firings may
    // still refer to it or to its patterns.
    Park(Modes.Replace(index, std::move(mode)));
  }
  if (Modes.Count() == 1) CurrentMode = 0;
  LastKnow = added->ObjectName;
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

void BrainClass::AddState(const std::string& name) {
  if (StateNames.IndexOf(name) < 0) StateNames.Add(name);
  if (StateNames.Count() == 1) CurrentState = 0;
}

ProcClass* BrainClass::AddProc(const std::string& name,
                               std::unique_ptr<ProcClass> proc) {
  ProcClass* added = proc.get();
  proc->Owner = this;
  if (name.empty()) {
    // Not registered, but kept alive so that the caller's steps still have
    // a brain to reach.
    Park(std::move(proc));
    return added;
  }
  proc->Name = name;
  const int index = ProcNames.IndexOf(name);
  if (index < 0) {
    ProcNames.Add(name);
    Procs.Add(std::move(proc));
  } else {
    Park(Procs.Replace(index, std::move(proc)));
  }
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

DataCollectionClass* BrainClass::AddCollection(
    const std::string& name, std::unique_ptr<DataCollectionClass> collection) {
  DataCollectionClass* added = collection.get();
  collection->Owner = this;
  if (name.empty()) {
    Park(std::move(collection));
    return added;
  }
  collection->CollectionName = name;
  // The store keeps every collection ever registered, so a replaced or
  // deleted one stays alive for whoever still refers to it.
  collection_store_.push_back(std::move(collection));
  const int index = Collections.IndexOf(name);
  if (index < 0)
    Collections.Add(name, added);
  else
    Collections.SetObject(index, added);
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

void BrainClass::RegisterNamedObject(const std::string& name, Item* item) {
  if (!name.empty()) NamedObjects.Add(name, item);
}

void BrainClass::PushHistory(NameList& list, const std::string& text,
                             std::size_t& bytes, int& count) {
  if (list.Count() != count) {
    bytes = 0;
    for (const NameList::Entry& e : list.entries()) bytes += e.name.size();
  }
  if (list.empty())
    list.Add(text);
  else
    list.Insert(0, text);
  bytes += text.size();
  while (list.Count() > 1 &&
         (list.Count() > kHistoryLimit || bytes > kMaxHistoryBytes)) {
    bytes -= list.At(list.Count() - 1).size();
    list.Delete(list.Count() - 1);
  }
  count = list.Count();
}

void BrainClass::RecordInput(const std::string& text) {
  PushHistory(InputHistory, text, input_history_bytes_, input_history_count_);
}

void BrainClass::RecordOutput(const std::string& text) {
  PushHistory(OutputHistory, text, output_history_bytes_,
              output_history_count_);
}

void BrainClass::Say(const std::string& text) {
  RecordOutput(text);
  if (OutputHandler)
    OutputHandler(text);
  else
    PendingOutput.Add(text);
}

std::string BrainClass::CurrentStateName() const {
  if (CurrentState == -1) return {};
  return StateNames.At(CurrentState);
}

class BrainClass::TurnScope {
 public:
  explicit TurnScope(BrainClass& brain) : brain_(brain) {
    ++brain_.turns_running_;
  }
  ~TurnScope() { --brain_.turns_running_; }
  TurnScope(const TurnScope&) = delete;
  TurnScope& operator=(const TurnScope&) = delete;

 private:
  BrainClass& brain_;
};

// A conversation may have deleted every mode; then there is nothing to fire,
// and stopping must not fail before the knowledge base is saved.
void BrainClass::Start() {
  TurnScope turn(*this);
  if (submit_depth_ == 0) turn_tasks_ = 0;
  if (!Modes.empty()) Modes.At(0)->FireInitialize();
}

void BrainClass::Stop() {
  TurnScope turn(*this);
  if (submit_depth_ == 0) turn_tasks_ = 0;
  if (!Modes.empty()) Modes.At(0)->FireFinalize();
}

bool BrainClass::ChargeTask() {
  if (turn_tasks_ >= kMaxExecutedTasks) return false;
  ++turn_tasks_;
  return true;
}

bool BrainClass::ChargeLearnt(std::size_t bytes) {
  if (turns_running_ == 0) return true;
  if (!learning_stopped_ && bytes <= kMaxLearntBytes - learnt_bytes_) {
    learnt_bytes_ += bytes;
    return true;
  }
  if (!learning_stopped_) {
    learning_stopped_ = true;
    ShowOperatorMessage("Learning stopped: the conversation has added " +
                        std::to_string(learnt_bytes_) +
                        " bytes of knowledge, and the limit is " +
                        std::to_string(kMaxLearntBytes) +
                        "; it goes on answering with what it knows");
  }
  return false;
}

void BrainClass::TouchLastInput() {
  double now = NowDateTime();
  if (!(now > LastInput))
    now = std::nextafter(LastInput, std::numeric_limits<double>::infinity());
  LastInput = now;
}

void BrainClass::Submit(const std::string& input) {
  if (submit_depth_ >= kMaxSubmitDepth) return;
  TurnScope turn(*this);
  if (submit_depth_ == 0) turn_tasks_ = 0;
  struct DepthGuard {
    int& depth;
    explicit DepthGuard(int& d) : depth(d) { ++depth; }
    ~DepthGuard() { --depth; }
  } guard(submit_depth_);
  // A traced turn records its phases; a nested one ("Submit This") only
  // what it changes.
  TurnTrace* const trace = trace_;
  struct NestedGuard {
    TurnTrace* target;
    ~NestedGuard() {
      if (target != nullptr) --target->nested;
    }
  } nested{nullptr};
  if (trace != nullptr) {
    if (submit_depth_ == 1) {
      trace->input = input;
    } else {
      trace->events.push_back({TraceEvent::Kind::kSubmit, 0, input, {}, {}});
      ++trace->nested;
      nested.target = trace;
    }
  }
  const bool outer_trace = trace != nullptr && submit_depth_ == 1;

  TouchLastInput();
  RecordInput(input);
  if (outer_trace) trace->phase = TurnTrace::Phase::kDoBefore;
  // The count is taken before the first pattern fires. A pattern deleted
  // meanwhile leaves the list, so the index is checked on every pass.
  const std::size_t before = DoBeforePatterns.size();
  for (std::size_t i = 0; i < before && i < DoBeforePatterns.size(); ++i)
    DoBeforePatterns[i]->Fire(input);
  // Read only now, so that a procedure the "Do-Before" patterns started or
  // ended already governs this turn.
  if (CurrentProc != -1) {
    ProcClass* proc = Procs.At(CurrentProc);
    if (outer_trace) {
      trace->answerer = TurnTrace::Answerer::kStep;
      trace->procedure = proc->Name;
      trace->step = proc->CurrentStep;
      trace->phase = TurnTrace::Phase::kAnswer;
    }
    proc->Handle(input);
    if (outer_trace) trace->phase = TurnTrace::Phase::kNone;
    return;
  }
  if (CurrentMode == -1) {
    if (outer_trace) trace->answerer = TurnTrace::Answerer::kNoMode;
    Say("Sorry, I do not know anything at all yet!");
  } else {
    KnowledgeClass* mode = Modes.At(CurrentMode);
    if (outer_trace) {
      trace->answerer = TurnTrace::Answerer::kMode;
      trace->mode = mode->Name;
      trace->phase = TurnTrace::Phase::kAnswer;
    }
    mode->Answer(input);
  }
  if (outer_trace) trace->phase = TurnTrace::Phase::kDoAfter;
  const std::size_t after = DoAfterPatterns.size();
  for (std::size_t i = 0; i < after && i < DoAfterPatterns.size(); ++i)
    DoAfterPatterns[i]->Fire(input);
  if (outer_trace) trace->phase = TurnTrace::Phase::kNone;
}

std::string BrainClass::Respond(const std::string& input) {
  Submit(input);
  std::string reply;
  for (const NameList::Entry& e : PendingOutput.entries()) {
    if (reply.empty()) {
      // An empty reply takes the next text as it is, so empty texts said
      // first leave no separator behind.
      reply = e.name;
    } else {
      reply += "  ";
      reply += e.name;
    }
  }
  PendingOutput.Clear();
  if (trace_ != nullptr) trace_->reply = reply;
  return reply;
}

DataCollectionClass* BrainClass::FindCollection(std::string_view name) const {
  const int index = Collections.IndexOf(name);
  if (index < 0) return nullptr;
  return static_cast<DataCollectionClass*>(Collections.ObjectAt(index));
}

DataCollectionClass* BrainClass::FindOrCreateCollection(const std::string& name) {
  if (DataCollectionClass* found = FindCollection(name)) return found;
  if (name.empty()) return nullptr;
  return AddCollection(name, std::make_unique<DataCollectionClass>());
}

void BrainClass::NoteEvent(int kind, std::string text, std::string value) {
  TraceEvent event;
  event.kind = static_cast<TraceEvent::Kind>(kind);
  event.text = std::move(text);
  event.value = std::move(value);
  trace_->events.push_back(std::move(event));
}

void BrainClass::NoteProcedure() {
  if (CurrentProc >= 0 && CurrentProc < Procs.Count()) {
    const ProcClass* proc = Procs.At(CurrentProc);
    NoteEvent(static_cast<int>(TraceEvent::Kind::kProcedure), proc->Name,
              proc->CurrentStep);
  } else {
    NoteEvent(static_cast<int>(TraceEvent::Kind::kProcedure), {}, {});
  }
}

void BrainClass::NoteFactSource(std::string_view name, SourceLocation source) {
  fact_sources_[UpperAscii(name)] = std::move(source);
}

const SourceLocation* BrainClass::FactSource(std::string_view name) const {
  const auto found = fact_sources_.find(UpperAscii(name));
  return found == fact_sources_.end() ? nullptr : &found->second;
}

Item* BrainClass::FindNamedObject(std::string_view label) const {
  const int index = NamedObjects.IndexOf(label);
  if (index < 0) return nullptr;
  return static_cast<Item*>(NamedObjects.ObjectAt(index));
}

}  // namespace corvane
