#include "engine/pattern_index.h"

#include <array>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <utility>

#include "base/error.h"
#include "engine/fragment.h"
#include "engine/macros.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {
namespace {

// A cached label position that must be looked up again.
constexpr int64_t kUnknown = -2;

// A new automaton is merged into the one before it while that one weighs
// less than this many times as much, so the weights fall geometrically,
// there are few automata, and each key is rebuilt few times. The first
// automaton is merged only when outweighed (see FlushPending).
constexpr std::size_t kMergeRatio = 4;

// Dead postings, or removed entries, beyond the live ones plus this many
// make the index build itself again from its live entries.
constexpr uint64_t kCompactSlack = 4096;

bool IsCustomKind(uint8_t r) {
  return r == rel::kCustom || r == rel::kCustomSub;
}

bool IsTextKind(uint8_t r) {
  return r == rel::kAnd || r == rel::kOr || r == rel::kNot || IsCustomKind(r);
}

// The fragment's scores when it holds and when it fails; both 0 for kinds
// that are never tested. Requires IsStaticFragment.
std::pair<int32_t, int32_t> HoldAndFail(const WordFragmentClass& f) {
  switch (f.RELATION) {
    case rel::kAnd:
      return {100, -100};
    case rel::kOr:
      return {50, 0};
    case rel::kNot:
      return {-100, 100};
    case rel::kCustom:
    case rel::kCustomSub:
      return {f.BONUS, -f.PENALTY};
    default:
      return {0, 0};
  }
}

// The byte table the automaton compares through: the engine's upper-case
// table for the code page; for UTF-8, whose texts are folded before they
// reach the automaton, one that leaves every byte as it is (the code
// page's table would make different characters' bytes equal).
const std::array<unsigned char, 256>& ByteTable(TextEncoding encoding) {
  static const std::array<unsigned char, 256> identity = [] {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = static_cast<unsigned char>(b);
    return t;
  }();
  return encoding == TextEncoding::kUtf8 ? identity : FStr::Module().table();
}

std::string Folded(std::string_view text, TextEncoding encoding) {
  if (encoding == TextEncoding::kUtf8) return std::string(text);
  const auto& table = FStr::Module().table();
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    out[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  return out;
}

// A static entry in the tree of the best one: a larger value is a higher
// baseline, or the same baseline earlier in the list. A static baseline
// lies within 32 bits (its reach does), so the high word is never 0, and 0
// can stand for no entry.
uint64_t PackBest(int64_t baseline, uint32_t slot) {
  return (static_cast<uint64_t>(baseline + (int64_t{1} << 31)) << 32) |
         (std::numeric_limits<uint32_t>::max() - slot);
}
uint32_t BestSlot(uint64_t packed) {
  return std::numeric_limits<uint32_t>::max() - static_cast<uint32_t>(packed);
}
int32_t BestBaseline(uint64_t packed) {
  return static_cast<int32_t>(static_cast<int64_t>(packed >> 32) -
                              (int64_t{1} << 31));
}

}  // namespace

bool IsStaticFragment(const WordFragmentClass& f) {
  switch (f.RELATION) {
    case rel::kAnd:
    case rel::kOr:
    case rel::kNot:
    case rel::kCustom:
    case rel::kCustomSub:
      // A failing CUSTOM negates its PENALTY, which overflows for the
      // lowest integer; scoring in full raises that error in order.
      if (IsCustomKind(f.RELATION) &&
          f.PENALTY == std::numeric_limits<int32_t>::min())
        return false;
      return !HasMacroOpening(f.WORDFRAG);
    case rel::kDataMatch:
    case rel::kStateMatch:
    case rel::kInCollection:
    case rel::kOutMatch:
    case rel::kInCollectionSub:
    case rel::kExtract:
      return false;
    default:
      return true;  // Never tested: scores 0.
  }
}

int32_t StaticFragmentScore(const WordFragmentClass& f,
                            const std::string& upper_input, bool* holds,
                            TextEncoding encoding) {
  bool h = false;
  if (f.RELATION == rel::kCustomSub)
    h = PosInMatchText(encoding, UpperForMatch(encoding, f.WORDFRAG),
                       upper_input) > 0;
  else if (IsTextKind(f.RELATION))
    h = FragmentInMatchText(UpperForMatch(encoding, f.WORDFRAG), upper_input,
                            encoding);
  if (holds != nullptr) *holds = h;
  const auto [hold, fail] = HoldAndFail(f);
  return h ? hold : fail;
}

// ---- One automaton over a fixed set of keys ----

// Keys are distinct (folded text, whole-word) pairs: whole-word keys are
// the trimmed texts of AND, OR, NOT and CUSTOM fragments, confirmed with
// FragmentInText; substring keys the untrimmed texts of CUSTOM-Sub, which
// hold whenever they occur. Each key has its postings (CSR).
// What one choice works with, in the choosing thread: the entries it
// touched with their scores, and the keys each automaton has seen. The
// previous choice's entries are cleared when the next choice of the thread
// begins (so a trace can still read them right after a choice), and an
// automaton's keys when its pass ends; the arrays grow to the largest
// index the thread chooses through and are shared by all of them.
struct PatternIndex::Scratch {
  const PatternIndex* index = nullptr;  // Of the latest choice.
  // By slot: the choice that last touched the entry, and its score in that
  // choice. Together, so that a posting that holds costs one cache line
  // here; a new choice only moves `stamp` on, clearing nothing.
  struct Touch {
    int64_t score = 0;
    uint32_t stamp = 0;
  };
  std::vector<Touch> by_slot;
  uint32_t stamp = 0;             // Of the choice in progress.
  std::vector<uint32_t> touched;  // The flagged slots.
  std::vector<uint8_t> key_seen;  // By key of the automaton matching.
  std::vector<std::pair<uint32_t, std::size_t>> found;  // (key, first end)
};

struct PatternIndex::Level {
  explicit Level(std::vector<PendingKey> raw);

