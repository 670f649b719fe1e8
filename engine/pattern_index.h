// The index that lets an input turn choose its pattern (or step pattern)
// at a cost set by the input, not by the size of the knowledge base, and
// that follows the knowledge as it changes at a cost set by the change.
//
// An entry is the fragment list of one pattern or step pattern; entries
// keep the order of their list. An entry is static when its score is a pure
// function of the input text: every fragment is AND, OR, NOT, CUSTOM or
// CUSTOM-Sub with no macro opening in its text, or a kind that is never
// tested, and no sum of its fragments' scores can leave 32 bits. A static
// entry scores its baseline (every fragment failing) plus, for each
// fragment that holds, the difference between its two scores. A fragment
// can only hold when its upper-cased text occurs in the upper-cased input,
// so a pass of an automaton over the fragment texts finds the candidates,
// and each whole-word candidate is confirmed with FragmentInText. Every
// other entry is dynamic and is scored by the caller, in list order,
// exactly as scoring every pattern in full would score it.
//
// Changes: the owner tells the index of each one (an entry appended,
// fragments appended to an entry, an entry's fragments otherwise changed,
// an entry removed). Keys learnt later go into small automata beside the
// big one, which are merged as they grow (each key is rebuilt a logarithmic
// number of times); keys of changed and removed entries stay behind as dead
// postings until a merge drops them, or until they outweigh the live ones
// and the whole index is built again. The owner builds it afresh also when
// the brain's knowledge generation moved (a change made behind the brain's
// back).
//
// Threads: a private index (of a brain) is used by one thread at a time.
// A frozen one (Freeze, for shared knowledge) is never written again, and
// any number of threads choose through it at once: what one choice works
// with (the scores of the entries it touched, which keys it has seen)
// lives in a scratch area of the choosing thread, not in the index.
#ifndef CORVANE_ENGINE_PATTERN_INDEX_H_
#define CORVANE_ENGINE_PATTERN_INDEX_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/owning_list.h"
#include "engine/item.h"
#include "text/utf8.h"

namespace corvane {

class WordFragmentClass;

// Scores below or at this never win.
inline constexpr int32_t kLowestScore = -30000;

// The score of a fragment of a static kind for an input that holds no
// macro opening, upper-cased, without touching the brain; `holds` tells
// whether the fragment held. Requires IsStaticFragment.
// `upper_input` is the input as UpperForMatch makes it under `encoding`.
int32_t StaticFragmentScore(const WordFragmentClass& fragment,
                            const std::string& upper_input, bool* holds,
                            TextEncoding encoding);

// Whether the fragment's score depends on the input text alone.
bool IsStaticFragment(const WordFragmentClass& fragment);

class PatternIndex {
 public:
  using FragmentList = OwningList<WordFragmentClass>;
  // One entry as the owner lists it: the pattern (or step pattern), its
  // ordinal and its fragments. Ordinals are not 0 and grow along the list,
  // and name the entry in the calls below. The index keeps both pointers;
  // the owner keeps them alive while they are entries.
  struct Source {
    Item* owner;
    uint64_t ordinal;
    const FragmentList* fragments;
  };
  // Scores the entry of `owner` in full; may throw, which passes.
  using ScoreFn = std::function<int32_t(Item* owner)>;

  PatternIndex();
  ~PatternIndex();
  PatternIndex(const PatternIndex&) = delete;
  PatternIndex& operator=(const PatternIndex&) = delete;

  // Indexes the entries afresh, in order; `generation` is what Fresh
  // compares with the brain's knowledge generation. Throws AssertionError
  // when the ordinals do not grow, or when the index is frozen.
  // Keys and inputs are compared under `encoding`, the knowledge base's.
  void Build(const std::vector<Source>& entries, uint64_t generation,
             TextEncoding encoding);
  // Finishes every piece of work a choice would otherwise do on demand
  // (pending keys, a due rebuild, the labels the dynamic entries find) and
  // makes the index read-only: every later change throws AssertionError,
  // and Choose writes nothing in it. Requires a built index.
  void Freeze();
  bool frozen() const { return frozen_; }
  // Whether the index describes a list of `count` entries at `generation`.
  bool Fresh(uint64_t generation, int count, TextEncoding encoding) const {
    return built_ && generation == generation_ && encoding == encoding_ &&
           static_cast<uint32_t>(count) == live_entries_;
  }
  bool built() const { return built_; }
  TextEncoding encoding() const { return encoding_; }

  // ---- Following changes; each does nothing before the first Build, and
  // for an ordinal that names no entry (a pattern no longer attached); each
  // throws AssertionError on a frozen index ----

  // `owner` was appended to the end of the list; throws AssertionError
  // when its ordinal is not above those before it.
  void Append(Item* owner, uint64_t ordinal, const FragmentList& fragments);
  // Fragments were appended to the end of the entry's fragment list.
  void FragmentsAppended(uint64_t ordinal);
  // The entry's fragments changed otherwise: a field edited, one removed.
  void FragmentsChanged(uint64_t ordinal);
  // The entry left the list.
  void Remove(uint64_t ordinal);

