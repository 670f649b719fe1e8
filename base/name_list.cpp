#include "base/name_list.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "base/error.h"

namespace corvane {
namespace {

// Short lists are searched directly; longer ones through the hash index.
constexpr std::size_t kLinearLookupMax = 16;

}  // namespace

std::string FoldName(const NameFolding* folding, std::string_view name) {
  if (folding != nullptr) return folding->key(name);
  std::string key(name);
  for (char& c : key) c = FoldAscii(c);
  return key;
}

NameList::~NameList() = default;

// A list moved from is empty and without an index.
NameList::NameList(NameList&& other) noexcept
    : entries_(std::move(other.entries_)),
      index_(std::move(other.index_)),
      folding_(other.folding_),
      sorted_(other.sorted_),
      index_valid_(other.index_valid_) {
  other.entries_.clear();
  other.index_valid_ = false;
}

NameList& NameList::operator=(NameList&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    index_ = std::move(other.index_);
    folding_ = other.folding_;
    sorted_ = other.sorted_;
    index_valid_ = other.index_valid_;
    other.entries_.clear();
    other.index_valid_ = false;
  }
  return *this;
}

NameList::NameList(const NameList& other)
    : entries_(other.entries_),
      index_(other.index_valid_ ? std::make_unique<Index>(*other.index_)
                                : nullptr),
      folding_(other.folding_),
      sorted_(other.sorted_),
      index_valid_(other.index_valid_) {}

NameList& NameList::operator=(const NameList& other) {
  if (this != &other) {
    NameList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void NameList::Check(int i) const {
  if (i < 0 || static_cast<std::size_t>(i) >= entries_.size())
    throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
}

const std::string& NameList::At(int i) const {
  Check(i);
  return entries_[static_cast<std::size_t>(i)].name;
}

void* NameList::ObjectAt(int i) const {
  Check(i);
  return entries_[static_cast<std::size_t>(i)].object;
}

void NameList::SetObject(int i, void* object) {
  Check(i);
  entries_[static_cast<std::size_t>(i)].object = object;
}

void NameList::SetName(int i, std::string name) {
  Check(i);
  // A new name would leave a sorted list out of order, and its bisection
  // would miss entries.
  if (sorted_) throw AssertionError(__FILE__, __LINE__);
  entries_[static_cast<std::size_t>(i)].name = std::move(name);
  InvalidateIndex();
}

std::size_t NameList::LowerBound(std::string_view name) const {
  std::size_t lo = 0, hi = entries_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (Compare(entries_[mid].name, name) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

int NameList::Add(std::string name, void* object) {
  if (!sorted_) {
    if (index_valid_) index_->emplace(FoldName(folding_, name), Count());
    entries_.push_back(Entry{std::move(name), object});
    return Count() - 1;
  }
  const std::size_t pos = LowerBound(name);
  if (pos < entries_.size() && Compare(entries_[pos].name, name) == 0)
    return static_cast<int>(pos);
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(pos),
                  Entry{std::move(name), object});
  return static_cast<int>(pos);
}

void NameList::AddMany(std::vector<std::string> names) {
  if (!sorted_) {
    entries_.reserve(entries_.size() + names.size());
    for (std::string& n : names)
      entries_.push_back(Entry{std::move(n), nullptr});
    InvalidateIndex();
    return;
  }
  std::vector<Entry> added;
  added.reserve(names.size());
  for (std::string& n : names) added.push_back(Entry{std::move(n), nullptr});
  auto less = [this](const Entry& a, const Entry& b) {
    return Compare(a.name, b.name) < 0;
  };
  // Stable, so the first of equal names stays first; existing entries go
  // before new ones and win ties.
  std::stable_sort(added.begin(), added.end(), less);
  std::vector<Entry> merged;
  merged.reserve(entries_.size() + added.size());
  std::merge(std::make_move_iterator(entries_.begin()),
             std::make_move_iterator(entries_.end()),
             std::make_move_iterator(added.begin()),
             std::make_move_iterator(added.end()), std::back_inserter(merged),
             less);
  entries_.clear();
  InvalidateIndex();
  for (Entry& e : merged)
    if (entries_.empty() || Compare(entries_.back().name, e.name) != 0)
      entries_.push_back(std::move(e));
}

void NameList::SetFolding(const NameFolding* folding) {
  if (folding == folding_) return;
  folding_ = folding;
  InvalidateIndex();
  if (!sorted_ || entries_.size() < 2) return;
  std::vector<Entry> old = std::move(entries_);
  entries_.clear();
  std::stable_sort(old.begin(), old.end(),
                   [this](const Entry& a, const Entry& b) {
                     return Compare(a.name, b.name) < 0;
                   });
  for (Entry& e : old)
    if (entries_.empty() || Compare(entries_.back().name, e.name) != 0)
      entries_.push_back(std::move(e));
}

void NameList::Insert(int i, std::string name, void* object) {
  if (i < 0 || static_cast<std::size_t>(i) > entries_.size())
    throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
  if (sorted_) throw AssertionError(__FILE__, __LINE__);  // As SetName.
  entries_.insert(entries_.begin() + i, Entry{std::move(name), object});
  InvalidateIndex();
}

void NameList::Delete(int i) {
  Check(i);
  std::string name;
  if (index_valid_)
    name = std::move(entries_[static_cast<std::size_t>(i)].name);
  entries_.erase(entries_.begin() + i);
  if (!index_valid_) return;
  // The index follows: later positions move down by one, and when the
  // entry was the first of its name, the next equal entry takes its place.
  // One pass over the index, instead of hashing every name again.
  for (auto& entry : *index_)
    if (entry.second > i) --entry.second;
  const std::string key = FoldName(folding_, name);
  const auto found = index_->find(key);
  if (found == index_->end() || found->second != i) return;
  index_->erase(found);
  for (std::size_t k = static_cast<std::size_t>(i); k < entries_.size(); ++k)
    if (Equal(entries_[k].name, name)) {
      index_->emplace(key, static_cast<int>(k));
      break;
    }
}

int NameList::IndexOf(std::string_view name) const {
  if (sorted_) {
    const std::size_t pos = LowerBound(name);
    if (pos < entries_.size() && Compare(entries_[pos].name, name) == 0)
      return static_cast<int>(pos);
    return -1;
  }
  if (entries_.size() <= kLinearLookupMax) {
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if (Equal(entries_[i].name, name)) return static_cast<int>(i);
    return -1;
  }
  if (!index_valid_) RebuildIndex();
  const auto it = index_->find(FoldName(folding_, name));
  return it == index_->end() ? -1 : it->second;
}

void NameList::PrepareLookups() const {
  if (!sorted_ && entries_.size() > kLinearLookupMax && !index_valid_)
    RebuildIndex();
}

void NameList::RebuildIndex() const {
  if (index_ == nullptr)
    index_ = std::make_unique<Index>();
  else
    index_->clear();
  index_->reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i)
    index_->emplace(FoldName(folding_, entries_[i].name), static_cast<int>(i));
  index_valid_ = true;
}

int NameList::IndexOfObject(const void* object) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].object == object) return static_cast<int>(i);
  return -1;
}

}  // namespace corvane
