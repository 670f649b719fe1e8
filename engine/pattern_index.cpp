#include "engine/pattern_index.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <utility>

#include "engine/fragment.h"
#include "engine/macros.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {
namespace {

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

std::string Folded(std::string_view text) {
  const auto& table = FStr::Module().table();
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    out[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  return out;
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
      // lowest integer; the plain path raises that error in order.
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
                            const std::string& upper_input, bool* holds) {
  bool h = false;
  if (f.RELATION == rel::kCustomSub)
    h = PosNoCase(UpperAscii(f.WORDFRAG), upper_input) > 0;
  else if (IsTextKind(f.RELATION))
    h = FragmentInText(UpperAscii(f.WORDFRAG), upper_input);
  if (holds != nullptr) *holds = h;
  const auto [hold, fail] = HoldAndFail(f);
  return h ? hold : fail;
}

void PatternIndex::Build(const std::vector<const FragmentList*>& entries,
                         uint64_t generation) {
  *this = PatternIndex();
  generation_ = generation;
  built_ = true;

  struct Raw {
    std::string key;
    uint8_t whole;
    int32_t position;
    int64_t delta;  // May exceed 32 bits; the total never does.
  };
  std::vector<Raw> raw;
  entries_.resize(entries.size());
  const WordFragmentClass* running_last = nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const FragmentList& list = *entries[i];
    Entry& e = entries_[i];
    e.previous_last = running_last;
    if (!list.empty()) running_last = list.At(list.Count() - 1);
    bool is_static = true;
    int64_t reach = 0;  // The largest magnitude any partial sum can take.
    int64_t baseline = 0;
    for (const auto& f : list) {
      if (!IsStaticFragment(*f)) {
        is_static = false;
        break;
      }
      const auto [hold, fail] = HoldAndFail(*f);
      reach += std::max(std::abs(static_cast<int64_t>(hold)),
                        std::abs(static_cast<int64_t>(fail)));
      baseline += fail;
    }
    if (is_static && reach > std::numeric_limits<int32_t>::max())
      is_static = false;
    e.is_static = is_static;
    if (!is_static) {
      dynamic_.push_back(static_cast<int>(i));
      continue;
    }
    e.baseline = static_cast<int32_t>(baseline);
    for (const auto& f : list) {
      if (!IsTextKind(f->RELATION)) continue;
      const auto [hold, fail] = HoldAndFail(*f);
      if (hold == fail) continue;
      const bool whole = f->RELATION != rel::kCustomSub;
      const std::string upper = UpperAscii(f->WORDFRAG);
      std::string key =
          Folded(whole ? TrimView(upper) : std::string_view(upper));
      if (key.empty()) continue;  // Never holds.
      raw.push_back({std::move(key), static_cast<uint8_t>(whole),
                     static_cast<int32_t>(i),
                     static_cast<int64_t>(hold) - fail});
    }
  }
  last_fragment_ = running_last;

  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].is_static) by_baseline_.push_back(static_cast<int>(i));
  std::stable_sort(by_baseline_.begin(), by_baseline_.end(), [&](int a, int b) {
    return entries_[static_cast<std::size_t>(a)].baseline >
           entries_[static_cast<std::size_t>(b)].baseline;
  });

  // Keys in (text, whole) order; postings in position order within a key.
  std::vector<uint32_t> order(raw.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const Raw& x = raw[a];
    const Raw& y = raw[b];
    if (const int c = x.key.compare(y.key); c != 0) return c < 0;
    if (x.whole != y.whole) return x.whole < y.whole;
    return x.position < y.position;
  });
  for (std::size_t j = 0; j < order.size(); ++j) {
    Raw& r = raw[order[j]];
    const bool same = !key_text_.empty() && key_whole_.back() == r.whole &&
                      key_text_.back() == r.key;
    if (!same) {
      post_begin_.push_back(static_cast<uint32_t>(post_position_.size()));
      key_len_.push_back(static_cast<uint32_t>(r.key.size()));
      key_whole_.push_back(r.whole);
      key_text_.push_back(std::move(r.key));
    }
    post_position_.push_back(r.position);
    post_delta_.push_back(r.delta);
  }
  post_begin_.push_back(static_cast<uint32_t>(post_position_.size()));
  std::vector<Raw>().swap(raw);
  BuildAutomaton();

  node_stamp_.assign(child_begin_.size(), 0);
  entry_stamp_.assign(entries_.size(), 0);
  entry_score_.assign(entries_.size(), 0);
}

