// An ordered list of texts, each with an attached object reference that the
// list does not own. Lookup by name ignores ASCII case. An unsorted list
// keeps duplicates and finds the first equal entry; a sorted list keeps its
// entries in case-insensitive byte order, finds by bisection and ignores the
// adding of a name already present. Reading outside the list raises
// IndexError. Not thread-safe, except that lookups of a list that no one
// changes may run at once after PrepareLookups.
#ifndef CORVANE_BASE_NAME_LIST_H_
#define CORVANE_BASE_NAME_LIST_H_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/ascii.h"

namespace corvane {

class NameList {
 public:
  enum Order { kUnsorted, kSorted };

  struct Entry {
    std::string name;
    void* object = nullptr;  // Not owned.
  };

  explicit NameList(Order order = kUnsorted) : sorted_(order == kSorted) {}
  ~NameList();
  // A copy has the entries, order and (when built) index of the original.
  NameList(const NameList& other);
  NameList& operator=(const NameList& other);
  NameList(NameList&&) noexcept;
  NameList& operator=(NameList&&) noexcept;

  int Count() const { return static_cast<int>(entries_.size()); }
  bool empty() const { return entries_.empty(); }
  bool sorted() const { return sorted_; }

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
  // than a few entries, a hash index from the upper-cased name to its first
  // position, so that registering many distinct names stays linear. Appends
  // and deletions keep it current; other changes drop it until the next
  // lookup. Held through a pointer, made by the first lookup that needs
  // it, so that the many short or never searched lists (a conversation's
  // stacks and pending output, a collection's members) cost no more than
  // their entries.
  mutable std::unique_ptr<Index> index_;
  bool sorted_;
  mutable bool index_valid_ = false;  // index_ describes entries_.
};

}  // namespace corvane

#endif  // CORVANE_BASE_NAME_LIST_H_
