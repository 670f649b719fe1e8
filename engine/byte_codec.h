// The byte forms of the engine's snapshots: unsigned integers as base-128
// varints (seven bits a byte, least significant first), signed ones
// zigzagged first, reals as the eight bytes of their IEEE double (little
// endian), texts as a length and their bytes. Readers check every length
// against what is left, so that a damaged or hostile input fails with
// CorruptDataError instead of reading outside the bytes or allocating
// what it claims. Not thread-safe; one writer or reader per use.
#ifndef CORVANE_ENGINE_BYTE_CODEC_H_
#define CORVANE_ENGINE_BYTE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/error.h"

namespace corvane {

class ByteWriter {
 public:
  void U64(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }
  void I64(int64_t v) {
    U64((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
  }
  void Bool(bool v) { out_.push_back(v ? '\1' : '\0'); }
  void Byte(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void Real(double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i)
      out_.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  }
  void Text(std::string_view text) {
    U64(text.size());
    out_.append(text);
  }
  void Raw(std::string_view bytes) { out_.append(bytes); }

  const std::string& bytes() const { return out_; }
  std::string Take() { return std::move(out_); }
  std::size_t size() const { return out_.size(); }

 private:
  std::string out_;
};

class ByteReader {
 public:
  // `what` names the data in error messages ("snapshot").
  ByteReader(std::string_view bytes, const char* what)
      : in_(bytes), what_(what) {}

  uint64_t U64() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint8_t b = static_cast<uint8_t>(Next());
      if (shift == 63 && b > 1) Fail("a number is too large");
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return v;
    }
    Fail("a number is too long");
  }
  int64_t I64() {
    const uint64_t z = U64();
    return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
  }
  // A number that must lie in 0..max.
  uint64_t U64At(uint64_t max, const char* what) {
    const uint64_t v = U64();
    if (v > max) Fail(std::string(what) + " is out of range");
    return v;
  }
  int32_t I32() {
    const int64_t v = I64();
    if (v < INT32_MIN || v > INT32_MAX) Fail("a number is out of range");
    return static_cast<int32_t>(v);
  }
  bool Bool() {
    const char c = Next();
    if (c != 0 && c != 1) Fail("a flag is neither 0 nor 1");
    return c == 1;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }
  double Real() {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
      bits |= static_cast<uint64_t>(static_cast<uint8_t>(Next())) << (8 * i);
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  std::string Text() { return std::string(TextView()); }
  // The same as a view of the bytes read, valid as long as they are.
  std::string_view TextView() {
    const uint64_t n = U64();
    if (n > left()) Fail("a text runs past the end");
    const std::string_view text = in_.substr(at_, static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return text;
  }
  std::string_view Raw(std::size_t n) {
    if (n > left()) Fail("the data end early");
    const std::string_view bytes = in_.substr(at_, n);
    at_ += n;
    return bytes;
  }
  // A count of things each at least one byte long: never more than what
  // is left, so no count makes a reader allocate beyond the input.
  std::size_t Count() {
    const uint64_t n = U64();
    if (n > left()) Fail("a count exceeds the data");
    return static_cast<std::size_t>(n);
  }

  std::size_t left() const { return in_.size() - at_; }
  bool done() const { return at_ == in_.size(); }
  [[noreturn]] void Fail(const std::string& why) const {
    throw CorruptDataError(std::string("Damaged ") + what_ + ": " + why +
                           " (at byte " + std::to_string(at_) + ")");
  }

 private:
  char Next() {
    if (at_ >= in_.size()) Fail("the data end early");
    return in_[at_++];
  }

  std::string_view in_;
  std::size_t at_ = 0;
  const char* what_;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_BYTE_CODEC_H_