  // Calls `hit` for every posting of every key that holds in `input`.
  template <typename Hit>
  void Match(const std::string& input, TextEncoding encoding, Scratch& scratch,
             Hit&& hit) const;
  // Appends the postings that `live` accepts, with their keys, to `out`;
  // counts the others in `dropped`.
  template <typename Live>
  void Collect(std::vector<PendingKey>& out, Live&& live,
               uint64_t& dropped) const;

  // The child of `node` along byte `b`, or 0.
  uint32_t Child(uint32_t node, unsigned char b) const;
  void BuildAutomaton();

  std::size_t weight = 0;         // Key bytes plus postings.
  std::vector<std::string> text;  // Folded; kept for FragmentInText.
  std::vector<uint8_t> whole;
  std::vector<uint32_t> post_begin;
  std::vector<Posting> postings;

  // Nodes in breadth-first order, a node's children numbered consecutively
  // in ascending byte order, so a node stores where they begin and how
  // many.
  std::vector<uint32_t> child_begin;
  std::vector<uint16_t> child_count;
  std::vector<unsigned char> node_byte;  // Byte on the edge into the node.
  std::vector<uint32_t> fail;
  std::vector<uint32_t> output;   // Nearest terminal proper suffix, or 0.
  std::vector<int32_t> node_key;  // First key ending here, or -1.
  uint32_t root_next[256] = {};
};

PatternIndex::Level::Level(std::vector<PendingKey> raw) {
  // Keys in (text, whole) order; postings in list order within a key.
  std::vector<uint32_t> order(raw.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const PendingKey& x = raw[a];
    const PendingKey& y = raw[b];
    if (const int c = x.text.compare(y.text); c != 0) return c < 0;
    if (x.whole != y.whole) return x.whole < y.whole;
    return x.posting.slot < y.posting.slot;
  });
  postings.reserve(raw.size());
  for (const uint32_t j : order) {
    PendingKey& r = raw[j];
    const bool same =
        !text.empty() && whole.back() == r.whole && text.back() == r.text;
    if (!same) {
      post_begin.push_back(static_cast<uint32_t>(postings.size()));
      whole.push_back(r.whole);
      weight += r.text.size();
      text.push_back(std::move(r.text));
    }
    postings.push_back(r.posting);
  }
  post_begin.push_back(static_cast<uint32_t>(postings.size()));
  weight += postings.size();
  std::vector<PendingKey>().swap(raw);
  BuildAutomaton();
}

