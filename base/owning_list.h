// An ordered list that owns its objects. Addresses are stable (an array of
// unique_ptr), replacing an entry hands the old object back to the caller,
// and reading outside the list raises IndexError.
#ifndef CORVANE_BASE_OWNING_LIST_H_
#define CORVANE_BASE_OWNING_LIST_H_

#include <cstdint>
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
  // Destroys the objects in list order.
  ~OwningList() { Clear(); }

  int Count() const { return static_cast<int>(size()); }
  bool empty() const { return size() == 0; }

  // The object at index i; throws IndexError outside 0..Count()-1.
  T* At(int i) const {
    Check(i);
    return data()[i].get();
  }

  // Appends `item` and returns its address.
  T* Add(std::unique_ptr<T> item) {
    if (many_ == nullptr && single_ == nullptr && item != nullptr) {
      single_ = std::move(item);
      return single_.get();
    }
    Spill();
    many_->push_back(std::move(item));
    return many_->back().get();
  }

  // Puts `item` at index i and returns the object that stood there.
  std::unique_ptr<T> Replace(int i, std::unique_ptr<T> item) {
    Check(i);
    if (item == nullptr) Spill();  // A null entry is kept in the array.
    std::swap(data()[i], item);
    return item;
  }

  // Removes the entry at index i and returns its object.
  std::unique_ptr<T> Remove(int i) {
    Check(i);
    if (many_ == nullptr) return std::move(single_);
    std::unique_ptr<T> out = std::move((*many_)[static_cast<std::size_t>(i)]);
    many_->erase(many_->begin() + i);
    return out;
  }

  // Position of `item`, -1 when it is not in the list.
  int IndexOf(const T* item) const {
    const std::unique_ptr<T>* d = data();
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i)
      if (d[i].get() == item) return static_cast<int>(i);
    return -1;
  }

  // Removes every entry and returns their objects in list order.
  std::vector<std::unique_ptr<T>> TakeAll() {
    std::vector<std::unique_ptr<T>> out;
    if (many_ != nullptr) {
      out = std::move(*many_);
      many_.reset();
    } else if (single_ != nullptr) {
      out.push_back(std::move(single_));
    }
    return out;
  }

  const std::unique_ptr<T>* begin() const { return data(); }
  const std::unique_ptr<T>* end() const { return data() + size(); }

 private:
  // Most lists hold one object (a pattern's fragment, its response) or
  // none: that object stays inline, so such a list allocates nothing and
  // is two pointers wide. Without many_, the list is single_ when that is
  // set and empty otherwise (a null entry therefore always lives in
  // many_). With many_, the list is *many_ and single_ is null.
  std::size_t size() const {
    if (many_ != nullptr) return many_->size();
    return single_ != nullptr ? 1 : 0;
  }
  std::unique_ptr<T>* data() {
    return many_ != nullptr ? many_->data() : &single_;
  }
  const std::unique_ptr<T>* data() const {
    return many_ != nullptr ? many_->data() : &single_;
  }
  // Moves to the array form, the inline object first.
  void Spill() {
    if (many_ != nullptr) return;
    many_ = std::make_unique<std::vector<std::unique_ptr<T>>>();
    if (single_ != nullptr) {
      many_->reserve(2);
      many_->push_back(std::move(single_));
    }
  }
  void Clear() {
    std::unique_ptr<T>* d = data();
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) d[i].reset();
    single_.reset();
    many_.reset();
  }
  void Check(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= size())
      throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
  }

  std::unique_ptr<T> single_;  // The only entry, without many_.
  std::unique_ptr<std::vector<std::unique_ptr<T>>> many_;  // Or all of them.
};

}  // namespace corvane

#endif  // CORVANE_BASE_OWNING_LIST_H_