  // Chooses the entry for an input: the highest score above kLowestScore,
  // the first of equal scores; nullptr when none. With `score_every` (an
  // input whose macros may expand differently for each entry) every entry
  // is scored through `score`, in list order. Otherwise only the dynamic
  // ones are, in list order, and before each `last_fragment` takes the
  // label of the last fragment of the entries before it; at the end it
  // takes the label of the last fragment of all, as if every entry had
  // been scored in order. Whatever `score` throws passes.
  Item* Choose(const std::string& input, bool score_every, const ScoreFn& score,
               std::string& last_fragment);

  // After a Choose without `score_every` on this index by this thread, for
  // a trace: the score the index gave a static entry it scored itself (its
  // baseline when nothing touched it). Throws AssertionError for an ordinal
  // that names no entry.
  int32_t LastStaticScore(uint64_t ordinal) const;

  // Counts, for the tests and the benchmarks.
  int entry_count() const { return static_cast<int>(live_entries_); }
  int dynamic_count() const { return static_cast<int>(dynamic_.size()); }
  // Distinct keys over all automata, once pending keys are built in.
  int key_count() const;
  int level_count() const { return static_cast<int>(levels_.size()); }
  // How often the index was built from scratch.
  uint64_t full_builds() const { return full_builds_; }

 private:
  struct Level;
  struct Scratch;
  struct Posting {
    uint32_t slot;     // The entry.
    uint32_t version;  // Dead once the entry's version moved on.
    int64_t delta;     // Hold minus fail score.
  };
  struct PendingKey {
    std::string text;  // Folded.
    uint8_t whole;
    Posting posting;
  };
  struct Entry {
    Item* owner = nullptr;  // Null once removed.
    uint64_t ordinal = 0;
    const FragmentList* fragments = nullptr;
    int32_t seen = 0;       // Fragments taken in so far.
    int64_t reach = 0;      // Largest magnitude a partial sum can take.
    uint32_t postings = 0;  // Postings of the current version.
    bool is_static = true;
    bool nonempty = false;  // Counted in the tree of non-empty entries.
  };

  // The entry of the ordinal; throws AssertionError when it has none.
  uint32_t SlotOf(uint64_t ordinal) const;
  // The entry of the ordinal, or -1.
  int64_t FindSlot(uint64_t ordinal) const;
  // Takes in the entry's fragments from position `from` on.
  void TakeFragments(uint32_t slot, int from);
  void MakeDynamic(uint32_t slot);
  void LeaveDynamic(uint32_t slot);
  // Kills the entry's current postings.
  void NewVersion(uint32_t slot);
  // Brings the trees up to date with the entry's state.
  void Reshape(uint32_t slot);
  void Compact();
  void FlushPending();
  void CheckWritable() const;
  // The scratch area of this thread's choice, with what the previous choice
  // of the thread left in it cleared.
  Scratch& NewTurn() const;
  static Scratch& ThreadScratch();

  // The tree of the best static entry, by (baseline desc, slot asc).
  void SetBest(uint32_t slot);
  uint64_t BestUntouched(std::size_t node, const Scratch& scratch) const;
  // Counts of non-empty entries (a Fenwick tree), for the nearest earlier
  // entry with fragments, whose last fragment labels LastFrag.
  void CountAppend(int32_t value);
  void CountAdd(uint32_t slot, int32_t delta);
  int64_t NonEmptyBefore(uint32_t slot) const;  // Nearest earlier, or -1.
  int64_t NearestNonEmptyBefore(std::size_t end) const;
  void MarkLabelsAfter(uint32_t slot);
  void SetLastFragment(int64_t slot, std::string& last_fragment) const;

  bool built_ = false;
  bool frozen_ = false;
  TextEncoding encoding_ = TextEncoding::kCodePage;
  uint64_t generation_ = 0;
  uint64_t full_builds_ = 0;
  // In list order, so by ordinal; removed ones stay until a build.
  std::vector<Entry> entries_;
  uint32_t live_entries_ = 0;

  std::vector<uint32_t> dynamic_;      // Dynamic slots, ascending.
  std::vector<int64_t> dynamic_pred_;  // Their NonEmptyBefore, or kUnknown.
  int64_t last_nonempty_ = -1;         // Or kUnknown.

  std::vector<uint64_t> best_;  // Segment tree over slots; 0 for none.
  std::size_t best_leaves_ = 0;
  std::vector<int32_t> counts_;  // Fenwick tree, 1-based.

  std::vector<std::unique_ptr<Level>> levels_;  // Heaviest first.
  std::vector<PendingKey> pending_;             // Not yet in a level.
  uint64_t live_postings_ = 0;
  uint64_t dead_postings_ = 0;

  // What a turn reads for each posting that holds, together in one place:
  // whether the posting is alive, and the entry's baseline.
  struct Hot {
    uint32_t version = 0;  // Postings of other versions are dead.
    // Sum of the fail scores of a static entry; within 32 bits, as its
    // reach is.
    int32_t baseline = 0;
  };
  std::vector<Hot> hot_;  // By slot.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_PATTERN_INDEX_H_