void PatternIndex::Level::BuildAutomaton() {
  auto add_node = [&](unsigned char byte) {
    child_begin.push_back(0);
    child_count.push_back(0);
    node_byte.push_back(byte);
    node_key.push_back(-1);
    return static_cast<uint32_t>(child_begin.size() - 1);
  };
  struct Job {
    uint32_t node, lo, hi;
    std::size_t depth;
  };
  std::vector<Job> queue;
  std::vector<uint32_t> parent(1, 0);
  // There are at most as many nodes as key bytes, and one more.
  std::size_t most = 1;
  for (const std::string& key : text) most += key.size();
  child_begin.reserve(most);
  child_count.reserve(most);
  node_byte.reserve(most);
  node_key.reserve(most);
  parent.reserve(most);
  queue.reserve(most);
  add_node(0);
  const uint32_t keys = static_cast<uint32_t>(text.size());
  if (keys > 0) queue.push_back({0, 0, keys, 0});
  for (std::size_t q = 0; q < queue.size(); ++q) {
    const Job job = queue[q];
    uint32_t lo = job.lo;
    // Keys of the node's own text come first (a prefix sorts first).
    while (lo < job.hi && text[lo].size() == job.depth) {
      if (node_key[job.node] < 0) node_key[job.node] = static_cast<int32_t>(lo);
      ++lo;
    }
    child_begin[job.node] = static_cast<uint32_t>(child_begin.size());
    uint16_t count = 0;
    while (lo < job.hi) {
      const unsigned char c = static_cast<unsigned char>(text[lo][job.depth]);
      uint32_t end = lo + 1;
      while (end < job.hi &&
             static_cast<unsigned char>(text[end][job.depth]) == c)
        ++end;
      const uint32_t child = add_node(c);
      parent.push_back(job.node);
      queue.push_back({child, lo, end, job.depth + 1});
      ++count;
      lo = end;
    }
    child_count[job.node] = count;
  }
  std::vector<Job>().swap(queue);

  const uint32_t nodes = static_cast<uint32_t>(child_begin.size());
  for (uint32_t k = 0; k < child_count[0]; ++k) {
    const uint32_t child = child_begin[0] + k;
    root_next[node_byte[child]] = child;
  }
  fail.assign(nodes, 0);
  output.assign(nodes, 0);
  for (uint32_t v = 1; v < nodes; ++v) {
    const uint32_t u = parent[v];
    uint32_t target = 0;
    if (u != 0) {
      const unsigned char c = node_byte[v];
      for (uint32_t f = fail[u];; f = fail[f]) {
        if (f == 0) {
          target = root_next[c];
          break;
        }
        if (const uint32_t x = Child(f, c)) {
          target = x;
          break;
        }
      }
    }
    fail[v] = target;
    output[v] = node_key[target] >= 0 ? target : output[target];
  }
}

uint32_t PatternIndex::Level::Child(uint32_t node, unsigned char b) const {
  // The children's bytes ascend. Bisection keeps the child along `b`, if
  // there is one, within [lo, hi): a middle byte below `b` moves lo past
  // the middle, any other keeps the middle inside. A few are left for a
  // straight scan.
  uint32_t lo = child_begin[node];
  uint32_t hi = lo + child_count[node];
  while (hi - lo > 8) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (node_byte[mid] < b)
      lo = mid + 1;
    else
      hi = mid + 1;
  }
  for (; lo < hi; ++lo) {
    if (node_byte[lo] == b) return lo;
    if (node_byte[lo] > b) break;
  }
  return 0;
}

