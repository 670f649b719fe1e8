#include "engine/text_history.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "base/error.h"

namespace corvane {
namespace {

constexpr std::size_t kMostHeld = std::numeric_limits<uint32_t>::max();

}  // namespace

TextHistory::TextHistory(const TextHistory& other) {
  const std::size_t start = other.LiveStart();
  text_.reserve(other.text_.size() - start);
  text_.insert(text_.end(),
               other.text_.begin() + static_cast<std::ptrdiff_t>(start),
               other.text_.end());
  starts_.reserve(other.starts_.size() - other.first_);
  for (std::size_t k = other.first_; k < other.starts_.size(); ++k)
    starts_.push_back(other.starts_[k] - static_cast<uint32_t>(start));
}

TextHistory& TextHistory::operator=(const TextHistory& other) {
  if (this != &other) {
    TextHistory copy(other);
    *this = std::move(copy);
  }
  return *this;
}

std::string_view TextHistory::Entry(std::ptrdiff_t k) const {
  const std::size_t at = static_cast<std::size_t>(k);
  const std::size_t begin = starts_[at];
  const std::size_t end =
      at + 1 < starts_.size() ? starts_[at + 1] : text_.size();
  return std::string_view(text_.data() + begin, end - begin);
}

std::string_view TextHistory::At(int i) const {
  if (i < 0 || i >= Count())
    throw IndexError("List index out of bounds (" + std::to_string(i) + ")");
  return Entry(static_cast<std::ptrdiff_t>(starts_.size()) - 1 - i);
}

void TextHistory::Push(std::string_view text, int most_entries,
                       std::size_t most_bytes) {
  // A view of a text held here would move with the buffer.
  if (!text.empty() && !text_.empty() && text.data() >= text_.data() &&
      text.data() < text_.data() + text_.size()) {
    const std::string own(text);
    Push(own, most_entries, most_bytes);
    return;
  }
  // The oldest leave as if the text were already the newest, so that the
  // newest is never the one to leave.
  std::size_t count = static_cast<std::size_t>(Count()) + 1;
  std::size_t held = bytes() + text.size();
  const std::size_t most =
      most_entries < 1 ? 1 : static_cast<std::size_t>(most_entries);
  while (count > 1 && (count > most || held > most_bytes)) {
    held -= Entry(static_cast<std::ptrdiff_t>(first_)).size();
    ++first_;
    --count;
  }
  const std::size_t live_entries = starts_.size() - first_;
  if (first_ > 0 && (3 * first_ > live_entries || 3 * LiveStart() > bytes()))
    Compact(text.size());
  if (text_.size() + text.size() > kMostHeld) {
    if (first_ > 0) Compact(text.size());
    if (text_.size() + text.size() > kMostHeld)
      throw OverflowError("A history would hold more than 4 GiB of text");
  }
  const std::size_t needed = text_.size() + text.size();
  if (needed > text_.capacity())
    text_.reserve(std::max(
        {needed, text_.capacity() + text_.capacity() / 2, std::size_t{64}}));
  if (starts_.size() == starts_.capacity())
    starts_.reserve(
        std::max(std::size_t{8}, starts_.capacity() + starts_.capacity() / 2));
  starts_.push_back(static_cast<uint32_t>(text_.size()));
  text_.insert(text_.end(), text.begin(), text.end());
}

void TextHistory::Compact(std::size_t room) {
  const std::size_t start = LiveStart();
  const std::size_t live = text_.size() - start;
  const std::size_t want = live + room;
  // A buffer that once held a huge text is given back once it has left.
  if (text_.capacity() > 4 * want + 4096) {
    std::vector<char> fresh;
    fresh.reserve(want + want / 2);
    fresh.insert(fresh.end(),
                 text_.begin() + static_cast<std::ptrdiff_t>(start),
                 text_.end());
    text_.swap(fresh);
  } else {
    text_.erase(text_.begin(),
                text_.begin() + static_cast<std::ptrdiff_t>(start));
  }
  starts_.erase(starts_.begin(),
                starts_.begin() + static_cast<std::ptrdiff_t>(first_));
  for (uint32_t& s : starts_) s -= static_cast<uint32_t>(start);
  first_ = 0;
}

void TextHistory::Clear() {
  text_.clear();
  starts_.clear();
  first_ = 0;
}

}  // namespace corvane
