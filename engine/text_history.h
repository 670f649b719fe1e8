// A history of texts, newest first, bounded in entries and in bytes: the
// input and output histories of a conversation.
//
// Every turn pushes at least one text and the oldest leave at the other
// end, so the texts live in one buffer, oldest first, with the offset of
// each; a push appends, and a text that leaves only moves the start of the
// live part. The dead part in front is dropped by moving the live part
// down once it outweighs a third of the live part (in entries or in
// bytes), so a push costs its own bytes and a share of the moves, never a
// shift of the whole history, and a full history pushes without
// allocating. Two small buffers per history instead of one string per
// entry also keep a conversation small.
//
// Owns its texts. Not thread-safe; a history no one changes may be read
// from several threads. Views returned by At or by iteration stay valid
// until the next change of the history.
#ifndef CORVANE_ENGINE_TEXT_HISTORY_H_
#define CORVANE_ENGINE_TEXT_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

namespace corvane {

class TextHistory {
 public:
  TextHistory() = default;
  // A copy holds the live texts only, in buffers of their size.
  TextHistory(const TextHistory& other);
  TextHistory& operator=(const TextHistory& other);
  TextHistory(TextHistory&&) noexcept = default;
  TextHistory& operator=(TextHistory&&) noexcept = default;

  int Count() const { return static_cast<int>(starts_.size() - first_); }
  bool empty() const { return first_ == starts_.size(); }
  // The bytes of all texts held.
  std::size_t bytes() const { return text_.size() - LiveStart(); }

  // Entry i, 0 the newest. Throws IndexError outside 0..Count()-1.
  std::string_view At(int i) const;

  // Makes `text` the newest entry, then lets the oldest leave while more
  // than one entry is held and there are more than `most_entries` or their
  // texts together exceed `most_bytes`. The newest therefore stays whole
  // whatever its size. `text` may view this history's own texts. Throws
  // OverflowError when the texts held would exceed 4 GiB.
  void Push(std::string_view text, int most_entries, std::size_t most_bytes);

  void Clear();

  // The entries newest first, as views.
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    Iterator() = default;
    std::string_view operator*() const { return history_->Entry(index_); }
    Iterator& operator++() {
      --index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      --index_;
      return before;
    }
    bool operator==(const Iterator& other) const {
      return index_ == other.index_;
    }

   private:
    friend class TextHistory;
    Iterator(const TextHistory* history, std::ptrdiff_t index)
        : history_(history), index_(index) {}
    const TextHistory* history_ = nullptr;
    std::ptrdiff_t index_ = 0;  // Into starts_; the end is first_ - 1.
  };
  Iterator begin() const {
    return Iterator(this, static_cast<std::ptrdiff_t>(starts_.size()) - 1);
  }
  Iterator end() const {
    return Iterator(this, static_cast<std::ptrdiff_t>(first_) - 1);
  }

  // Heap bytes the buffers have reserved (for tests and measurements).
  std::size_t capacity_bytes() const {
    return text_.capacity() + starts_.capacity() * sizeof(uint32_t);
  }

 private:
  // Offset in text_ where the live texts begin.
  std::size_t LiveStart() const {
    return first_ < starts_.size() ? starts_[first_] : text_.size();
  }
  // The text of starts_[k].
  std::string_view Entry(std::ptrdiff_t k) const;
  // Moves the live texts and their offsets to the front, and gives back a
  // buffer far larger than they and `room` more bytes need.
  void Compact(std::size_t room);

  std::vector<char> text_;        // The texts, oldest first, back to back.
  std::vector<uint32_t> starts_;  // Offset of each text in text_.
  std::size_t first_ = 0;         // starts_[first_] is the oldest still held.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_TEXT_HISTORY_H_
