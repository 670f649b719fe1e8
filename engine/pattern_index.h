// The index that lets an input turn choose its pattern (or step pattern)
// at a cost set by the input, not by the size of the knowledge base.
//
// An entry is the fragment list of one pattern or step pattern, in list
// order. An entry is static when its score is a pure function of the
// input text: every fragment is AND, OR, NOT, CUSTOM or CUSTOM-Sub with no
// macro opening in its text, or a kind that is never tested, and no sum of
// its fragments' scores can leave 32 bits. A static entry scores its
// baseline (every fragment failing) plus, for each fragment that holds,
// the difference between its two scores. A fragment can only hold when
// its upper-cased text occurs in the upper-cased input, so one pass of an
// automaton over all fragment texts finds the candidates, and each
// whole-word candidate is confirmed with FragmentInText. Every other entry
// is dynamic and is scored by the caller, in list order, exactly as the
// plain path scores it.
//
// The index does not follow changes: its owner rebuilds it when the
// brain's knowledge generation moved. Not thread-safe.
#ifndef CORVANE_ENGINE_PATTERN_INDEX_H_
#define CORVANE_ENGINE_PATTERN_INDEX_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/owning_list.h"
#include "engine/macros.h"

namespace corvane {

class WordFragmentClass;

// Scores below or at this never win.
inline constexpr int32_t kLowestScore = -30000;


// The score of a fragment of a static kind for an input that holds no
// macro opening, upper-cased, without touching the brain; `holds` tells
// whether the fragment held. Requires IsStaticFragment.
int32_t StaticFragmentScore(const WordFragmentClass& fragment,
                            const std::string& upper_input, bool* holds);

// Whether the fragment's score depends on the input text alone.
bool IsStaticFragment(const WordFragmentClass& fragment);

class PatternIndex {
 public:
  using FragmentList = OwningList<WordFragmentClass>;

  // Indexes the entries in order; `generation` is what the owner compares
  // with the brain's knowledge generation before it reuses the index.
  void Build(const std::vector<const FragmentList*>& entries,
             uint64_t generation);
  bool Fresh(uint64_t generation) const {
    return built_ && generation == generation_;
  }

  // Chooses the entry for an input that holds no macro opening: the
  // highest score above kLowestScore, the first of equal scores. Each
  // dynamic entry is scored through `score_dynamic(position)` in list
  // order; before each, `last_fragment` takes the label of the last
  // fragment of the entries before it, and at the end the label of the
  // last fragment of all, as if every entry had been scored in order.
  // Returns the position or -1. Whatever `score_dynamic` throws passes.
  int Choose(const std::string& input,
             const std::function<int32_t(int)>& score_dynamic,
             std::string& last_fragment);

  // Counts, for the benchmarks and the tests.
  int entry_count() const { return static_cast<int>(entries_.size()); }
  int dynamic_count() const { return static_cast<int>(dynamic_.size()); }
  int key_count() const { return static_cast<int>(key_len_.size()); }

  // The score the last Choose gave a static entry (its baseline when it
  // was not touched). A trace may read it; requires a static position.
  int32_t LastStaticScore(int position) const;
  // Whether the entry at `position` is static (scored by the index).
  bool IsStatic(int position) const {
    return entries_[static_cast<std::size_t>(position)].is_static;
  }

 private:
  struct Entry {
    int32_t baseline = 0;
    bool is_static = false;
    // The last fragment of the entries before this one, or nullptr.
    const WordFragmentClass* previous_last = nullptr;
  };
  // The child of `node` along byte `b`, or 0.
  uint32_t Child(uint32_t node, unsigned char b) const;
  void BuildAutomaton();
  void NewTurn();

  bool built_ = false;
  uint64_t generation_ = 0;
  std::vector<Entry> entries_;
  std::vector<int> dynamic_;  // Dynamic positions, in order.
  std::vector<int>
      by_baseline_;  // Static positions by (baseline desc, position).
  const WordFragmentClass* last_fragment_ = nullptr;

  // Keys: distinct (folded text, whole-word) pairs. Whole-word keys are the
  // trimmed texts of AND, OR, NOT and CUSTOM fragments, confirmed with
  // FragmentInText; substring keys the untrimmed texts of CUSTOM-Sub,
  // which hold whenever they occur.
  std::vector<std::string> key_text_;  // Folded; kept for FragmentInText.
  std::vector<uint32_t> key_len_;
  std::vector<uint8_t> key_whole_;
  std::vector<uint32_t> post_begin_;  // Per key, into the postings (CSR).
  std::vector<int32_t> post_position_;
  std::vector<int64_t> post_delta_;  // Hold minus fail score.

  // The automaton: nodes in breadth-first order, a node's children
  // numbered consecutively, so a node stores where they begin and how many.
  std::vector<uint32_t> child_begin_;
  std::vector<uint32_t> child_count_;
  std::vector<unsigned char> node_byte_;  // Byte on the edge into the node.
  std::vector<uint32_t> fail_;
  std::vector<uint32_t> output_;   // Nearest terminal proper suffix, or 0.
  std::vector<int32_t> node_key_;  // First key ending here, or -1.
  uint32_t root_next_[256] = {};

  // Per-turn work, reset by stamps.
  uint32_t stamp_ = 0;
  std::vector<uint32_t> node_stamp_;
  std::vector<uint32_t> entry_stamp_;
  std::vector<int64_t> entry_score_;  // Ends within 32 bits.
  std::vector<int> touched_;
  std::vector<std::pair<int32_t, uint32_t>> found_;  // (key, first end)
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_PATTERN_INDEX_H_
