// The conversation engine: one BrainClass holds a whole knowledge base
// (modes, states, procedures, facts, collections), the conversation's
// position in it, the registry of named objects, the input and output
// histories and the output of the turn in progress.
//
// Ownership: the brain owns its modes and procedures (owning lists), its
// collections, and every item that was replaced or deleted while it lives
// (parked until the brain is destroyed, so that no registry entry and no
// running operation ever points at a released object). NamedObjects,
// DoBeforePatterns and DoAfterPatterns hold plain pointers.
//
// Not thread-safe: one input turn at a time. Each brain has its own random
// generator and its own path mapper, so brains on different threads share
// nothing.
#ifndef CORVANE_ENGINE_BRAIN_H_
#define CORVANE_ENGINE_BRAIN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/name_list.h"
#include "base/owning_list.h"
#include "base/random.h"
#include "engine/item.h"
#include "platform/files.h"

namespace corvane {

class DataCollectionClass;
class KnowledgeClass;
class PatternClass;
class ProcClass;
class Scorer;
class StepPatternClass;
struct TurnTrace;

class BrainClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kBrain;
  using OutputHandlerFn = std::function<void(const std::string&)>;
  // Reads texts as language-file lines into the brain ("Make Code"). The
  // language-file library provides it; the engine cannot depend on it.
  using LineLoaderFn =
      std::function<void(BrainClass&, const std::vector<std::string>&)>;

  // A brain with the mode "Default" and the state "Normal", both current,
  // "MyBrain" registered, LastInput now and its generator seeded from the
  // clock. With an output handler, said texts go to it instead of
  // PendingOutput.
  explicit BrainClass(OutputHandlerFn output_handler = nullptr);
  ~BrainClass();

  // ---- Registration (attaching items to the brain) ----

  // Registers `mode` under `name`, replacing a mode of that name in place
  // (the replaced one is parked). Returns the registered mode.
  KnowledgeClass* AddMode(const std::string& name,
                          std::unique_ptr<KnowledgeClass> mode);
  // Adds a state name unless present; makes it current when it is the only one.
  void AddState(const std::string& name);
  // Registers a procedure; an empty name registers nothing (the procedure is
  // parked so that the caller may go on using it). Returns the procedure.
  ProcClass* AddProc(const std::string& name, std::unique_ptr<ProcClass> proc);
  // Registers a collection in the sorted Collections; an empty name
  // registers nothing (parked, as for AddProc). Returns the collection.
  DataCollectionClass* AddCollection(const std::string& name,
                                     std::unique_ptr<DataCollectionClass> c);
  // Appends (name, item) to NamedObjects when name is not empty.
  void RegisterNamedObject(const std::string& name, Item* item);

  // ---- Output and history ----

  // The single way anything is said: recorded in OutputHistory, then given
  // to OutputHandler or appended to PendingOutput.
  void Say(const std::string& text);
  // Push a text onto InputHistory (OutputHistory) as its newest entry. The
  // history keeps at most kHistoryLimit entries and, but for the newest,
  // which stays whole whatever its size, at most kMaxHistoryBytes of text;
  // the oldest leave first.
  void RecordInput(const std::string& text);
  void RecordOutput(const std::string& text);
  // The name at CurrentState; empty when it is -1.
  std::string CurrentStateName() const;

  // ---- Turns ----

  // Fires the start patterns of the first mode; costs what they do.
  void Start();
  // Fires the stop patterns of the first mode; costs what they do.
  void Stop();
  // One input turn; returns everything said, joined with two blanks. Throws
  // whatever a firing throws; PendingOutput then keeps what was said.
  std::string Respond(const std::string& input);
  // The turn without collecting the reply. Nested deeper than
  // kMaxSubmitDepth inside one turn, it does nothing.
  void Submit(const std::string& input);
  // Counts one task against the turn's budget of kMaxExecutedTasks (a turn
  // being an outermost Submit, Start or Stop, with everything nested in it);
  // false once the budget is spent, when the task must not run.
  bool ChargeTask();
  // Counts `bytes` against what the conversation may add to the brain's
  // knowledge (kMaxLearntBytes: learnt patterns, responses and fragments,
  // lines read by "Make Code", collection members, new facts). Only what a
  // turn (Submit, Start, Stop) adds counts; outside one, true and nothing
  // counted. When the bytes do not fit, learning stops: the operator is
  // told, and this and every later call during a turn answer false, and
  // the caller adds nothing.
  bool ChargeLearnt(std::size_t bytes);
  // What turns have added so far, in the units of ChargeLearnt.
  std::size_t learnt_bytes() const { return learnt_bytes_; }

