// An ordered list of texts, each with an attached object reference that the
// list does not own. Lookup by name ignores case: ASCII case unless the list
// is given another folding (NameFolding; the names of a UTF-8 knowledge
// base fold by Unicode simple case folding). An unsorted list keeps
// duplicates and finds the first equal entry; a sorted list keeps its
// entries in the byte order of the folded names, finds by bisection and
// ignores the adding of a name already present. Reading outside the list
// raises IndexError. Not thread-safe, except that lookups of a list that no
// one changes may run at once after PrepareLookups.
#ifndef CORVANE_BASE_NAME_LIST_H_
#define CORVANE_BASE_NAME_LIST_H_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/ascii.h"

namespace corvane {

// How a list compares names without regard to case, when not by ASCII
// letters alone. The layer that knows the text rules provides it; the list
// only calls it. Both functions must agree: two names compare equal exactly
// when their keys are equal, and names order as their keys do byte by byte
// as unsigned values.
struct NameFolding {
  // <0, 0, >0 as the folded forms of a and b compare.
  int (*compare)(std::string_view a, std::string_view b);
  // The folded form of the name, the key of a list's hash index.
  std::string (*key)(std::string_view name);
};

// Compares as a list with that folding does; nullptr is ASCII folding.
inline int CompareNames(const NameFolding* folding, std::string_view a,
                        std::string_view b) {
  return folding == nullptr ? CompareNoCase(a, b) : folding->compare(a, b);
}
inline bool EqualNames(const NameFolding* folding, std::string_view a,
                       std::string_view b) {
  return folding == nullptr ? EqualNoCase(a, b) : folding->compare(a, b) == 0;
}
// The folded form of a name under that folding: with nullptr, the name
// with a to z upper-cased.
std::string FoldName(const NameFolding* folding, std::string_view name);

class NameList {
 public:
  enum Order { kUnsorted, kSorted };

  struct Entry {
    std::string name;
    void* object = nullptr;  // Not owned.
  };

  explicit NameList(Order order = kUnsorted,
                    const NameFolding* folding = nullptr)
      : folding_(folding), sorted_(order == kSorted) {}
  ~NameList();
  // A copy has the entries, order, folding and (when built) index of the
  // original.
  NameList(const NameList& other);
  NameList& operator=(const NameList& other);
  NameList(NameList&&) noexcept;
  NameList& operator=(NameList&&) noexcept;

  int Count() const { return static_cast<int>(entries_.size()); }
  bool empty() const { return entries_.empty(); }
  bool sorted() const { return sorted_; }

  // How names compare; nullptr for ASCII folding, the default.
  const NameFolding* folding() const { return folding_; }
  // Compares names from now on with `folding` (nullptr: ASCII letters). A
  // sorted list is put into the new order at once, keeping the first of
  // names that have become equal; an unsorted one keeps its order.
  void SetFolding(const NameFolding* folding);
  // Compares two names as this list does: <0, 0, >0.
  int Compare(std::string_view a, std::string_view b) const {
    return CompareNames(folding_, a, b);
  }
  bool Equal(std::string_view a, std::string_view b) const {
    return EqualNames(folding_, a, b);
  }

  // Stops keeping the list sorted; the current order stays. From then on
  // Add appends and keeps duplicates.
  void SetUnsorted() { sorted_ = false; }

  // The name at i; throws IndexError outside the list.
  const std::string& At(int i) const;
  // The object at i; throws IndexError outside the list.
  void* ObjectAt(int i) const;
  void SetObject(int i, void* object);
  // Renames the entry at i; only for unsorted lists (AssertionError
  // otherwise, as a sorted list would fall out of order).
  void SetName(int i, std::string name);

  // Unsorted: appends and returns the new index. Sorted: inserts at the
  // name's place and returns it, or returns the existing index (and changes
  // nothing) when an equal name is present.
  int Add(std::string name, void* object = nullptr);

  // Adds every name as Add would, in order, but in O(n log n) overall: a
  // sorted list keeps the first of equal names, existing entries first.
  void AddMany(std::vector<std::string> names);

  // Inserts at position i (0..Count()); only for unsorted lists
  // (AssertionError otherwise).
  void Insert(int i, std::string name, void* object = nullptr);

  // Removes the entry at i; throws IndexError outside the list.
  void Delete(int i);
  // Removes every entry; the order and folding stay.
  void Clear() {
    entries_.clear();
    index_.reset();
    index_valid_ = false;
  }

  // Position of the first entry equal to name ignoring case, -1 if none.
  int IndexOf(std::string_view name) const;
  // Position of the first entry whose object is `object`, -1 if none.
  int IndexOfObject(const void* object) const;

  const std::vector<Entry>& entries() const { return entries_; }

  // Builds now whatever a lookup would build on demand (the hash index of
  // a long unsorted list), so that lookups of a list no one changes write
  // nothing and may run in several threads at once.
  void PrepareLookups() const;

 private:
  void Check(int i) const;
  // Sorted lists: first position whose name is not less than `name`.
  std::size_t LowerBound(std::string_view name) const;

  // Unsorted lists: makes index_ describe entries_ again.
  void RebuildIndex() const;
  void InvalidateIndex() { index_valid_ = false; }

  using Index = std::unordered_map<std::string, int>;

  std::vector<Entry> entries_;
  // Unsorted lists that are searched by name keep, once they are longer
  // than a few entries, a hash index from the folded name to its first
  // position, so that registering many distinct names stays linear. Appends
  // and deletions keep it current; other changes drop it until the next
  // lookup. Held through a pointer, made by the first lookup that needs
  // it, so that the many short or never searched lists (a conversation's
  // stacks and pending output, a collection's members) cost no more than
  // their entries.
  mutable std::unique_ptr<Index> index_;
  const NameFolding* folding_;  // Not owned; static. Null: ASCII folding.
  bool sorted_;
  mutable bool index_valid_ = false;  // index_ describes entries_.
};

}  // namespace corvane

#endif  // CORVANE_BASE_NAME_LIST_H_
