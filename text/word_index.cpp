#include "text/word_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include "text/text_util.h"

namespace corvane {
namespace {

// Number of tally levels: level k lists the numbers seen at least k times.
constexpr int32_t kTallyLevels = 10;

// Signed 32-bit little-endian integer at `at`, decoded byte by byte so that
// neither alignment nor the host's byte order matters.
int32_t DecodeInt32(std::string_view bytes, std::size_t at) {
  const uint32_t v =
      static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
      static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
      static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
      static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
  return static_cast<int32_t>(v);
}

// The text of a length-prefixed record: byte 0 is the length, clamped to
// the bytes the record has after it.
std::string_view LengthPrefixed(std::string_view record) {
  const std::size_t length = static_cast<unsigned char>(record[0]);
  return record.substr(1, std::min(length, record.size() - 1));
}

// A read-only handle on a regular file. Pipes, devices and directories are
// refused, so a data file name that points at one can neither block a
// lookup nor feed it endless bytes.
class RecordFile {
 public:
  // Takes over `fd` (closed when refused).
  static std::optional<RecordFile> Adopt(int fd) {
    if (fd < 0) return std::nullopt;
    RecordFile file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file;
  }

  RecordFile(RecordFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  RecordFile& operator=(RecordFile&&) = delete;
  ~RecordFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Record `number` of `size` bytes, or nothing when the record lies beyond
  // the end or only partly inside the file (a trailing partial record is not
  // part of the file). Positioned reads leave no shared file position.
  std::optional<std::string> ReadRecord(int64_t number, int32_t size) const {
    if (number < 0) return std::nullopt;
    std::string record(static_cast<std::size_t>(size), '\0');
    const off_t offset = static_cast<off_t>(number) * size;
    std::size_t done = 0;
    while (done < record.size()) {
      const ssize_t n = ::pread(fd_, record.data() + done, record.size() - done,
                                offset + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      done += static_cast<std::size_t>(n);
    }
    return record;
  }

  // The whole content, or nothing when it cannot be read.
  std::optional<std::string> ReadAll() const {
    std::string data;
    char buffer[1 << 16];
    off_t offset = 0;
    for (;;) {
      const ssize_t n = ::pread(fd_, buffer, sizeof buffer, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return data;
      data.append(buffer, static_cast<std::size_t>(n));
      offset += n;
    }
  }

 private:
  explicit RecordFile(int fd) : fd_(fd) {}
  int fd_;
};

// The file `name` under the prefix, opened beneath the mapping's root.
std::optional<RecordFile> OpenDataFile(const PathMapper& paths,
                                       const std::string& prefix,
                                       const char* name) {
  return RecordFile::Adopt(
      paths.OpenConfined(prefix + name, O_RDONLY | O_NONBLOCK));
}

// The words of a normalized phrase: split at blanks, empty words dropped.
std::vector<std::string_view> SplitAtBlanks(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// A uniform draw from 0 to n-1 for n >= 1. Counts that fit 32 bits use the
// generator's own draw; larger ones reject on 64-bit values.
int64_t DrawBelow(Random& random, int64_t n) {
  if (n <= INT32_MAX) return random.Below(static_cast<int32_t>(n));
  const uint64_t bound = static_cast<uint64_t>(n);
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  uint64_t v;
  do {
    v = random.Next();
  } while (v >= limit);
  return static_cast<int64_t>(v % bound);
}

}  // namespace

// The two files kept open between lookups.
class WordIndex::Files {
 public:
  Files(RecordFile texts, RecordFile index)
      : texts_(std::move(texts)), index_(std::move(index)) {}
  const RecordFile& texts() const { return texts_; }
  const RecordFile& index() const { return index_; }

 private:
  RecordFile texts_;
  RecordFile index_;
};

WindexObj WindexObj::Decode(std::string_view record) {
  WindexObj entries;
  const int32_t count = DecodeInt32(record, 0);
  entries.Count = std::clamp(count, 0, kMaxWordEntries);
  for (int32_t i = 0; i < entries.Count; ++i)
    entries.Slots[static_cast<std::size_t>(i)] =
        DecodeInt32(record, 4 + 4 * static_cast<std::size_t>(i));
  return entries;
}

std::string NormalizeWord(std::string_view text) {
  const std::string upper = UpperAscii(TrimView(text));
  std::string out;
  out.reserve(upper.size());
  for (char c : upper)
    if (c == ' ' || (c >= 'A' && c <= 'Z')) out.push_back(c);
  return out;
}

WordIndex::WordIndex() = default;
WordIndex::~WordIndex() = default;

std::string WordIndex::Ask(std::string_view phrase, std::string_view directory,
                           const PathMapper& paths, Random& random) {
  std::lock_guard<std::mutex> lock(mu_);
  prefix_ = std::string(directory);
  paths_ = paths;
  return AnswerPhraseLocked(phrase, random);
}

std::string WordIndex::AnswerPhrase(std::string_view phrase, Random& random) {
  std::lock_guard<std::mutex> lock(mu_);
  return AnswerPhraseLocked(phrase, random);
}

std::string WordIndex::AnswerWord(std::string_view word, Random& random) {
  std::lock_guard<std::mutex> lock(mu_);
  return AnswerWordLocked(word, random);
}

WindexObj WordIndex::ReadEntries(std::string_view word) {
  std::lock_guard<std::mutex> lock(mu_);
  return ReadEntriesLocked(word);
}

std::string WordIndex::ReadText(int32_t number) {
  std::lock_guard<std::mutex> lock(mu_);
  return ReadTextLocked(number);
}

WordIndexState WordIndex::state() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

void WordIndex::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  state_ = WordIndexState::kNotOpened;
  prefix_.clear();
  paths_ = PathMapper();
  words_.clear();
  files_.reset();
}

bool WordIndex::EnsureOpenLocked() {
  if (state_ == WordIndexState::kNotOpened) OpenLocked();
  return state_ == WordIndexState::kOpen;
}

// Reads the word list whole and opens the other two files. Any failure is
// final: the index stays failed for the life of this object, whatever
// directory later calls pass. The caller's generator is not reseeded here:
// it was seeded when its brain was made, and reseeding it from the clock
// would make an explicitly seeded conversation unrepeatable.
void WordIndex::OpenLocked() {
  state_ = WordIndexState::kFailed;
  words_.clear();
  const std::optional<RecordFile> words_file =
      OpenDataFile(paths_, prefix_, kWordsFileName);
  if (!words_file) return;
  const std::optional<std::string> words = words_file->ReadAll();
  if (!words) return;
  const std::size_t records = words->size() / kWordRecordSize;
  words_.reserve(records);
  for (std::size_t i = 0; i < records; ++i) {
    const std::string_view record =
        std::string_view(*words).substr(i * kWordRecordSize, kWordRecordSize);
    // emplace keeps the first occurrence of a word listed twice.
    words_.emplace(UpperAscii(LengthPrefixed(record)), static_cast<int32_t>(i));
  }
  std::optional<RecordFile> texts =
      OpenDataFile(paths_, prefix_, kTextsFileName);
  if (!texts) return;
  std::optional<RecordFile> index =
      OpenDataFile(paths_, prefix_, kIndexFileName);
  if (!index) return;
  files_ = std::make_unique<Files>(std::move(*texts), std::move(*index));
  state_ = WordIndexState::kOpen;
}

WindexObj WordIndex::ReadEntriesLocked(std::string_view word) {
  if (!EnsureOpenLocked()) return {};
  const std::string normalized = NormalizeWord(word);
  if (normalized.empty()) return {};
  const auto found = words_.find(normalized);
  if (found == words_.end()) return {};
  const std::optional<std::string> record =
      files_->index().ReadRecord(found->second, kIndexRecordSize);
  if (!record) return {};
  return WindexObj::Decode(*record);
}

std::string WordIndex::ReadTextLocked(int32_t number) {
  if (!EnsureOpenLocked()) return {};
  const std::optional<std::string> record =
      files_->texts().ReadRecord(number, kTextRecordSize);
  if (!record) return {};
  return std::string(LengthPrefixed(*record));
}

std::string WordIndex::AnswerWordLocked(std::string_view word, Random& random) {
  const WindexObj entries = ReadEntriesLocked(word);
  if (entries.Count <= 0) return {};
  const int32_t pick = random.Below(entries.Count);
  return ReadTextLocked(entries.Slots[static_cast<std::size_t>(pick)]);
}

void PhraseTally::Add(const WindexObj& entries, int64_t times) {
  for (int32_t i = 0; i < entries.Count; ++i) {
    const int32_t number = entries.Slots[static_cast<std::size_t>(i)];
    const auto [it, added] = slot_of_.emplace(number, counts_.size());
    if (added) counts_.push_back({number, 0});
    counts_[it->second].weight += times;
  }
}

// Level k < 10 holds each number seen at least k times once, so the highest
// level (the largest count, when below 10) holds exactly the numbers with
// that count. Level 10 holds a number count - 9 times.
std::vector<TallyCandidate> PhraseTally::HighestLevel() const {
  int64_t most = 0;
  for (const TallyCandidate& c : counts_) most = std::max(most, c.weight);
  std::vector<TallyCandidate> top;
  if (most == 0) return top;
  for (const TallyCandidate& c : counts_) {
    if (most < kTallyLevels) {
      if (c.weight == most) top.push_back({c.number, 1});
    } else if (c.weight >= kTallyLevels) {
      top.push_back({c.number, c.weight - (kTallyLevels - 1)});
    }
  }
  return top;
}

// Several words: each distinct word's record is read once and added with
// its repeats, so a long phrase that repeats a word costs one record, not
// one per repeat, and nothing held grows with the phrase's length beyond
// its list of distinct words.
std::string WordIndex::AnswerPhraseLocked(std::string_view phrase,
                                          Random& random) {
  if (!EnsureOpenLocked()) return {};
  const std::string normalized = NormalizeWord(phrase);
  if (normalized.empty()) return {};
  const std::vector<std::string_view> words = SplitAtBlanks(normalized);
  if (words.empty()) return {};
  if (words.size() == 1) return AnswerWordLocked(words[0], random);

  std::unordered_map<std::string_view, std::size_t> slot_of;
  std::vector<std::pair<std::string_view, int64_t>> distinct;  // word, repeats
  for (std::string_view word : words) {
    const auto [it, added] = slot_of.emplace(word, distinct.size());
    if (added) distinct.push_back({word, 0});
    ++distinct[it->second].second;
  }
  PhraseTally tally;
  for (const auto& [word, repeats] : distinct)
    tally.Add(ReadEntriesLocked(word), repeats);
  const std::vector<TallyCandidate> top = tally.HighestLevel();
  if (top.empty()) return {};
  int64_t total = 0;
  for (const TallyCandidate& c : top) total += c.weight;
  int64_t pick = DrawBelow(random, total);
  for (const TallyCandidate& c : top) {
    if (pick < c.weight) return ReadTextLocked(c.number);
    pick -= c.weight;
  }
  return {};  // Not reached: pick < total.
}

WordIndex& ProcessWordIndex() {
  static WordIndex index;
  return index;
}

std::string AskWordIndex(std::string_view phrase, std::string_view directory,
                         const PathMapper& paths, Random& random) {
  return ProcessWordIndex().Ask(phrase, directory, paths, random);
}

void ResetWordIndexForTesting() {
  ProcessWordIndex().Reset();
}

}  // namespace corvane