  // ---- State operations ----

  void SetMode(const std::string& name);
  void SetState(const std::string& name);
  void ClearState();
  void StartProc(const std::string& name);
  void SetStep(const std::string& name);
  void EndProc();
  void CallProc(const std::string& name);
  // Throws IndexError when the stacked procedure or step no longer exists.
  void ProcReturn();
  void SetFact(const std::string& name, const std::string& value);
  // The fact's value; "#" when there is no such fact.
  std::string GetFact(std::string_view name) const;
  // Matches an upper-cased template against the input and stores the
  // extracted texts. Throws LimitError for more than 50 segments.
  bool ExtractFacts(const std::string& templ, const std::string& input);
  // "TIME", "DATE", "AGE" (key upper-cased, not trimmed); "*" otherwise.
  std::string SystemValue(const std::string& key) const;
  void AddMember(const std::string& collection, const std::string& member);
  void RemoveMember(const std::string& collection, const std::string& member);
  void ResetAllHits();
  // Appends text + CR LF to the file, opened beneath the file root
  // (PathMapper::AppendConfined); control bytes of the text (CR, LF, tab,
  // 00 to 1F, 7F) are written as blanks, so one call is one line. Failures
  // and refusals are ignored.
  void LogLine(const std::string& file_name, const std::string& text);
  void DoResponseFor(const std::string& object_name);
  std::string RecallInput(std::string_view position) const;
  std::string RecallOutput(std::string_view position) const;
  // A capital from A to Y.
  char RandomLetter();
  // "Auto-" and ten letters, not yet an entry of NamedObjects.
  std::string AutoName();
  static std::string ResponseTypeName(int code);
  static uint8_t ResponseTypeCode(std::string_view text);
  static std::string RelationName(int code);
  static uint8_t RelationCode(std::string_view text);
  static int32_t TextToInt(std::string_view text);
  static double TextToReal(std::string_view text, double previous);

  // ---- Macros ----

  // Expands the macros of `text` against `input`, on behalf of `pattern` or
  // `step_pattern` (at most one given).
  std::string ExpandMacros(const std::string& text, const std::string& input,
                           PatternClass* pattern,
                           StepPatternClass* step_pattern);
  // What one expansion did, for callers that reuse expansions. A caller
  // may also set the remainder beforehand (remainder_made and the two after
  // it), which the expansion then uses instead of computing it.
  struct ExpansionNotes {
    // Rows whose value was computed (a bit each, see MacroRowBit), by this
    // expansion and every expansion nested in it.
    uint32_t valued_rows = 0;
    uint32_t rows_after = 0;  // Rows with an opening in the result.
    bool remainder_made = false;  // Whether ^Remain{} needed the remainder.
    bool remainder_cut = false;   // Whether it differs from the input.
    std::string remainder;        // The remainder, when it differs.
    uint32_t remainder_rows = 0;  // Rows valued while computing it.
  };
  std::string ExpandMacros(const std::string& text, const std::string& input,
                           PatternClass* pattern, StepPatternClass* step_pattern,
                           ExpansionNotes& notes);
  // The remainder that ^Remain{} gives for `input` on behalf of the pattern
  // or step pattern, with the same effects: false when it is the input
  // itself, else true with the remainder in `rest`. `input_rows`, when
  // given, are the rows with an opening in the input; `valued_rows` gets
  // the rows valued meanwhile.
  bool CutRemainder(const std::string& input, PatternClass* pattern,
                    StepPatternClass* step_pattern, std::string& rest,
                    const uint32_t* input_rows, uint32_t& valued_rows);
  // False when expanding a text whose openings are of `rows`, for the
  // pattern or step pattern, surely gives the text itself and has no
  // effects.
  bool MacroRowsWouldExpand(uint32_t rows, const PatternClass* pattern,
                            const StepPatternClass* step_pattern) const;

