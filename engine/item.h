// The common root of every knowledge item: a kind tag, so that a reference
// held in a registry (NamedObjects) or an owner field can be seen as the
// class it is. Items are never copied; their addresses are stable because
// owning lists hold them by unique_ptr.
#ifndef CORVANE_ENGINE_ITEM_H_
#define CORVANE_ENGINE_ITEM_H_

#include <cstdint>

namespace corvane {

enum class ObjectKind : uint8_t {
  kBrain,
  kMode,
  kPattern,
  kFragment,
  kResponse,
  kTask,
  kThreshold,
  kState,
  kProc,
  kStep,
  kStepPattern,
  kCollection,
};

class Item {
 public:
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  ObjectKind kind() const { return kind_; }

 protected:
  explicit Item(ObjectKind kind) : kind_(kind) {}
  ~Item() = default;

 private:
  ObjectKind kind_;
};

// `item` seen as T when its kind is T's, otherwise nullptr.
template <typename T>
T* ItemAs(Item* item) {
  return item != nullptr && item->kind() == T::kKind ? static_cast<T*>(item)
                                                     : nullptr;
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_ITEM_H_
