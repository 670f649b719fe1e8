// The trace of one input turn: why the reply is what it is. The turn fills
// a TurnTrace while it runs when one is attached to the brain
// (BrainClass::SetTrace); without one every recording point is a single
// test of a null pointer. The trace holds copies (labels, texts, source
// locations, codes), never pointers into the knowledge, so it stays valid
// when the knowledge changes or the brain is gone. The engine only fills
// it; printing it is the caller's business.
#ifndef CORVANE_ENGINE_TRACE_H_
#define CORVANE_ENGINE_TRACE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/item.h"

namespace corvane {

// One word fragment of a scored pattern.
struct TraceFragment {
  uint8_t relation = 0;      // RELATION code.
  std::string text;          // WORDFRAG as written, else THENAME.
  bool holds = false;        // Whether the fragment's test held.
  int32_t contribution = 0;  // What it added to the pattern's score.
  SourceLocation source;
};

// One scored pattern of the mode or step that answered.
struct TracePattern {
  std::string label;  // ObjectName; may be empty.
  SourceLocation source;
  int32_t score = 0;
  int32_t position = 0;  // 0-based position in its mode or step.
  std::vector<TraceFragment> fragments;
};

// One pattern (or step pattern) that fired.
struct TraceFiring {
  std::string label;
  SourceLocation source;
  int32_t hit_count = 0;  // HITCOUNT after the firing; -1: a step pattern.
  // The group the response came from: kPattern (the pattern's own
  // responses), kThreshold or kState.
  enum class Group : uint8_t { kNone, kPattern, kThreshold, kState };
  Group group = Group::kNone;
  int32_t thresh_from = 0;  // For kThreshold.
  int32_t thresh_to = 0;
  std::string state;  // For kState: the group's STATE.
  SourceLocation group_source;
  bool responded = false;     // False when the group had no response.
  uint8_t response_type = 0;  // RESPONSETYPE of the response picked.
  std::string response_text;  // Its OUTTEXT as written.
  SourceLocation response_source;
};

// Something a turn changed or ran, in the order it happened.
struct TraceEvent {
  enum class Kind : uint8_t {
    kTask,       // A task ran: code = type, text = OUTTEXT as written.
    kMacro,      // A said text had macros: text as written, value expanded.
    kMode,       // The current mode changed: text = new mode.
    kState,      // The current state changed: text = new state.
    kProcedure,  // Procedure or step changed: text = procedure, value = step.
    kFact,       // A fact was set: text = name, value = value.
    kSubmit,     // "Submit This" fed text through the engine.
  };
  Kind kind = Kind::kTask;
  uint8_t code = 0;
  std::string text;
  std::string value;
  SourceLocation source;
};

struct TurnTrace {
  // How many of the best patterns to keep; set by whoever attaches it.
  std::size_t best_limit = 5;

  std::string input;
  std::vector<TraceFiring> do_before;
  // What answered the input after the Do-Before patterns.
  enum class Answerer : uint8_t { kNone, kMode, kStep, kNoMode };
  Answerer answerer = Answerer::kNone;
  std::string mode;       // For kMode: the mode's name.
  std::string procedure;  // For kStep: the procedure's name.
  std::string step;       // For kStep: the step's name.
  // The best scored patterns, best first (the first of equal scores first).
  std::vector<TracePattern> best;
  int32_t candidates = 0;  // How many patterns were scored.
  bool has_winner = false;
  TraceFiring winner;
  std::vector<TraceFiring> do_after;
  std::vector<TraceEvent> events;
  std::string reply;       // The joined reply.
  bool abandoned = false;  // An error abandoned the turn.

  // With record_all_firings, every firing that the lists above do not
  // take (those of "Submit This" turns, and any after the winner) lands in
  // other_firings, so that a coverage count misses none.
  bool record_all_firings = false;
  std::vector<TraceFiring> other_firings;

  // ---- Working state of the turn that fills the trace ----
  // Which part of the turn runs, so a firing pattern knows where it goes.
  enum class Phase : uint8_t { kNone, kDoBefore, kAnswer, kDoAfter };
  Phase phase = Phase::kNone;
  // Nesting of "Submit This" turns inside this one; their scoring and
  // firings are not recorded, only what they change.
  int nested = 0;
  // While a pattern is scored for the ranking, its fragments land here.
  bool collect_fragments = false;
  std::vector<TraceFragment> scratch;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_TRACE_H_
