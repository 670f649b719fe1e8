#include "text/fstr.h"

#include <cstring>
#include <vector>

#include "base/checked.h"
#include "base/error.h"

namespace corvane {
namespace {

// Needles up to this length use the plain comparison, whose worst case is
// this many comparisons per text byte; longer needles use the prefix
// function so that a long hostile needle cannot make a search quadratic.
constexpr std::size_t kPlainScanMaxNeedle = 32;

// Windows-1252 upper case of one byte, as the platform's in-place
// upper-casing of a byte buffer gives it.
unsigned char Upper1252(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe ligature
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: break;
  }
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<unsigned char>(c - 0x20);
  return c;
}

}  // namespace

SearchModule::SearchModule(const char* source_name, int assertion_line)
    : source_name_(source_name), assertion_line_(assertion_line) {
  for (int b = 0; b < 256; ++b) table_[b] = static_cast<unsigned char>(b);
  for (int b = 0; b < 256; ++b) table_[b] = Upper1252(table_[b]);
  for (int b = 0; b < 256; ++b) {
    const unsigned char folded = table_[b];
    if (unfolded_count_[folded] >= unfolded_[folded].size())
      throw AssertionError(source_name_, assertion_line_);
    unfolded_[folded][unfolded_count_[folded]++] = static_cast<unsigned char>(b);
  }
}

const char* SearchModule::ScanNoCase(std::string_view region,
                                     std::string_view needle) const {
  const std::size_t m = needle.size();
  if (m < 1 || region.size() < m) return nullptr;
  const auto* r = reinterpret_cast<const unsigned char*>(region.data());
  const auto* n = reinterpret_cast<const unsigned char*>(needle.data());
  if (m <= kPlainScanMaxNeedle) {
    // Candidates are the bytes that fold to the needle's first; memchr
    // finds the next of each, and the nearer one is tried.
    const unsigned char* const end = r + (region.size() - m + 1);
    const unsigned char first = table_[n[0]];
    const uint8_t kinds = unfolded_count_[first];
    const unsigned char* next[2] = {nullptr, nullptr};
    auto find = [&](int which, const unsigned char* from) {
      next[which] = from < end ? static_cast<const unsigned char*>(std::memchr(
                                     from, unfolded_[first][which],
                                     static_cast<std::size_t>(end - from)))
                               : nullptr;
    };
    for (int which = 0; which < kinds; ++which) find(which, r);
    while (next[0] != nullptr || next[1] != nullptr) {
      const int which =
          next[1] == nullptr || (next[0] != nullptr && next[0] < next[1]) ? 0 : 1;
      const unsigned char* at = next[which];
      std::size_t k = m - 1;
      while (k > 0 && table_[at[k]] == table_[n[k]]) --k;
      if (k == 0) return region.data() + (at - r);
      find(which, at + 1);
    }
    return nullptr;
  }
  // Prefix function (Knuth-Morris-Pratt) over the folded needle.
  std::vector<std::size_t> fail(m, 0);
  for (std::size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && table_[n[i]] != table_[n[k]]) k = fail[k - 1];
    if (table_[n[i]] == table_[n[k]]) ++k;
    fail[i] = k;
  }
  for (std::size_t i = 0, k = 0; i < region.size(); ++i) {
    while (k > 0 && table_[r[i]] != table_[n[k]]) k = fail[k - 1];
    if (table_[r[i]] == table_[n[k]]) ++k;
    if (k == m) return region.data() + (i + 1 - m);
  }
  return nullptr;
}

int32_t SearchModule::PosNoCaseFrom(std::string_view text,
                                    std::string_view needle,
                                    int32_t start) const {
  if (start < 1) throw AssertionError(source_name_, assertion_line_);
  const int32_t length = CheckedCount(text.size());
  if (start > length)
    throw RangeError("Range check error: start " + std::to_string(start) +
                     " beyond text of length " + std::to_string(length));
  const std::string_view region = text.substr(static_cast<std::size_t>(start - 1));
  const char* hit = ScanNoCase(region, needle);
  if (hit == nullptr) return 0;
  return CheckedCount(static_cast<std::size_t>(hit - text.data()) + 1);
}

int32_t SearchModule::PosNoCase(std::string_view needle,
                                std::string_view text) const {
  if (needle.empty() || text.empty()) return 0;
  return PosNoCaseFrom(text, needle, 1);
}

int32_t SearchModule::PosNoCaseAt(std::string_view needle, std::string_view text,
                                  int32_t start) const {
  if (needle.empty() || text.empty()) return 0;
  return PosNoCaseFrom(text, needle, start);
}

const SearchModule& FStr::Module() {
  static const SearchModule module("FStr", 331);
  return module;
}

const SearchModule& FastStrings::Module() {
  static const SearchModule module("FastStrings", 447);
  return module;
}

std::string FStr::CopyText(std::string_view text, int32_t index,
                           int32_t count) {
  const int32_t length = CheckedCount(text.size());
  if (count <= 0 || text.empty() || index < 1 || index > length) return {};
  if (CheckedSub(CheckedAdd(index, count), 1) > length)
    count = length - index + 1;
  return std::string(text.substr(static_cast<std::size_t>(index - 1),
                                 static_cast<std::size_t>(count)));
}

}  // namespace corvane