void PatternIndex::BuildAutomaton() {
  auto add_node = [&](unsigned char byte) {
    child_begin_.push_back(0);
    child_count_.push_back(0);
    node_byte_.push_back(byte);
    node_key_.push_back(-1);
    return static_cast<uint32_t>(child_begin_.size() - 1);
  };
  add_node(0);
  struct Job {
    uint32_t node, lo, hi, depth;
  };
  std::vector<Job> queue;
  std::vector<uint32_t> parent(1, 0);
  const uint32_t keys = static_cast<uint32_t>(key_text_.size());
  if (keys > 0) queue.push_back({0, 0, keys, 0});
  for (std::size_t q = 0; q < queue.size(); ++q) {
    const Job job = queue[q];
    uint32_t lo = job.lo;
    // Keys of the node's own text come first (a prefix sorts first).
    while (lo < job.hi && key_len_[lo] == job.depth) {
      if (node_key_[job.node] < 0)
        node_key_[job.node] = static_cast<int32_t>(lo);
      ++lo;
    }
    child_begin_[job.node] = static_cast<uint32_t>(child_begin_.size());
    uint32_t count = 0;
    while (lo < job.hi) {
      const unsigned char c =
          static_cast<unsigned char>(key_text_[lo][job.depth]);
      uint32_t end = lo + 1;
      while (end < job.hi &&
             static_cast<unsigned char>(key_text_[end][job.depth]) == c)
        ++end;
      const uint32_t child = add_node(c);
      parent.push_back(job.node);
      queue.push_back({child, lo, end, job.depth + 1});
      ++count;
      lo = end;
    }
    child_count_[job.node] = count;
  }
  std::vector<Job>().swap(queue);

  const uint32_t nodes = static_cast<uint32_t>(child_begin_.size());
  for (uint32_t k = 0; k < child_count_[0]; ++k) {
    const uint32_t child = child_begin_[0] + k;
    root_next_[node_byte_[child]] = child;
  }
  fail_.assign(nodes, 0);
  output_.assign(nodes, 0);
  for (uint32_t v = 1; v < nodes; ++v) {
    const uint32_t u = parent[v];
    uint32_t target = 0;
    if (u != 0) {
      const unsigned char c = node_byte_[v];
      for (uint32_t f = fail_[u];; f = fail_[f]) {
        if (f == 0) {
          target = root_next_[c];
          break;
        }
        if (const uint32_t x = Child(f, c)) {
          target = x;
          break;
        }
      }
    }
    fail_[v] = target;
    output_[v] = node_key_[target] >= 0 ? target : output_[target];
  }
}

uint32_t PatternIndex::Child(uint32_t node, unsigned char b) const {
  const uint32_t begin = child_begin_[node];
  uint32_t lo = begin, hi = begin + child_count_[node];
  while (hi - lo > 8) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (node_byte_[mid] < b)
      lo = mid + 1;
    else
      hi = mid;
  }
  for (; lo < hi; ++lo) {
    if (node_byte_[lo] == b) return lo;
    if (node_byte_[lo] > b) break;
  }
  return 0;
}

void PatternIndex::NewTurn() {
  if (++stamp_ == 0) {
    std::fill(node_stamp_.begin(), node_stamp_.end(), 0);
    std::fill(entry_stamp_.begin(), entry_stamp_.end(), 0);
    stamp_ = 1;
  }
  touched_.clear();
  found_.clear();
}

int32_t PatternIndex::LastStaticScore(int position) const {
  const std::size_t p = static_cast<std::size_t>(position);
  return entry_stamp_[p] == stamp_ ? static_cast<int32_t>(entry_score_[p])
                                   : entries_[p].baseline;
}

int PatternIndex::Choose(const std::string& input,
                         const std::function<int32_t(int)>& score_dynamic,
                         std::string& last_fragment) {
  NewTurn();
  // One pass: every key that occurs, with the end of its first occurrence.
  // A terminal's chain of shorter keys is walked once per turn.
  const auto& table = FStr::Module().table();
  uint32_t node = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const unsigned char b = table[static_cast<unsigned char>(input[i])];
    for (;;) {
      if (node == 0) {
        node = root_next_[b];
        break;
      }
      if (const uint32_t x = Child(node, b)) {
        node = x;
        break;
      }
      node = fail_[node];
    }
    for (uint32_t t = node_key_[node] >= 0 ? node : output_[node];
         t != 0 && node_stamp_[t] != stamp_; t = output_[t]) {
      node_stamp_[t] = stamp_;
      found_.emplace_back(node_key_[t], static_cast<uint32_t>(i));
    }
  }

  for (const auto& [first_key, end] : found_) {
    for (int32_t k = first_key;
         k < key_count() &&
         (k == first_key || (key_len_[k] == key_len_[first_key] &&
                             key_text_[k] == key_text_[first_key]));
         ++k) {
      const std::size_t key = static_cast<std::size_t>(k);
      if (key_whole_[key] &&
          !FragmentInTextAt(key_text_[key], input, end + 1 - key_len_[key]))
        continue;
      for (uint32_t p = post_begin_[key]; p < post_begin_[key + 1]; ++p) {
        const std::size_t at = static_cast<std::size_t>(post_position_[p]);
        if (entry_stamp_[at] != stamp_) {
          entry_stamp_[at] = stamp_;
          entry_score_[at] = entries_[at].baseline;
          touched_.push_back(static_cast<int>(at));
        }
        entry_score_[at] += post_delta_[p];
      }
    }
  }

  int best = -1;
  int32_t best_score = kLowestScore;
  auto consider = [&](int position, int32_t score) {
    if (score <= kLowestScore) return;
    if (best < 0 || score > best_score ||
        (score == best_score && position < best)) {
      best = position;
      best_score = score;
    }
  };
  for (const int at : touched_)
    consider(at, static_cast<int32_t>(entry_score_[static_cast<std::size_t>(at)]));
  for (const int at : by_baseline_) {
    if (entry_stamp_[static_cast<std::size_t>(at)] == stamp_) continue;
    consider(at, entries_[static_cast<std::size_t>(at)].baseline);
    break;
  }
  // Dynamic entries in list order, each seeing the LastFrag the plain
  // path would have left before it.
  for (const int at : dynamic_) {
    if (const WordFragmentClass* before =
            entries_[static_cast<std::size_t>(at)].previous_last)
      last_fragment = before->ObjectName;
    consider(at, score_dynamic(at));
  }
  if (last_fragment_ != nullptr) last_fragment = last_fragment_->ObjectName;
  return best;
}

}  // namespace corvane