template <typename Hit>
void PatternIndex::Level::Match(const std::string& input,
                                TextEncoding encoding, Scratch& scratch,
                                Hit&& hit) const {
  std::vector<uint8_t>& key_seen = scratch.key_seen;
  if (key_seen.size() < text.size()) key_seen.resize(text.size(), 0);
  std::vector<std::pair<uint32_t, std::size_t>>& found = scratch.found;
  found.clear();
  // One pass: every key that occurs, with the end of its first occurrence.
  // A terminal's chain of shorter keys is walked once per turn: a key seen
  // already had its chain walked when it was first seen.
  const auto& table = ByteTable(encoding);
  uint32_t node = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned char b = table[static_cast<unsigned char>(input[i])];
    for (;;) {
      if (node == 0) {
        node = root_next[b];
        break;
      }
      if (const uint32_t x = Child(node, b)) {
        node = x;
        break;
      }
      node = fail[node];
    }
    for (uint32_t t = node_key[node] >= 0 ? node : output[node]; t != 0;
         t = output[t]) {
      const uint32_t k = static_cast<uint32_t>(node_key[t]);
      if (key_seen[k] != 0) break;
      key_seen[k] = 1;
      found.emplace_back(k, i);
    }
  }
  // The keys of one text sit side by side: substring first, then whole.
  for (const auto& [first, end] : found) {
    const std::size_t length = text[first].size();
    for (uint32_t k = first;
         k < text.size() && (k == first || text[k] == text[first]); ++k) {
      if (whole[k] &&
          !FragmentInMatchTextAt(text[k], input, end + 1 - length, encoding))
        continue;
      for (uint32_t p = post_begin[k]; p < post_begin[k + 1]; ++p)
        hit(postings[p]);
    }
  }
  for (const auto& entry : found) key_seen[entry.first] = 0;
}

template <typename Live>
void PatternIndex::Level::Collect(std::vector<PendingKey>& out, Live&& live,
                                  uint64_t& dropped) const {
  for (std::size_t k = 0; k < text.size(); ++k) {
    for (uint32_t p = post_begin[k]; p < post_begin[k + 1]; ++p) {
      if (live(postings[p]))
        out.push_back({text[k], whole[k], postings[p]});
      else
        ++dropped;
    }
  }
}

// ---- The index ----

PatternIndex::PatternIndex() = default;
PatternIndex::~PatternIndex() = default;

void PatternIndex::CheckWritable() const {
  if (frozen_) throw AssertionError(__FILE__, __LINE__);
}

void PatternIndex::Build(const std::vector<Source>& entries,
                         uint64_t generation, TextEncoding encoding) {
  CheckWritable();
  encoding_ = encoding;
  levels_.clear();
  pending_.clear();
  entries_.clear();
  dynamic_.clear();
  dynamic_pred_.clear();
  hot_.clear();
  live_entries_ = 0;
  live_postings_ = 0;
  dead_postings_ = 0;
  last_nonempty_ = kUnknown;
  generation_ = generation;
  built_ = true;
  ++full_builds_;

  best_leaves_ = 1;
  while (best_leaves_ < entries.size()) best_leaves_ *= 2;
  best_.assign(2 * best_leaves_, 0);
  counts_.assign(1, 0);
  entries_.reserve(entries.size());
  hot_.reserve(entries.size());
  for (const Source& source : entries)
    Append(source.owner, source.ordinal, *source.fragments);
  FlushPending();
}

