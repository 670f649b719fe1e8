// An ordered list that owns its objects. Addresses are stable (a vector of
// unique_ptr), replacing an entry hands the old object back to the caller,
// and reading outside the list raises IndexError.
#ifndef CORVANE_BASE_OWNING_LIST_H_
#define CORVANE_BASE_OWNING_LIST_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"

namespace corvane {

template <typename T>
class OwningList {
 public:
  OwningList() = default;
  OwningList(const OwningList&) = delete;
  OwningList& operator=(const OwningList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  bool empty() const { return items_.empty(); }

  // The object at index i; throws IndexError outside 0..Count()-1.
  T* At(int i) const {
    Check(i);
    return items_[static_cast<std::size_t>(i)].get();
  }

  // Appends `item` and returns its address.
  T* Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return items_.back().get();
  }

  // Puts `item` at index i and returns the object that stood there.
  std::unique_ptr<T> Replace(int i, std::unique_ptr<T> item) {
    Check(i);
    std::swap(items_[static_cast<std::size_t>(i)], item);
    return item;
  }

  // Removes the entry at index i and returns its object.
  std::unique_ptr<T> Remove(int i) {
    Check(i);
    auto it = items_.begin() + i;
    std::unique_ptr<T> out = std::move(*it);
    items_.erase(it);
    return out;
  }

  // Position of `item`, -1 when it is not in the list.
  int IndexOf(const T* item) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (items_[i].get() == item) return static_cast<int>(i);
    return -1;
  }

  // Removes every entry and returns their objects in list order.
  std::vector<std::unique_ptr<T>> TakeAll() { return std::exchange(items_, {}); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  void Check(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= items_.size())
      throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
  }
  std::vector<std::unique_ptr<T>> items_;
};

}  // namespace corvane

#endif  // CORVANE_BASE_OWNING_LIST_H_