  // Expansions kept by the scoring of one pattern for the next patterns of
  // the same choice (see ScoreFragmentsOfInput): the turn's input expanded,
  // and that expanded again. Scratch space; ForgetKeptExpansions frees it.
  struct KeptExpansion {
    bool valid = false;      // Whether the next pattern may reuse it.
    std::string text;        // What was expanded, against itself.
    uint32_t text_rows = 0;  // Rows with an opening in it.
    ExpansionNotes notes;
    std::string result;
    bool have_upper = false;
    std::string upper;  // The result upper-cased, once asked for.
  };
  KeptExpansion kept_input_expansion;
  KeptExpansion kept_second_expansion;
  void ForgetKeptExpansions();

  bool TestCondition(const std::string& condition) const;
  bool CollectionHasWord(const std::string& name, const std::string& text) const;
  bool CollectionHasSubstring(const std::string& name,
                              const std::string& text) const;

  // ---- Named objects ----

  void SetObjectField(const std::string& label, const std::string& field,
                      const std::string& value);
  void DeleteNamedObject(const std::string& label);

  // ---- Knowledge commands ----

  void LoadCollection(const std::string& name, const std::string& file);
  void SaveCollection(const std::string& name, const std::string& file);
  void ClearCollection(const std::string& name);
  void SetUnsorted(const std::string& name);
  void ParseCollection(const std::string& source, const std::string& target,
                       const std::string& text);
  void MergeCollection(const std::string& source, const std::string& target);
  void WordsToCollection(const std::string& text, const std::string& name);
  void MakeCode(const std::string& name);
  void CreateAutoPattern(const std::string& words, const std::string& bonus,
                         const std::string& reply);
  void AddResponseToLastPattern(const std::string& text);
  void AddFragmentToLastPattern(const std::string& text,
                                const std::string& bonus);

  // ---- Word index ----

  // The word index's answer for the phrase from the data files whose path
  // prefix is `directory`; empty when it has none.
  std::string AskWordIndex(const std::string& phrase,
                           const std::string& directory);

  // ---- Helpers of our own ----

  // Records where the language file set the fact `name` (the latest line
  // wins); facts without a record were set by a conversation.
  void NoteFactSource(std::string_view name, SourceLocation source);
  // Where the language file set the fact (ignoring case), or nullptr.
  const SourceLocation* FactSource(std::string_view name) const;

  // The collection registered under `name` (ignoring case), or nullptr.
  DataCollectionClass* FindCollection(std::string_view name) const;
  // The collection of that name, created empty and registered when missing.
  // An empty name gives nullptr.
  DataCollectionClass* FindOrCreateCollection(const std::string& name);
  // The item of the first NamedObjects entry with that label, or nullptr.
  Item* FindNamedObject(std::string_view label) const;
  // Keeps a detached item alive until the brain is destroyed.
  template <typename T>
  void Park(std::unique_ptr<T> item) {
    if (item) parked_.push_back(std::shared_ptr<void>(std::move(item)));
  }

  // Attaches the trace that the following turns fill, or detaches it with
  // nullptr. The brain does not own it; it must outlive the turns.
  void SetTrace(TurnTrace* trace) { trace_ = trace; }
  TurnTrace* trace() const { return trace_; }

  Random& random() { return random_; }
  // Restarts the generator from `seed`, so a conversation replays exactly.
  void Seed(uint64_t seed) { random_.Seed(seed); }
  const PathMapper& paths() const { return paths_; }
  // Files the knowledge base names resolve under `root`.
  void SetFileRoot(const std::string& root) { paths_ = PathMapper(root); }
  // Keeps the host file (the language file, the page template) out of
  // reach of the files a conversation names; call after SetFileRoot.
  void ProtectFile(const std::string& host_path) { paths_.Protect(host_path); }
  void SetLineLoader(LineLoaderFn loader) { line_loader_ = std::move(loader); }
  const LineLoaderFn& line_loader() const { return line_loader_; }
  // The knowledge generation. Modes and steps keep their index up to date
  // as knowledge is attached, edited and deleted through the brain and the
  // knowledge classes; code that changes a pattern's or fragment's fields
  // or lists directly, behind their back, calls NoteKnowledgeChange, and
  // every index is built afresh before the next turn uses it.
  uint64_t KnowledgeGeneration() const { return knowledge_generation_; }
  void NoteKnowledgeChange() { ++knowledge_generation_; }