void PatternIndex::Append(Item* owner, uint64_t ordinal,
                          const FragmentList& fragments) {
  if (!built_) return;
  CheckWritable();
  // Entries are found by bisection over their ordinals.
  if (ordinal == 0 || (!entries_.empty() && ordinal <= entries_.back().ordinal))
    throw AssertionError(__FILE__, __LINE__);
  const uint32_t slot = static_cast<uint32_t>(entries_.size());
  Entry entry;
  entry.owner = owner;
  entry.ordinal = ordinal;
  entry.fragments = &fragments;
  entries_.push_back(entry);
  ++live_entries_;
  CountAppend(0);
  hot_.emplace_back();
  if (slot >= best_leaves_) {
    // Twice the leaves; the tree is laid out again.
    best_leaves_ *= 2;
    best_.assign(2 * best_leaves_, 0);
    for (uint32_t s = 0; s < slot; ++s) {
      const Entry& e = entries_[s];
      if (e.owner != nullptr && e.is_static)
        best_[best_leaves_ + s] = PackBest(hot_[s].baseline, s);
    }
    for (std::size_t node = best_leaves_ - 1; node >= 1; --node)
      best_[node] = std::max(best_[2 * node], best_[2 * node + 1]);
  }
  TakeFragments(slot, 0);
  Reshape(slot);
}

uint32_t PatternIndex::SlotOf(uint64_t ordinal) const {
  const int64_t slot = FindSlot(ordinal);
  if (slot < 0) throw AssertionError(__FILE__, __LINE__);
  return static_cast<uint32_t>(slot);
}

int64_t PatternIndex::FindSlot(uint64_t ordinal) const {
  if (!built_ || ordinal == 0) return -1;
  const auto at = std::lower_bound(
      entries_.begin(), entries_.end(), ordinal,
      [](const Entry& e, uint64_t wanted) { return e.ordinal < wanted; });
  if (at == entries_.end() || at->ordinal != ordinal || at->owner == nullptr)
    return -1;
  return at - entries_.begin();
}

void PatternIndex::FragmentsAppended(uint64_t ordinal) {
  const int64_t found = FindSlot(ordinal);
  if (found < 0) return;
  CheckWritable();
  const uint32_t slot = static_cast<uint32_t>(found);
  Entry& e = entries_[slot];
  if (e.seen > e.fragments->Count()) return FragmentsChanged(ordinal);
  TakeFragments(slot, e.seen);
  Reshape(slot);
}

void PatternIndex::FragmentsChanged(uint64_t ordinal) {
  const int64_t found = FindSlot(ordinal);
  if (found < 0) return;
  CheckWritable();
  const uint32_t slot = static_cast<uint32_t>(found);
  Entry& e = entries_[slot];
  if (e.is_static)
    NewVersion(slot);
  else
    LeaveDynamic(slot);
  e.is_static = true;
  hot_[slot].baseline = 0;
  e.reach = 0;
  TakeFragments(slot, 0);
  Reshape(slot);
}

void PatternIndex::Remove(uint64_t ordinal) {
  const int64_t found = FindSlot(ordinal);
  if (found < 0) return;
  CheckWritable();
  const uint32_t slot = static_cast<uint32_t>(found);
  Entry& e = entries_[slot];
  if (!e.is_static) LeaveDynamic(slot);
  NewVersion(slot);
  e.is_static = false;
  e.owner = nullptr;
  --live_entries_;
  Reshape(slot);
}

void PatternIndex::TakeFragments(uint32_t slot, int from) {
  Entry& e = entries_[slot];
  const FragmentList& list = *e.fragments;
  for (int i = from; i < list.Count() && e.is_static; ++i) {
    const WordFragmentClass& f = *list.At(i);
    if (!IsStaticFragment(f)) {
      MakeDynamic(slot);
      break;
    }
    const auto [hold, fail] = HoldAndFail(f);
    e.reach += std::max(std::abs(static_cast<int64_t>(hold)),
                        std::abs(static_cast<int64_t>(fail)));
    if (e.reach > std::numeric_limits<int32_t>::max()) {
      MakeDynamic(slot);
      break;
    }
    hot_[slot].baseline += fail;
    if (!IsTextKind(f.RELATION) || hold == fail) continue;
    const bool whole = f.RELATION != rel::kCustomSub;
    const std::string upper = UpperForMatch(encoding_, f.WORDFRAG);
    std::string key =
        Folded(whole ? TrimView(upper) : std::string_view(upper), encoding_);
    if (key.empty()) continue;  // Never holds.
    pending_.push_back(
        {std::move(key),
         static_cast<uint8_t>(whole),
         {slot, hot_[slot].version, static_cast<int64_t>(hold) - fail}});
    ++e.postings;
    ++live_postings_;
  }
  e.seen = list.Count();
}

