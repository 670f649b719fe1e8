#include "engine/collection.h"

#include <unordered_set>
#include <vector>

#include "base/random.h"
#include "engine/brain.h"
#include "engine/effects.h"
#include "engine/fragment.h"
#include "platform/files.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {
namespace {

// Members compare under the encoding of the brain that holds them.
TextEncoding EncodingOf(const DataCollectionClass& c) {
  return c.Owner != nullptr ? c.Owner->text_encoding() : TextEncoding::kCodePage;
}

}  // namespace

bool DataCollectionClass::HasWordMember(std::string_view text) const {
  if (text.empty()) return false;
  const TextEncoding encoding = EncodingOf(*this);
  if (encoding == TextEncoding::kUtf8) {
    const std::string folded = utf8::Fold(text);
    for (const NameList::Entry& e : Members.entries())
      if (FragmentInMatchText(utf8::Fold(e.name), folded, encoding)) return true;
    return false;
  }
  for (const NameList::Entry& e : Members.entries())
    if (FragmentInText(e.name, text)) return true;
  return false;
}

bool DataCollectionClass::HasSubstringMember(std::string_view text) const {
  if (text.empty()) return false;
  if (EncodingOf(*this) == TextEncoding::kUtf8) {
    const std::string folded = utf8::Fold(text);
    for (const NameList::Entry& e : Members.entries())
      if (!e.name.empty() && folded.find(utf8::Fold(e.name)) != std::string::npos)
        return true;
    return false;
  }
  for (const NameList::Entry& e : Members.entries())
    if (!e.name.empty() && PosNoCase(e.name, text) > 0) return true;
  return false;
}

std::string DataCollectionClass::FirstWordMember(std::string_view text) const {
  if (text.empty()) return "~";
  if (EncodingOf(*this) == TextEncoding::kUtf8) {
    const std::string folded = utf8::Fold(text);
    for (const NameList::Entry& e : Members.entries())
      if (FragmentInMatchText(utf8::Fold(e.name), folded, TextEncoding::kUtf8))
        return e.name;
    return "~";
  }
  for (const NameList::Entry& e : Members.entries())
    if (FragmentInText(e.name, text)) return e.name;
  return "~";
}

std::string DataCollectionClass::IndexedWordMember(std::string_view text,
                                                   std::string_view index) const {
  if (text.empty()) return {};
  const TextEncoding encoding = EncodingOf(*this);
  NameList words;
  SplitWords(text, words, encoding);
  std::unordered_set<std::string> word_set;
  for (const NameList::Entry& e : words.entries())
    word_set.insert(UpperForMatch(encoding, e.name));
  const int32_t n = TryParseInt32(TrimView(index)).value_or(-1);
  if (n < 0) return {};
  int32_t seen = 0;
  for (const NameList::Entry& e : Members.entries()) {
    if (word_set.count(UpperForMatch(encoding, e.name)) == 0) continue;
    if (seen == n) return e.name;
    ++seen;
  }
  return {};
}

std::string DataCollectionClass::FirstSubstringMember(std::string_view text) const {
  if (text.empty()) return "~";
  if (EncodingOf(*this) == TextEncoding::kUtf8) {
    const std::string folded = utf8::Fold(text);
    for (const NameList::Entry& e : Members.entries())
      if (!e.name.empty() && folded.find(utf8::Fold(e.name)) != std::string::npos)
        return e.name;
    return "~";
  }
  for (const NameList::Entry& e : Members.entries())
    if (PosNoCase(e.name, text) > 0) return e.name;
  return "~";
}

std::string DataCollectionClass::AllMembers(std::string_view text) const {
  std::string out;
  if (text.empty()) return out;
  for (const NameList::Entry& e : Members.entries()) {
    if (out.empty())
      out = e.name;
    else
      out += ", " + e.name;
  }
  return out;
}

std::string DataCollectionClass::PickMember(std::string_view selector,
                                            Random& random) const {
  if (selector.empty() || Members.empty()) return {};
  int32_t n = 0;
  const std::size_t bar = selector.find('|');
  if (bar != std::string_view::npos)
    n = ToIntOrZero(selector.substr(bar + 1));
  else
    n = random.Below(Members.Count());
  if (n < 0 || n >= Members.Count()) return {};
  return Members.At(n);
}

void DataCollectionClass::Include(std::string_view text) {
  if (text.empty()) return;
  const std::string_view t = TrimView(text);
  if (Members.IndexOf(t) < 0) Members.Add(std::string(t));
}

void DataCollectionClass::Exclude(std::string_view text) {
  if (text.empty()) return;
  const int index = Members.IndexOf(TrimView(text));
  if (index >= 0) Members.Delete(index);
}

void DataCollectionClass::LoadFromFile(const std::string& path,
                                       const PathMapper& paths) {
  const std::optional<std::string> data = paths.ReadConfined(path);
  if (!data) return;
  std::vector<std::string> lines;
  const std::string& d = *data;
  std::size_t start = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d[i] != '\r' && d[i] != '\n') continue;
    lines.emplace_back(d, start, i - start);
    if (d[i] == '\r' && i + 1 < d.size() && d[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < d.size()) lines.emplace_back(d, start, d.size() - start);
  // A UTF-8 knowledge base holds only UTF-8: bytes of the file that are
  // none become U+FFFD.
  if (EncodingOf(*this) == TextEncoding::kUtf8)
    for (std::string& line : lines) utf8::SanitizeInPlace(line);
  Members.Clear();
  Members.AddMany(std::move(lines));
}

void DataCollectionClass::SaveToFile(const std::string& path,
                                     const PathMapper& paths,
                                     EffectSink& effects) const {
  std::string data;
  for (const NameList::Entry& e : Members.entries()) {
    data += e.name;
    data += "\r\n";
  }
  effects.ReplaceFile(path, data, paths);
}

}  // namespace corvane
