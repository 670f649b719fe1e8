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

// The process-wide table of the files items come from, so that an item
// keeps a 16-bit number instead of a name. Thread-safe (brains on several
// threads read files). The number of `path`; 0 (no file) once 65535
// different paths are known.
uint16_t InternSourceFile(const std::string& path);
// The path with that number; null for 0 or a number never given.
std::shared_ptr<const std::string> SourceFileName(uint16_t number);

class Item {
 public:
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  ObjectKind kind() const { return kind_; }
  // Where the reader created the item; empty for items of a conversation.
  SourceLocation source() const {
    return {SourceFileName(source_file_), source_line_};
  }
  // `file` from InternSourceFile; a line beyond 32 bits is not kept.
  void set_source(uint16_t file, int64_t line) {
    const bool fits = line > 0 && line <= int64_t{UINT32_MAX};
    source_file_ = fits ? file : 0;
    source_line_ = fits ? static_cast<uint32_t>(line) : 0;
  }

 protected:
  explicit Item(ObjectKind kind) : kind_(kind) {}
  ~Item() = default;

 private:
  // Small, so that the kind tag and the location share the first word.
  ObjectKind kind_;
  uint16_t source_file_ = 0;  // InternSourceFile number; 0: none.
  uint32_t source_line_ = 0;  // 1-based; 0: none.
};

// `item` seen as T when its kind is T's, otherwise nullptr.
template <typename T>
T* ItemAs(Item* item) {
  return item != nullptr && item->kind() == T::kKind ? static_cast<T*>(item)
                                                     : nullptr;
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_ITEM_H_