void PatternIndex::NewVersion(uint32_t slot) {
  Entry& e = entries_[slot];
  live_postings_ -= e.postings;
  dead_postings_ += e.postings;
  e.postings = 0;
  ++hot_[slot].version;
}

void PatternIndex::MakeDynamic(uint32_t slot) {
  Entry& e = entries_[slot];
  e.is_static = false;
  NewVersion(slot);
  const auto at = std::lower_bound(dynamic_.begin(), dynamic_.end(), slot);
  dynamic_pred_.insert(dynamic_pred_.begin() + (at - dynamic_.begin()),
                       kUnknown);
  dynamic_.insert(at, slot);
}

void PatternIndex::LeaveDynamic(uint32_t slot) {
  const auto at = std::lower_bound(dynamic_.begin(), dynamic_.end(), slot);
  if (at == dynamic_.end() || *at != slot) return;
  dynamic_pred_.erase(dynamic_pred_.begin() + (at - dynamic_.begin()));
  dynamic_.erase(at);
}

void PatternIndex::Reshape(uint32_t slot) {
  Entry& e = entries_[slot];
  SetBest(slot);
  const bool nonempty = e.owner != nullptr && !e.fragments->empty();
  if (nonempty != e.nonempty) {
    CountAdd(slot, nonempty ? 1 : -1);
    e.nonempty = nonempty;
    MarkLabelsAfter(slot);
  }
}

void PatternIndex::SetBest(uint32_t slot) {
  const Entry& e = entries_[slot];
  // Within 32 bits while static (its reach is).
  std::size_t node = best_leaves_ + slot;
  best_[node] = e.owner != nullptr && e.is_static
                    ? PackBest(hot_[slot].baseline, slot)
                    : 0;
  for (node /= 2; node >= 1; node /= 2)
    best_[node] = std::max(best_[2 * node], best_[2 * node + 1]);
}

uint64_t PatternIndex::BestUntouched(std::size_t node,
                                     const Scratch& scratch) const {
  // The best of a subtree is its answer unless this turn touched it; then
  // both halves are asked. Only paths to touched entries are walked, and
  // the depth is that of the tree (at most 32).
  const uint64_t best = best_[node];
  if (best == 0) return 0;
  if (scratch.by_slot[BestSlot(best)].stamp != scratch.stamp) return best;
  if (node >= best_leaves_) return 0;
  return std::max(BestUntouched(2 * node, scratch),
                  BestUntouched(2 * node + 1, scratch));
}

void PatternIndex::CountAppend(int32_t value) {
  // Fenwick node i covers (i - lowbit(i), i]: the sum of the rest of that
  // range is a difference of two prefix sums.
  const std::size_t i = counts_.size();
  const std::size_t low = i & (~i + 1);
  int64_t sum = value;
  for (std::size_t k = i - 1; k > 0; k &= k - 1) sum += counts_[k];
  for (std::size_t k = i - low; k > 0; k &= k - 1) sum -= counts_[k];
  counts_.push_back(static_cast<int32_t>(sum));
}

void PatternIndex::CountAdd(uint32_t slot, int32_t delta) {
  for (std::size_t i = std::size_t{slot} + 1; i < counts_.size();
       i += i & (~i + 1))
    counts_[i] += delta;
}