  // Installs another way of answering in modes and steps (engine/scorer.h),
  // such as the plain reference the tests compare with, or with nullptr
  // restores the engine's own. Not owned; it must outlive its use.
  void SetScorer(Scorer* scorer) { scorer_ = scorer; }
  Scorer* scorer() const { return scorer_; }
  // Sets LastInput to now, or to the next representable value above the
  // previous one when the clock has not advanced, so that every turn has
  // its own time stamp.
  void TouchLastInput();

  // ---- Fields ----

  std::string Name = "MyBrain";           // Own name; field MYNAME.
  int32_t CurrentMode = 0;                // Index into Modes; -1 for none.
  int32_t CurrentState = 0;               // Index into StateNames; -1 for none.
  int32_t CurrentProc = -1;               // Index into Procs; -1 for none.
  NameList ProcNames;                     // Parallel to Procs.
  OwningList<ProcClass> Procs;            // The procedures.
  NameList ModeNames;                     // Parallel to Modes.
  OwningList<KnowledgeClass> Modes;       // Never empty.
  NameList FactNames;                     // Parallel to FactValues.
  NameList FactValues;                    // Values of the facts.
  NameList StateNames;                    // The states; a state is a name.
  OutputHandlerFn OutputHandler;          // Receives said texts when set.
  NameList Collections{NameList::kSorted};  // Name -> DataCollectionClass*.
  bool HasVolition = false;               // Field HASVOLITION.
  double LastInput = 0;                   // Start of the latest turn.
  bool ShowBlankOutput = false;           // Field SHOWBLANKOUTPUT; unused.
  NameList NamedObjects;                  // Label -> Item*; duplicates kept.
  std::vector<PatternClass*> DoBeforePatterns;  // Not owned.
  std::vector<PatternClass*> DoAfterPatterns;   // Not owned.
  std::string LastPat;                    // Label of the last pattern.
  std::string LastSPat;                   // Label of the last step pattern.
  std::string LastFrag;                   // Label of the last fragment.
  std::string LastResp;                   // Label of the last response.
  std::string LastTask;                   // Label of the last task.
  std::string LastKnow;                   // Label of the last mode.
  NameList ProcStack;                     // Suspended procedures, top last.
  NameList StepStack;                     // Their steps, parallel.
  NameList InputHistory;                  // Newest first, at most 100.
  NameList OutputHistory;                 // Newest first, at most 100.
  NameList PendingOutput;                 // Said since the last reply.

 private:
  // Pushes onto a history, whose texts' sizes are summed in `bytes` as
  // long as its count is `count` (a list changed elsewhere is summed again).
  void PushHistory(NameList& list, const std::string& text, std::size_t& bytes,
                   int& count);
  // Counts Submit, Start and Stop for ChargeLearnt while it lives.
  class TurnScope;
  // Trace events; called only with a trace attached. `kind` is a
  // TraceEvent::Kind (an int here, so this header needs no trace types).
  void NoteEvent(int kind, std::string text, std::string value);
  // The running procedure and step, or none.
  void NoteProcedure();

  std::vector<std::unique_ptr<DataCollectionClass>> collection_store_;
  std::vector<std::shared_ptr<void>> parked_;  // Replaced and deleted items.
  std::map<std::string, SourceLocation> fact_sources_;  // Upper-cased name.
  Random random_;
  PathMapper paths_;
  LineLoaderFn line_loader_;
  int submit_depth_ = 0;  // Nesting of Submit inside the current turn.
  uint64_t knowledge_generation_ = 1;
  int32_t turn_tasks_ = 0;  // Tasks the current turn has executed.
  int turns_running_ = 0;   // Nesting of Submit, Start and Stop.
  std::size_t input_history_bytes_ = 0;   // See PushHistory.
  int input_history_count_ = 0;
  std::size_t output_history_bytes_ = 0;
  int output_history_count_ = 0;
  std::size_t learnt_bytes_ = 0;   // See ChargeLearnt.
  bool learning_stopped_ = false;  // The operator was told.
  TurnTrace* trace_ = nullptr;  // Not owned; null when nobody traces.
  Scorer* scorer_ = nullptr;    // Not owned; null for the engine's own.
  uint32_t valued_rows_ = 0;  // Of the expansions under way; see ExpansionNotes.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_BRAIN_H_
