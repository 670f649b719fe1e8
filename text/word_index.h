// The word index: a read-only associative lookup over three record files
// that ship beside the knowledge base. "Words.str" lists words, record i of
// "WordIndex.idx" lists the text numbers of word i, and "OVData.str" stores
// the texts. Given a phrase, the index answers one text associated with the
// phrase's words: for one word a random one of its texts, for several words a
// random one of the texts that the most words point to. The response type
// "Ask Orvalis" is its caller. Every problem yields the empty text; nothing
// the files hold can make a lookup read outside a record or fail.
#ifndef CORVANE_TEXT_WORD_INDEX_H_
#define CORVANE_TEXT_WORD_INDEX_H_

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/random.h"
#include "platform/files.h"

namespace corvane {

// Record layouts of the three data files (all integers little-endian).
inline constexpr int32_t kWordRecordSize = 31;  // byte 0 length, 30 bytes
inline constexpr int32_t kMaxWordLength = 30;
inline constexpr int32_t kIndexRecordSize = 4004;  // int32 count, 1000 slots
inline constexpr int32_t kMaxWordEntries = 1000;
inline constexpr int32_t kTextRecordSize = 256;  // byte 0 length, 255 bytes
inline constexpr int32_t kMaxTextLength = 255;

inline constexpr char kWordsFileName[] = "Words.str";
inline constexpr char kIndexFileName[] = "WordIndex.idx";
inline constexpr char kTextsFileName[] = "OVData.str";

// One record of "WordIndex.idx": the text numbers of one word. Plain value;
// one is made for each word of a phrase while the phrase is answered.
class WindexObj {
 public:
  // Decodes one 4004-byte record. A negative count reads as 0 and a count
  // above 1000 as 1000, so the slots read are always inside the record.
  // Requires record.size() == kIndexRecordSize.
  static WindexObj Decode(std::string_view record);

  int32_t Count = 0;                             // 0 to 1000.
  std::array<int32_t, kMaxWordEntries> Slots{};  // The first Count matter.
};

// A text number of the highest tally level with the number of times it
// stands in that level's list (its share of the random draw).
struct TallyCandidate {
  int32_t number = 0;
  int64_t weight = 0;
};

// The tally of the words of a phrase. Every occurrence of a text number over
// the words' entries (a number listed twice counts twice, a word repeated in
// the phrase counts each time) raises the number one level, up to ten: level
// k lists the numbers seen at least k times, and level 10 takes a number once
// more for every occurrence beyond the tenth. Only the count of each number
// matters, so a word repeated n times is added once with times = n. Memory
// grows with the distinct numbers only. Not thread-safe.
class PhraseTally {
 public:
  // Adds the first entries.Count slots, each `times` times (times >= 1).
  void Add(const WindexObj& entries, int64_t times);

  // The numbers of the highest level reached, in the order first seen, each
  // weighted by how often it stands in that level's list; empty when nothing
  // was added.
  std::vector<TallyCandidate> HighestLevel() const;

 private:
  std::unordered_map<int32_t, std::size_t> slot_of_;  // number -> counts_ slot
  std::vector<TallyCandidate>
      counts_;  // weight = occurrences, first seen order
};

// The text upper-cased (ASCII letters), trimmed, and reduced to its blanks
// (0x20) and letters A to Z in order: 'its 4 U!' gives 'ITS  U'.
std::string NormalizeWord(std::string_view text);

// The lifecycle of a word index: opened at the first lookup, using that
// lookup's directory; failed is final.
enum class WordIndexState { kNotOpened, kOpen, kFailed };

// One word index with its data files. The files are opened at the first
// answering call and stay open until Reset() or destruction. All methods are
// thread-safe: one mutex serialises every lookup, so lookups of different
// brains may overlap in time. The Random passed in belongs to the caller.
class WordIndex {
 public:
  WordIndex();
  ~WordIndex();
  WordIndex(const WordIndex&) = delete;
  WordIndex& operator=(const WordIndex&) = delete;

  // Stores `directory` as the prefix of the data file names (joined directly:
  // "data" looks for "dataWords.str") and `paths` as the mapping from those
  // names to host files, then answers `phrase` by AnswerPhrase. The prefix
  // matters only for the first opening; once open or failed, later calls use
  // the files already open or answer empty, whatever they pass.
  std::string Ask(std::string_view phrase, std::string_view directory,
                  const PathMapper& paths, Random& random);

  // The answer for a phrase: the normalized phrase split at blanks; one
  // word answers as AnswerWord; several words answer a random one of the
  // texts that occur most often over their entries. Empty when none.
  std::string AnswerPhrase(std::string_view phrase, Random& random);

  // A uniformly chosen text of the word's entries; empty when it has none.
  std::string AnswerWord(std::string_view word, Random& random);

  // The entries of the first word-list entry equal (ignoring case) to
  // NormalizeWord(word); count 0 when there is none, when the normalized
  // word is empty, or when its index record cannot be read whole.
  WindexObj ReadEntries(std::string_view word);

  // The text of record `number` of "OVData.str" (the first L bytes); empty
  // when the number is negative or the record cannot be read whole.
  std::string ReadText(int32_t number);

  WordIndexState state() const;

  // Closes the files and returns to the state not opened with the empty
  // prefix, as at construction.
  void Reset();

 private:
  class Files;

  // Each requires mu_ to be held.
  bool EnsureOpenLocked();
  void OpenLocked();
  std::string AnswerPhraseLocked(std::string_view phrase, Random& random);
  std::string AnswerWordLocked(std::string_view word, Random& random);
  WindexObj ReadEntriesLocked(std::string_view word);
  std::string ReadTextLocked(int32_t number);

  mutable std::mutex mu_;
  WordIndexState state_ = WordIndexState::kNotOpened;
  std::string prefix_;  // The directory most recently passed to Ask.
  PathMapper paths_;    // The mapping most recently passed to Ask.
  // Upper-cased word -> record number of its first occurrence.
  std::unordered_map<std::string, int32_t> words_;
  std::unique_ptr<Files> files_;  // Set while open.
};

// The process-wide word index that every brain asks.
WordIndex& ProcessWordIndex();

// ProcessWordIndex().Ask(phrase, directory, paths, random). Never fails.
std::string AskWordIndex(std::string_view phrase, std::string_view directory,
                         const PathMapper& paths, Random& random);

// Returns the process-wide word index to the state not opened, so that one
// test's failed or open state does not leak into the next.
void ResetWordIndexForTesting();

}  // namespace corvane

#endif  // CORVANE_TEXT_WORD_INDEX_H_