int64_t PatternIndex::NearestNonEmptyBefore(std::size_t end) const {
  int64_t before = 0;  // Non-empty entries among the first `end`.
  for (std::size_t k = end; k > 0; k &= k - 1) before += counts_[k];
  if (before == 0) return -1;
  // The entry that brings the count to `before`: descend the tree.
  std::size_t step = 1;
  while (step * 2 < counts_.size()) step *= 2;
  std::size_t at = 0;
  for (; step > 0; step /= 2) {
    if (at + step < counts_.size() && counts_[at + step] < before) {
      at += step;
      before -= counts_[at];
    }
  }
  return static_cast<int64_t>(at);  // 1-based at + 1 is slot at.
}

int64_t PatternIndex::NonEmptyBefore(uint32_t slot) const {
  return NearestNonEmptyBefore(slot);
}

void PatternIndex::MarkLabelsAfter(uint32_t slot) {
  // Only the first dynamic entry after `slot` can change its nearest
  // non-empty entry: the later ones have that dynamic entry, which is never
  // empty, between them and `slot`.
  const auto at = std::upper_bound(dynamic_.begin(), dynamic_.end(), slot);
  if (at != dynamic_.end()) dynamic_pred_[at - dynamic_.begin()] = kUnknown;
  last_nonempty_ = kUnknown;
}

void PatternIndex::SetLastFragment(int64_t slot,
                                   std::string& last_fragment) const {
  if (slot < 0) return;
  const FragmentList& list =
      *entries_[static_cast<std::size_t>(slot)].fragments;
  last_fragment = list.At(list.Count() - 1)->ObjectName;
}

void PatternIndex::Compact() {
  std::vector<Source> sources;
  sources.reserve(live_entries_);
  for (const Entry& e : entries_)
    if (e.owner != nullptr)
      sources.push_back({e.owner, e.ordinal, e.fragments});
  Build(sources, generation_, encoding_);
}

void PatternIndex::FlushPending() {
  if (pending_.empty()) return;
  // Keys of entries that changed again before they were built in are
  // dropped here.
  std::size_t kept = 0;
  for (PendingKey& key : pending_) {
    if (hot_[key.posting.slot].version != key.posting.version) {
      --dead_postings_;
      continue;
    }
    if (&key != &pending_[kept]) pending_[kept] = std::move(key);
    ++kept;
  }
  pending_.resize(kept);
  std::vector<PendingKey> fresh = std::exchange(pending_, {});
  if (fresh.empty()) return;
  levels_.push_back(std::make_unique<Level>(std::move(fresh)));
  const auto live = [&](const Posting& p) {
    return hot_[p.slot].version == p.version;
  };
  // The first automaton (the knowledge as loaded, usually the most of it)
  // is merged only once the newer keys outweigh it, so that learning into
  // a large knowledge base does not soon rebuild it.
  auto merge_next = [&] {
    const std::size_t n = levels_.size();
    if (n < 2) return false;
    const std::size_t ratio = n == 2 ? 1 : kMergeRatio;
    return levels_[n - 2]->weight < ratio * levels_[n - 1]->weight;
  };
  while (merge_next()) {
    std::vector<PendingKey> merged;
    uint64_t dropped = 0;
    levels_[levels_.size() - 2]->Collect(merged, live, dropped);
    levels_.back()->Collect(merged, live, dropped);
    dead_postings_ -= dropped;
    levels_.pop_back();
    levels_.pop_back();
    if (!merged.empty())
      levels_.push_back(std::make_unique<Level>(std::move(merged)));
  }
}

int PatternIndex::key_count() const {
  std::size_t keys = 0;
  for (const auto& level : levels_) keys += level->text.size();
  return static_cast<int>(keys);
}

PatternIndex::Scratch& PatternIndex::ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

PatternIndex::Scratch& PatternIndex::NewTurn() const {
  Scratch& scratch = ThreadScratch();
  scratch.touched.clear();
  if (scratch.by_slot.size() < entries_.size())
    scratch.by_slot.resize(entries_.size());
  if (++scratch.stamp == 0) {
    // After 2^32 choices the stamps start again.
    for (Scratch::Touch& t : scratch.by_slot) t.stamp = 0;
    scratch.stamp = 1;
  }
  scratch.index = this;
  return scratch;
}

