// Patterns: the input rules of a mode. A pattern owns its word fragments,
// its own responses, its threshold groups (chosen by hit count) and its
// state groups (chosen by the current state). Its part of a turn runs with
// the turn's runner, which keeps the hit count (in the pattern, or for
// shared knowledge beside it). Not thread-safe while being built.
#ifndef CORVANE_ENGINE_PATTERN_H_
#define CORVANE_ENGINE_PATTERN_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/label.h"
#include "base/owning_list.h"
#include "engine/item.h"

namespace corvane {

class BrainClass;
class KnowledgeClass;
class PatternClass;
class ResponseClass;
class WordFragmentClass;
class ThresholdClass;
class StateClass;
class TurnRunner;

// The time of a pattern's last volition, reset after every answer. A mark
// other than 0 puts its pattern on the mode's list of marked patterns, so
// that an answer clears the marks without visiting every pattern.
class VolitionMark {
 public:
  explicit VolitionMark(PatternClass* owner) : owner_(owner) {}
  VolitionMark(const VolitionMark&) = delete;
  VolitionMark& operator=(const VolitionMark&) = delete;
  VolitionMark& operator=(double value);
  operator double() const { return value_; }
  // Sets 0 and forgets the listing; the mode's list is cleared as a whole.
  void Clear();
  // Lists the pattern with its mode when it is marked and not yet listed.
  void List();

 private:
  friend class KnowledgeCodec;
  double value_ = 0;
  PatternClass* owner_;  // Also keeps whether it is listed (see there).
};

class PatternClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kPattern;
  PatternClass();
  ~PatternClass();

  // The brain of the owning mode, for attaching items. Requires a mode.
  BrainClass* Brain() const;

  WordFragmentClass* AddFragment(std::unique_ptr<WordFragmentClass> fragment);
  ResponseClass* AddResponse(std::unique_ptr<ResponseClass> response);
  ThresholdClass* AddThreshold(std::unique_ptr<ThresholdClass> threshold);
  StateClass* AddStateResponse(std::unique_ptr<StateClass> group);

  // The sum of the fragments' scores for the input, expanded once (see
  // ScoreFragmentsOfInput). Throws OverflowError when the sum overflows.
  int32_t Score(TurnRunner& turn, const std::string& input);
  // Counts a hit, picks the response group and carries out one response.
  void Fire(TurnRunner& turn, const std::string& input);
  void ClearLastVolition() { LASTVOLITION.Clear(); }
  // The input with the first occurrence of each word fragment's text taken
  // out (kinds AND, OR, NOT, CUSTOM, CUSTOM-Sub).
  std::string StripFragments(TurnRunner& turn, const std::string& input);
  void FireIfInitialize(TurnRunner& turn);
  void FireIfFinalize(TurnRunner& turn);
  // Its place among the patterns ever added to its mode: later ones have
  // larger ordinals, so the order of ordinals is the order of Patterns;
  // 0 once detached.
  uint64_t ordinal() const { return ordinal_; }

  // The small fields first: they share the first word with the kind tag.
  bool HASVOLITION = false;                   // Has a "Volition" fragment.
  bool HasInitialize = false;                 // Start pattern.
  bool HasFinalize = false;                   // Stop pattern.
 private:
  friend class VolitionMark;
  friend class KnowledgeClass;
  friend class KnowledgeCodec;
  bool volition_listed_ = false;              // On the mode's marked list.
  uint64_t ordinal_ = 0;                      // Set by AddPattern.

 public:
  int32_t HITCOUNT = 0;  // Times fired; read it through TurnRunner::HitCount.
  // Members are destroyed in reverse order: state groups, thresholds,
  // responses, fragments.
  Label ObjectName;                           // Named-object label.
  OwningList<WordFragmentClass> Fragments;    // In the order added.
  OwningList<ResponseClass> Responses;        // The default group.
  OwningList<ThresholdClass> Thresholds;      // In the order added.
  OwningList<StateClass> StateResponses;      // In the order added.
  KnowledgeClass* Mode = nullptr;             // Owning mode.
  double VOLITIONWHEN = 0;                    // From the last "Volition" text.
  VolitionMark LASTVOLITION{this};            // Reset after every answer.
};

inline void VolitionMark::Clear() {
  value_ = 0;
  owner_->volition_listed_ = false;
}

// A response group chosen when the hit count lies in THRESHFROM..THRESHTO.
class ThresholdClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kThreshold;
  ThresholdClass();
  ~ThresholdClass();
  BrainClass* Brain() const;
  // Attaches and registers; leaves LastResp unchanged.
  ResponseClass* AddResponse(std::unique_ptr<ResponseClass> response);

  Label ObjectName;                      // Named-object label.
  int32_t THRESHFROM = 0;                // Lowest hit count, inclusive.
  int32_t THRESHTO = 0;                  // Highest hit count, inclusive.
  OwningList<ResponseClass> Responses;   // The group.
  PatternClass* Pattern = nullptr;       // Owner.
};

// A response group chosen when the current state's name equals STATE.
class StateClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kState;
  StateClass();
  ~StateClass();
  BrainClass* Brain() const;
  // Attaches and registers; leaves LastResp unchanged.
  ResponseClass* AddResponse(std::unique_ptr<ResponseClass> response);

  Label ObjectName;                      // Named-object label.
  std::string STATE;                     // Compared byte for byte.
  OwningList<ResponseClass> Responses;   // The group.
  PatternClass* Pattern = nullptr;       // Owner.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_PATTERN_H_
