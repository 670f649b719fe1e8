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

  int Count() const { return static_cast<int>(size_); }
  bool empty() const { return size_ == 0; }

  // The object at index i; throws IndexError outside 0..Count()-1.
  T* At(int i) const {
    Check(i);
    return data()[i].get();
  }

  // Appends `item` and returns its address.
  T* Add(std::unique_ptr<T> item) {
    if (size_ == capacity()) Grow();
    std::unique_ptr<T>& slot = data()[size_++];
    slot = std::move(item);
    return slot.get();
  }

  // Puts `item` at index i and returns the object that stood there.
  std::unique_ptr<T> Replace(int i, std::unique_ptr<T> item) {
    Check(i);
    std::swap(data()[i], item);
    return item;
  }

  // Removes the entry at index i and returns its object.
  std::unique_ptr<T> Remove(int i) {
    Check(i);
    std::unique_ptr<T>* d = data();
    std::unique_ptr<T> out = std::move(d[i]);
    for (std::size_t k = static_cast<std::size_t>(i) + 1; k < size_; ++k)
      d[k - 1] = std::move(d[k]);
    --size_;
    return out;
  }

  // Position of `item`, -1 when it is not in the list.
  int IndexOf(const T* item) const {
    const std::unique_ptr<T>* d = data();
    for (std::size_t i = 0; i < size_; ++i)
      if (d[i].get() == item) return static_cast<int>(i);
    return -1;
  }

  // Removes every entry and returns their objects in list order.
  std::vector<std::unique_ptr<T>> TakeAll() {
    std::vector<std::unique_ptr<T>> out;
    out.reserve(size_);
    std::unique_ptr<T>* d = data();
    for (std::size_t i = 0; i < size_; ++i) out.push_back(std::move(d[i]));
    size_ = 0;
    heap_.reset();
    capacity_ = 0;
    return out;
  }

  const std::unique_ptr<T>* begin() const { return data(); }
  const std::unique_ptr<T>* end() const { return data() + size_; }

 private:
  // Most lists hold one object (a pattern's fragment, its response): it
  // stays inline, so such a list allocates nothing. Longer lists move to
  // an array that doubles.
  std::unique_ptr<T>* data() { return heap_ ? heap_.get() : &single_; }
  const std::unique_ptr<T>* data() const { return heap_ ? heap_.get() : &single_; }
  std::size_t capacity() const { return heap_ ? capacity_ : 1; }
  void Grow() {
    const std::size_t grown = capacity() * 2;
    auto fresh = std::make_unique<std::unique_ptr<T>[]>(grown);
    std::unique_ptr<T>* d = data();
    for (std::size_t i = 0; i < size_; ++i) fresh[i] = std::move(d[i]);
    heap_ = std::move(fresh);
    capacity_ = static_cast<uint32_t>(grown);
  }
  void Clear() {
    std::unique_ptr<T>* d = data();
    for (std::size_t i = 0; i < size_; ++i) d[i].reset();
    size_ = 0;
  }
  void Check(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= size_)
      throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
  }

  std::unique_ptr<T> single_;                // The storage while capacity is 1.
  std::unique_ptr<std::unique_ptr<T>[]> heap_;  // The storage beyond that.
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;                    // Of heap_.
};

}  // namespace corvane

#endif  // CORVANE_BASE_OWNING_LIST_H_
