// A text that is usually empty, such as the label of a knowledge item: one
// pointer wide, with the text on the heap only once it has been non-empty.
// It reads as a const std::string& or a std::string_view, so it can be
// passed and compared where a string is expected. A reference taken to its
// text stays valid while the label lives, except when the label was empty
// at the time and is given a text later. Not thread-safe.
#ifndef CORVANE_BASE_LABEL_H_
#define CORVANE_BASE_LABEL_H_

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace corvane {

class Label {
 public:
  Label() = default;
  Label(const Label& other) { Assign(other.str()); }
  Label(Label&& other) noexcept = default;
  Label& operator=(const Label& other) {
    if (this != &other) Assign(other.str());
    return *this;
  }
  Label& operator=(Label&& other) noexcept = default;
  ~Label() = default;

  Label& operator=(std::string text) {
    if (text_ != nullptr) {
      *text_ = std::move(text);
    } else if (!text.empty()) {
      text_ = std::make_unique<std::string>(std::move(text));
    }
    return *this;
  }
  Label& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  Label& operator=(const char* text) {
    Assign(std::string_view(text));
    return *this;
  }

  const std::string& str() const {
    return text_ != nullptr ? *text_ : EmptyText();
  }
  operator const std::string&() const { return str(); }
  operator std::string_view() const { return str(); }

  bool empty() const { return text_ == nullptr || text_->empty(); }
  std::size_t size() const { return text_ == nullptr ? 0 : text_->size(); }
  const char* c_str() const { return str().c_str(); }

  friend bool operator==(const Label& a, const Label& b) {
    return a.str() == b.str();
  }
  friend bool operator==(const Label& a, std::string_view b) {
    return std::string_view(a.str()) == b;
  }
  friend std::ostream& operator<<(std::ostream& out, const Label& label) {
    return out << label.str();
  }

 private:
  static const std::string& EmptyText() {
    static const std::string empty;
    return empty;
  }
  void Assign(std::string_view text) {
    if (text_ != nullptr) {
      text_->assign(text);
    } else if (!text.empty()) {
      text_ = std::make_unique<std::string>(text);
    }
  }

  std::unique_ptr<std::string> text_;  // Null while the text is empty.
};

}  // namespace corvane

#endif  // CORVANE_BASE_LABEL_H_