int32_t PatternIndex::LastStaticScore(uint64_t ordinal) const {
  const uint32_t slot = SlotOf(ordinal);
  const Scratch& scratch = ThreadScratch();
  if (scratch.index == this && slot < scratch.by_slot.size() &&
      scratch.by_slot[slot].stamp == scratch.stamp)
    return static_cast<int32_t>(scratch.by_slot[slot].score);
  return hot_[slot].baseline;
}

void PatternIndex::Freeze() {
  if (!built_) throw AssertionError(__FILE__, __LINE__);
  if (frozen_) return;
  if (dead_postings_ > live_postings_ + kCompactSlack ||
      entries_.size() - live_entries_ > live_entries_ + kCompactSlack)
    Compact();
  FlushPending();
  for (std::size_t j = 0; j < dynamic_.size(); ++j)
    if (dynamic_pred_[j] == kUnknown)
      dynamic_pred_[j] = NonEmptyBefore(dynamic_[j]);
  if (last_nonempty_ == kUnknown)
    last_nonempty_ = NearestNonEmptyBefore(entries_.size());
  frozen_ = true;
}

Item* PatternIndex::Choose(const std::string& input, bool score_every,
                           const ScoreFn& score, std::string& last_fragment) {
  if (!frozen_) {
    if (dead_postings_ > live_postings_ + kCompactSlack ||
        entries_.size() - live_entries_ > live_entries_ + kCompactSlack)
      Compact();
    FlushPending();
  }
  Scratch& scratch = NewTurn();

  int64_t best = -1;
  int32_t best_score = kLowestScore;
  auto consider = [&](uint32_t slot, int32_t s) {
    if (s <= kLowestScore) return;
    if (best < 0 || s > best_score ||
        (s == best_score && slot < static_cast<uint64_t>(best))) {
      best = slot;
      best_score = s;
    }
  };
  auto chosen = [&]() -> Item* {
    return best < 0 ? nullptr : entries_[static_cast<std::size_t>(best)].owner;
  };

  if (score_every) {
    for (uint32_t slot = 0; slot < entries_.size(); ++slot)
      if (Item* owner = entries_[slot].owner) consider(slot, score(owner));
    return chosen();
  }

  // A UTF-8 input is folded once for every automaton.
  std::string folded_input;
  if (encoding_ == TextEncoding::kUtf8) folded_input = utf8::Fold(input);
  const std::string& match_input =
      encoding_ == TextEncoding::kUtf8 ? folded_input : input;
  for (const auto& level : levels_) {
    level->Match(match_input, encoding_, scratch, [&](const Posting& p) {
      const Hot& h = hot_[p.slot];
      if (h.version != p.version) return;
      Scratch::Touch& t = scratch.by_slot[p.slot];
      if (t.stamp != scratch.stamp) {
        t.stamp = scratch.stamp;
        t.score = h.baseline;
        scratch.touched.push_back(p.slot);
      }
      t.score += p.delta;
    });
  }
  for (const uint32_t slot : scratch.touched)
    consider(slot, static_cast<int32_t>(scratch.by_slot[slot].score));
  if (const uint64_t untouched = BestUntouched(1, scratch))
    consider(BestSlot(untouched), BestBaseline(untouched));
  // Dynamic entries in list order, each seeing the LastFrag that scoring
  // every entry would have left before it. A frozen index found every one
  // when it froze.
  for (std::size_t j = 0; j < dynamic_.size(); ++j) {
    const uint32_t slot = dynamic_[j];
    if (dynamic_pred_[j] == kUnknown) dynamic_pred_[j] = NonEmptyBefore(slot);
    SetLastFragment(dynamic_pred_[j], last_fragment);
    consider(slot, score(entries_[slot].owner));
  }
  if (last_nonempty_ == kUnknown)
    last_nonempty_ = NearestNonEmptyBefore(entries_.size());
  SetLastFragment(last_nonempty_, last_fragment);
  return chosen();
}

}  // namespace corvane
