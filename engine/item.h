// The common root of every knowledge item: a kind tag, so that a reference
// held in a registry (NamedObjects) or an owner field can be seen as the
// class it is. Items are never copied; their addresses are stable because
// owning lists hold them by unique_ptr.
#ifndef CORVANE_ENGINE_ITEM_H_
#define CORVANE_ENGINE_ITEM_H_

#include <cstdint>
#include <memory>
#include <string>

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

// Where the language file declared an item. An item that a conversation
// created (a learnt pattern, lines read by "Make Code") has no file and
// line 0. The file name is shared by every item of one reading.
struct SourceLocation {
  std::shared_ptr<const std::string> file;  // The path as given to the reader.
  int64_t line = 0;                         // 1-based; 0 without a file.

  bool from_file() const { return file != nullptr && line > 0; }
};

class Item {
 public:
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  ObjectKind kind() const { return kind_; }
  // Where the reader created the item; empty for items of a conversation.
  const SourceLocation& source() const { return source_; }
  void set_source(SourceLocation source) { source_ = std::move(source); }

 protected:
  explicit Item(ObjectKind kind) : kind_(kind) {}
  ~Item() = default;

 private:
  ObjectKind kind_;
  SourceLocation source_;
};

// `item` seen as T when its kind is T's, otherwise nullptr.
template <typename T>
T* ItemAs(Item* item) {
  return item != nullptr && item->kind() == T::kKind ? static_cast<T*>(item)
                                                     : nullptr;
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_ITEM_H_
