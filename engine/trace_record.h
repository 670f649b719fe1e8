// How the engine fills an attached TurnTrace (engine/trace.h). Only the
// engine's turn includes this; every function here is called after the
// caller found a trace attached, so a turn without a trace never gets here.
#ifndef CORVANE_ENGINE_TRACE_RECORD_H_
#define CORVANE_ENGINE_TRACE_RECORD_H_

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern.h"
#include "engine/pattern_index.h"
#include "engine/response.h"
#include "engine/trace.h"
#include "engine/turn_runner.h"
#include "text/text_util.h"

namespace corvane {

// The trace that the ranking of the answering mode or step fills, or
// nullptr: none attached, a nested turn, or scoring outside the answer.
inline TurnTrace* RankingTrace(const TurnRunner& turn) {
  TurnTrace* trace = turn.state().trace();
  if (trace == nullptr || trace->nested > 0 ||
      trace->phase != TurnTrace::Phase::kAnswer)
    return nullptr;
  return trace;
}

// The firing record for a pattern that fires now, in the list of the
// turn's phase, or nullptr when none is wanted.
inline TraceFiring* NewFiring(TurnRunner& turn) {
  TurnTrace* trace = turn.state().trace();
  if (trace == nullptr) return nullptr;
  const auto other = [&]() -> TraceFiring* {
    return trace->record_all_firings ? &trace->other_firings.emplace_back()
                                     : nullptr;
  };
  if (trace->nested > 0) return other();
  switch (trace->phase) {
    case TurnTrace::Phase::kDoBefore:
      return &trace->do_before.emplace_back();
    case TurnTrace::Phase::kDoAfter:
      return &trace->do_after.emplace_back();
    case TurnTrace::Phase::kAnswer:
      // Only the first firing is the winner; a response that fires more
      // (Do Response For) leaves it.
      if (trace->has_winner) return other();
      trace->has_winner = true;
      return &trace->winner;
    case TurnTrace::Phase::kNone:
      break;
  }
  return other();
}

// Fills a firing record: the pattern, its hit count, the group its
// response came from (a state group before a threshold, as in Fire) and
// the response picked, or none when the group was empty.
template <typename P>
void RecordFiring(TraceFiring& firing, const P& pattern, int32_t hit_count,
                  const ThresholdClass* threshold, const StateClass* state,
                  const ResponseClass* response) {
  firing.label = pattern.ObjectName;
  firing.source = pattern.source();
  firing.hit_count = hit_count;
  if (state != nullptr) {
    firing.group = TraceFiring::Group::kState;
    firing.state = state->STATE;
    firing.group_source = state->source();
  } else if (threshold != nullptr) {
    firing.group = TraceFiring::Group::kThreshold;
    firing.thresh_from = threshold->THRESHFROM;
    firing.thresh_to = threshold->THRESHTO;
    firing.group_source = threshold->source();
  } else {
    firing.group = TraceFiring::Group::kPattern;
  }
  if (response != nullptr) {
    firing.responded = true;
    firing.response_type = response->RESPONSETYPE;
    firing.response_text = response->OUTTEXT;
    firing.response_source = response->source();
  }
}

// Whether a pattern at `position` with `score` belongs among the best
// kept so far (ordered by score, the earlier position first on a tie).
inline bool BelongsAmongBest(const TurnTrace& trace, int32_t score,
                             int position) {
  if (trace.best.size() < trace.best_limit) return true;
  if (trace.best.empty()) return false;
  const TracePattern& last = trace.best.back();
  return score > last.score ||
         (score == last.score && position < last.position);
}

inline void InsertAmongBest(TurnTrace& trace, TracePattern entry) {
  const auto at = std::find_if(
      trace.best.begin(), trace.best.end(), [&](const TracePattern& p) {
        return entry.score > p.score ||
               (entry.score == p.score && entry.position < p.position);
      });
  trace.best.insert(at, std::move(entry));
  if (trace.best.size() > trace.best_limit) trace.best.pop_back();
}

// A ranking entry for `pattern`, without its fragments.
template <typename P>
TracePattern TraceEntryFor(const P& pattern, int position, int32_t score) {
  TracePattern entry;
  entry.label = pattern.ObjectName;
  entry.source = pattern.source();
  entry.score = score;
  entry.position = position;
  return entry;
}

// Records a pattern (or step pattern) scored through its fragments, which
// collected themselves in trace.scratch (see ScoreCollecting).
template <typename P>
void RecordScored(TurnTrace& trace, const P& pattern, int position,
                  int32_t score) {
  ++trace.candidates;
  std::vector<TraceFragment> fragments = std::exchange(trace.scratch, {});
  if (!BelongsAmongBest(trace, score, position)) return;
  TracePattern entry = TraceEntryFor(pattern, position, score);
  entry.fragments = std::move(fragments);
  InsertAmongBest(trace, std::move(entry));
}

// Runs `score` with the fragments it scores collecting themselves in
// trace.scratch, and returns its score. Collection stops also when scoring
// throws.
template <typename Fn>
int32_t ScoreCollecting(TurnTrace& trace, Fn&& score) {
  trace.scratch.clear();
  trace.collect_fragments = true;
  int32_t result = 0;
  try {
    result = score();
  } catch (...) {
    trace.collect_fragments = false;
    throw;
  }
  trace.collect_fragments = false;
  return result;
}

// Records a pattern that the index scored without running its fragments.
// Its fragments' scores depend on the input alone, so telling which held
// has no effect on the brain.
template <typename P>
void RecordStatic(TurnTrace& trace, const P& pattern, int position,
                  int32_t score, const std::string& upper_input,
                  TextEncoding encoding) {
  ++trace.candidates;
  if (!BelongsAmongBest(trace, score, position)) return;
  TracePattern entry = TraceEntryFor(pattern, position, score);
  for (int i = 0; i < pattern.Fragments.Count(); ++i) {
    const WordFragmentClass& f = *pattern.Fragments.At(i);
    TraceFragment fragment;
    fragment.relation = f.RELATION;
    fragment.text = f.WORDFRAG.empty() ? f.THENAME : f.WORDFRAG;
    fragment.contribution =
        StaticFragmentScore(f, upper_input, &fragment.holds, encoding);
    fragment.source = f.source();
    entry.fragments.push_back(std::move(fragment));
  }
  InsertAmongBest(trace, std::move(entry));
}

// Watches the engine's choice of a pattern (ChoosePattern) for a trace:
// the patterns it scores through their fragments are recorded as they are
// scored, and the ones its index scored itself afterwards, from the scores
// the index gave them. Lives for one choice.
template <typename P>
class RankingRecorder {
 public:
  RankingRecorder(TurnTrace& trace, const OwningList<P>& patterns)
      : trace_(trace), patterns_(patterns) {
    positions_.reserve(static_cast<std::size_t>(patterns.Count()));
    for (int i = 0; i < patterns.Count(); ++i)
      positions_.emplace(patterns.At(i), i);
    recorded_.assign(static_cast<std::size_t>(patterns.Count()), false);
  }

  // Scores `pattern` through `score` and records it; returns the score.
  template <typename Fn>
  int32_t Scored(const P& pattern, Fn&& score) {
    const int32_t result = ScoreCollecting(trace_, score);
    const int position = positions_.at(&pattern);
    recorded_[static_cast<std::size_t>(position)] = true;
    RecordScored(trace_, pattern, position, result);
    return result;
  }

  // Records every pattern not recorded yet: the index scored it.
  void RecordIndexed(const PatternIndex& index, const std::string& input) {
    const std::string upper_input = UpperForMatch(index.encoding(), input);
    for (int i = 0; i < patterns_.Count(); ++i) {
      if (recorded_[static_cast<std::size_t>(i)]) continue;
      const P* pattern = patterns_.At(i);
      RecordStatic(trace_, *pattern, i, index.LastStaticScore(pattern->ordinal()),
                   upper_input, index.encoding());
    }
  }

 private:
  TurnTrace& trace_;
  const OwningList<P>& patterns_;
  std::unordered_map<const P*, int> positions_;
  std::vector<bool> recorded_;  // By position.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_TRACE_RECORD_H_
