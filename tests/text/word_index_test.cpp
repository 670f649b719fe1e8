#include "text/word_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/random.h"
#include "platform/files.h"
#include "text/text_util.h"
#include "text/word_index_builder.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string Int32Bytes(int32_t value) {
  std::string out;
  const uint32_t v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
  return out;
}

std::string WordRecord(const std::string& word) {
  std::string r(1, static_cast<char>(word.size()));
  r += word;
  r.resize(kWordRecordSize, '\0');
  return r;
}

// The record of `numbers`; `count` overrides the stored count.
std::string IndexRecord(const std::vector<int32_t>& numbers,
                        std::optional<int32_t> count = std::nullopt) {
  std::string r =
      Int32Bytes(count.value_or(static_cast<int32_t>(numbers.size())));
  for (int32_t n : numbers) r += Int32Bytes(n);
  r.resize(kIndexRecordSize, '\0');
  return r;
}

std::string TextRecord(const std::string& text) {
  std::string r(1, static_cast<char>(text.size()));
  r += text;
  r.resize(kTextRecordSize, '\0');
  return r;
}

// Writes a word index whose texts are "text0" to "text<n-1>".
void WriteIndex(
    const TempDir& dir, const std::string& prefix,
    const std::vector<std::pair<std::string, std::vector<int32_t>>>& words,
    int32_t text_count) {
  std::string w, idx, t;
  for (const auto& [word, numbers] : words) {
    w += WordRecord(word);
    idx += IndexRecord(numbers);
  }
  for (int32_t k = 0; k < text_count; ++k)
    t += TextRecord("text" + IntToText(k));
  dir.Write(prefix + kWordsFileName, w);
  dir.Write(prefix + kIndexFileName, idx);
  dir.Write(prefix + kTextsFileName, t);
}

// How often each answer comes in `draws` asks.
std::map<std::string, int> Answers(WordIndex& index, const std::string& phrase,
                                   Random& random, int draws = 400) {
  std::map<std::string, int> seen;
  for (int i = 0; i < draws; ++i) ++seen[index.AnswerPhrase(phrase, random)];
  return seen;
}

TEST(NormalizeWordTest, KeepsBlanksAndCapitalsOnly) {
  struct Case {
    const char* text;
    const char* normalized;
  };
  const Case cases[] = {
      {"its 4 U!", "ITS  U"},            // digit and mark dropped, blanks kept
      {" Hello ", "HELLO"},              // trimmed before filtering
      {"\tab\tc\n", "ABC"},              // inner tab is not a blank: dropped
      {"don't stop-me", "DONT STOPME"},  // marks join the letters around them
      {"caf\xe9 ol\xc3\xa9", "CAF OL"},  // bytes above 127 dropped
      {"12 !? 3", "  "},                 // only blanks survive
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NormalizeWord(c.text), c.normalized) << c.text;
}

TEST(WindexObjTest, DecodesLittleEndianAndClampsTheCount) {
  std::string record = IndexRecord({513, -1, 0x7F000000});
  WindexObj e = WindexObj::Decode(record);
  ASSERT_EQ(e.Count, 3);
  EXPECT_EQ(e.Slots[0], 513);
  EXPECT_EQ(e.Slots[1], -1);
  EXPECT_EQ(e.Slots[2], 0x7F000000);

  EXPECT_EQ(WindexObj::Decode(IndexRecord({1}, -5)).Count, 0);
  EXPECT_EQ(WindexObj::Decode(IndexRecord({1}, 5000)).Count, kMaxWordEntries);
  EXPECT_EQ(WindexObj::Decode(IndexRecord({1}, INT32_MIN)).Count, 0);
}

class WordIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteIndex(dir_, "",
               {{"HELLO", {5, 7}},
                {"A", {5, 7}},
                {"B", {7, 9}},
                {"C", {5}},
                {"D", {9}},
                {"world", {3}},  // stored in lower case: still found
                {"HELLO", {9}},  // second occurrence never counts
                {"EMPTY", {}},
                {"FAR", {12345678}},  // beyond the last text
                {"NEG", {-4}}},
               10);
  }
  WordIndex& Open() {
    index_.Ask("", "", PathMapper(dir_.path()), random_);
    return index_;
  }

  TempDir dir_;
  WordIndex index_;
  Random random_{42};
};

TEST_F(WordIndexTest, LookupRules) {
  WordIndex& index = Open();
  EXPECT_EQ(index.state(), WordIndexState::kOpen);
  EXPECT_EQ(index.AnswerPhrase("123 ?! 4", random_), "");
  EXPECT_EQ(index.AnswerPhrase("", random_), "");

  const WindexObj a = index.ReadEntries("hello");
  const WindexObj b = index.ReadEntries(" Hello ");
  ASSERT_EQ(a.Count, 2);
  ASSERT_EQ(b.Count, 2);
  EXPECT_EQ(a.Slots[0], 5);
  EXPECT_EQ(a.Slots[1], 7);
  EXPECT_EQ(b.Slots[1], 7);

  EXPECT_EQ(index.AnswerPhrase("WORLD", random_), "text3");
  EXPECT_EQ(index.AnswerPhrase("x y", random_), "");  // neither word listed
  EXPECT_EQ(index.AnswerPhrase("empty", random_), "");
  EXPECT_EQ(index.AnswerPhrase("far", random_), "");  // no such text record
  EXPECT_EQ(index.AnswerPhrase("neg", random_), "");
  EXPECT_EQ(index.ReadText(9), "text9");
  EXPECT_EQ(index.ReadText(10), "");
  EXPECT_EQ(index.ReadText(-1), "");
  EXPECT_EQ(index.ReadEntries("!!").Count, 0);
}

TEST_F(WordIndexTest, OneWordDrawsEachOfItsTexts) {
  WordIndex& index = Open();
  const auto seen = Answers(index, "hello", random_);
  ASSERT_EQ(seen.size(), 2u) << "only texts 5 and 7, never the duplicate's 9";
  EXPECT_GT(seen.at("text5"), 140);
  EXPECT_GT(seen.at("text7"), 140);
  // Punctuation around the word changes nothing.
  EXPECT_EQ(Answers(index, "  hello?!", random_).size(), 2u);
}

TEST_F(WordIndexTest, SeveralWordsAnswerWhatMostOfThemShare) {
  WordIndex& index = Open();
  EXPECT_EQ(Answers(index, "a b", random_),
            (std::map<std::string, int>{{"text7", 400}}));
  // A repeated word counts each time: "c c d" puts 5 twice and 9 once.
  EXPECT_EQ(Answers(index, "c c d", random_),
            (std::map<std::string, int>{{"text5", 400}}));
  const auto either = Answers(index, "c d", random_);
  ASSERT_EQ(either.size(), 2u);
  EXPECT_GT(either.at("text5"), 140);
  EXPECT_GT(either.at("text9"), 140);
  // Unknown words add nothing; one known word among them answers from it.
  EXPECT_EQ(Answers(index, "zz world qq", random_),
            (std::map<std::string, int>{{"text3", 400}}));
  EXPECT_EQ(Answers(index, "zz  qq", random_),
            (std::map<std::string, int>{{"", 400}}));
}

TEST_F(WordIndexTest, FilesOpenOnceWhateverLaterDirectoriesSay) {
  WordIndex& index = Open();
  EXPECT_EQ(index.Ask("world", "elsewhere/", PathMapper(dir_.path()), random_),
            "text3");
  EXPECT_EQ(index.state(), WordIndexState::kOpen);
  index.Reset();
  EXPECT_EQ(index.state(), WordIndexState::kNotOpened);
  EXPECT_EQ(index.Ask("world", "elsewhere/", PathMapper(dir_.path()), random_),
            "");
  EXPECT_EQ(index.state(), WordIndexState::kFailed);
}

TEST(WordIndexStateTest, MissingWordsFileFailsForGood) {
  ResetWordIndexForTesting();
  TempDir dir;
  WriteIndex(dir, "good/", {{"CAT", {0}}}, 1);
  Random random(1);
  const PathMapper paths(dir.path());
  EXPECT_EQ(AskWordIndex("cat", "bad/", paths, random), "");
  EXPECT_EQ(ProcessWordIndex().state(), WordIndexState::kFailed);
  EXPECT_EQ(AskWordIndex("cat", "good/", paths, random), "");
  EXPECT_EQ(AskWordIndex("cat", "good/", paths, random), "");
  ResetWordIndexForTesting();
  EXPECT_EQ(AskWordIndex("cat", "good/", paths, random), "text0");
  ResetWordIndexForTesting();
}

TEST(WordIndexStateTest, EachMissingFileFails) {
  for (const char* missing : {kWordsFileName, kIndexFileName, kTextsFileName}) {
    TempDir dir;
    WriteIndex(dir, "", {{"CAT", {0}}}, 1);
    fs::remove(fs::path(dir.path()) / missing);
    WordIndex index;
    Random random(1);
    EXPECT_EQ(index.Ask("cat", "", PathMapper(dir.path()), random), "")
        << missing;
    EXPECT_EQ(index.state(), WordIndexState::kFailed) << missing;
  }
}

TEST(WordIndexStateTest, PrefixIsJoinedDirectlyAndStaysInsideTheRoot) {
  TempDir dir;
  WriteIndex(dir, "data", {{"CAT", {0}}}, 1);  // dataWords.str ...
  WriteIndex(dir, "sub/", {{"DOG", {0}}}, 1);  // sub/Words.str ...
  Random random(1);
  struct Case {
    const char* prefix;
    const char* phrase;
    const char* answer;
  };
  const Case cases[] = {
      {"data", "cat", "text0"},
      {"data/", "cat", ""},  // no data/Words.str
      {"sub/", "dog", "text0"},
      {"sub\\", "dog", "text0"},  // backslash separates too
      {"sub", "dog", ""},         // looks for subWords.str
      {"C:\\Inetpub\\wwwroot\\sub\\", "dog", "text0"},
      {"../", "dog", ""},  // above the root: refused
      {"sub/../../", "dog", ""},
      {"/", "dog", ""},  // absolute: refused
      {"D:\\sub\\", "dog", ""},
  };
  for (const Case& c : cases) {
    WordIndex index;
    EXPECT_EQ(
        index.Ask(c.phrase, c.prefix, PathMapper(dir.path() + "/"), random),
        c.answer)
        << c.prefix;
  }
  // A symbolic link out of the root is refused like a missing file.
  TempDir outside;
  WriteIndex(outside, "", {{"DOG", {0}}}, 1);
  fs::create_directory_symlink(outside.path(), fs::path(dir.path()) / "link");
  WordIndex index;
  EXPECT_EQ(index.Ask("dog", "link/", PathMapper(dir.path()), random), "");
  // A directory where a data file should be is no data file.
  TempDir odd;
  WriteIndex(odd, "", {{"DOG", {0}}}, 1);
  fs::remove(fs::path(odd.path()) / kTextsFileName);
  fs::create_directory(fs::path(odd.path()) / kTextsFileName);
  WordIndex index2;
  EXPECT_EQ(index2.Ask("dog", "", PathMapper(odd.path()), random), "");
  EXPECT_EQ(index2.state(), WordIndexState::kFailed);
}

TEST(WordIndexStateTest, PartialRecordsAndClampedFieldsStayInside) {
  TempDir dir;
  std::string words = WordRecord("BIG") + WordRecord("CUT") +
                      WordRecord("LONG") + WordRecord("WIDE");
  words[3 * kWordRecordSize] = static_cast<char>(200);  // length above 30
  words += "\x04PART";  // trailing partial record: not a word
  std::string idx = IndexRecord({2, 2, 2}, 5000);  // count above 1000
  for (std::size_t i = 4; i < idx.size(); i += 4)
    idx.replace(i, 4, Int32Bytes(2));
  idx += IndexRecord({1});
  idx += IndexRecord({0}).substr(0, 100);  // LONG's record cut short;
                                           // WIDE has none at all
  std::string texts =
      TextRecord("zero") + TextRecord("one") + TextRecord("two");
  texts += TextRecord("three").substr(0, 10);  // text 3 is partial
  dir.Write(kWordsFileName, words);
  dir.Write(kIndexFileName, idx);
  dir.Write(kTextsFileName, texts);
  WordIndex index;
  Random random(3);
  EXPECT_EQ(index.Ask("big", "", PathMapper(dir.path()), random), "two");
  EXPECT_EQ(index.ReadEntries("big").Count, kMaxWordEntries);
  EXPECT_EQ(index.AnswerPhrase("cut", random), "one");
  EXPECT_EQ(index.ReadEntries("long").Count, 0);
  EXPECT_EQ(index.ReadEntries("wide").Count, 0);
  EXPECT_EQ(index.ReadEntries("part").Count, 0);
  EXPECT_EQ(index.ReadText(3), "");
  // "big cut": 2 occurs 1000 times, so level 10 holds only it.
  EXPECT_EQ(Answers(index, "big cut", random),
            (std::map<std::string, int>{{"two", 400}}));
}

// The literal ten-level tally: lists of decimal number texts.
std::map<int32_t, int64_t> ReferenceTally(const std::vector<WindexObj>& words) {
  std::vector<std::vector<std::string>> levels(10);
  int highest = 0;
  for (const WindexObj& w : words) {
    for (int32_t i = 0; i < w.Count; ++i) {
      const std::string number =
          IntToText(w.Slots[static_cast<std::size_t>(i)]);
      bool placed = false;
      for (int level = 1; level <= 10 && !placed; ++level) {
        highest = std::max(highest, level);
        auto& list = levels[static_cast<std::size_t>(level - 1)];
        if (std::find(list.begin(), list.end(), number) == list.end()) {
          list.push_back(number);
          placed = true;
        }
      }
      if (!placed) levels[9].push_back(number);
    }
  }
  std::map<int32_t, int64_t> top;
  if (highest == 0) return top;
  for (const std::string& n : levels[static_cast<std::size_t>(highest - 1)])
    ++top[ToIntOrZero(n)];
  return top;
}

TEST(PhraseTallyTest, AgreesWithTheTenLevelLists) {
  Random random(7);
  for (int round = 0; round < 300; ++round) {
    // A few distinct words with small number ranges, so counts reach 10.
    const int distinct = 1 + random.Below(4);
    std::vector<WindexObj> records(static_cast<std::size_t>(distinct));
    for (WindexObj& r : records) {
      r.Count = random.Below(8);
      for (int32_t i = 0; i < r.Count; ++i)
        r.Slots[static_cast<std::size_t>(i)] = random.Below(6) - 1;
    }
    const int length = 2 + random.Below(14);
    std::vector<int> phrase;
    for (int i = 0; i < length; ++i) phrase.push_back(random.Below(distinct));

    std::vector<WindexObj> expanded;
    for (int w : phrase)
      expanded.push_back(records[static_cast<std::size_t>(w)]);
    PhraseTally tally;
    std::map<int, int64_t> repeats;
    for (int w : phrase) ++repeats[w];
    for (const auto& [w, times] : repeats)
      tally.Add(records[static_cast<std::size_t>(w)], times);
    std::map<int32_t, int64_t> got;
    for (const TallyCandidate& c : tally.HighestLevel())
      got[c.number] += c.weight;
    EXPECT_EQ(got, ReferenceTally(expanded)) << "round " << round;
  }
}

// Random bytes, truncations and corrupted counts: every lookup must stay
// inside the records (checked by the sanitizers) and answer either nothing or
// the first L bytes of a whole text record.
TEST(WordIndexFuzzTest, CorruptFilesNeverReadOutOfBounds) {
  Random random(2024);
  auto random_bytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random.Below(256));
    return s;
  };
  const std::vector<std::string> vocabulary = {"A", "AB", "CAT", "DOG",
                                               "HELLO"};
  for (int round = 0; round < 300; ++round) {
    TempDir dir;
    std::string words, idx, texts;
    const int kind = round % 3;
    const int word_count = random.Below(6);
    for (int i = 0; i < word_count; ++i) {
      std::string w = WordRecord(vocabulary[static_cast<std::size_t>(
          random.Below(static_cast<int32_t>(vocabulary.size())))]);
      if (kind != 0) w[0] = static_cast<char>(random.Below(256));
      words += w;
      std::string r = kind == 2
                          ? random_bytes(kIndexRecordSize)
                          : IndexRecord({random.Below(8), random.Below(8)},
                                        random.Below(3000) - 1000);
      idx += r;
    }
    for (int i = 0; i < 6; ++i)
      texts += kind == 0 ? TextRecord("t" + IntToText(i))
                         : random_bytes(kTextRecordSize);
    // Cut each file at a random length, sometimes mid-record.
    auto cut = [&](std::string& s) {
      if (!s.empty() && random.Below(2) == 0)
        s.resize(static_cast<std::size_t>(
            random.Below(static_cast<int32_t>(s.size()))));
    };
    cut(words);
    cut(idx);
    cut(texts);
    if (kind == 1)
      words += random_bytes(static_cast<std::size_t>(random.Below(64)));
    dir.Write(kWordsFileName, words);
    dir.Write(kIndexFileName, idx);
    dir.Write(kTextsFileName, texts);

    std::set<std::string> valid = {""};
    for (std::size_t at = 0; at + kTextRecordSize <= texts.size();
         at += kTextRecordSize) {
      const std::size_t length = static_cast<unsigned char>(texts[at]);
      valid.insert(texts.substr(at + 1, length));
    }
    WordIndex index;
    for (const char* phrase :
         {"a", "cat dog", "hello hello a ab", "x", "dog"}) {
      const std::string answer =
          index.Ask(phrase, "", PathMapper(dir.path()), random);
      EXPECT_LE(answer.size(), static_cast<std::size_t>(kMaxTextLength));
      EXPECT_TRUE(valid.count(answer)) << "round " << round << ": " << phrase;
    }
    for (const std::string& w : vocabulary)
      EXPECT_LE(index.ReadEntries(w).Count, kMaxWordEntries);
  }
}

TEST(WordIndexConcurrencyTest, OverlappingLookupsAnswerCorrectly) {
  TempDir dir;
  WriteIndex(dir, "", {{"A", {5, 7}}, {"B", {7, 9}}}, 10);
  WordIndex index;
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Random random(static_cast<uint64_t>(t));
      for (int i = 0; i < 300; ++i) {
        if (index.Ask("a b", "", PathMapper(dir.path()), random) != "text7")
          ++wrong[static_cast<std::size_t>(t)];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(WordIndexBuilderTest, MessagesNameTheirLines) {
  std::string corpus = "The cat sat.\r\n\n   \nA dog barked\n";
  corpus += std::string(256, 'x') + "\n";  // line 5: too long
  corpus += "supercalifragilisticexpialidociousness word\n";  // line 6
  corpus += "1234 5678 !!\n";                                 // line 7
  for (int i = 0; i < 84; ++i) corpus += "ab ";               // line 8:
  corpus += "abc";                                            // 255 bytes
  WordIndexBuild build = BuildWordIndex(corpus);
  ASSERT_EQ(build.errors.size(), 1u);
  EXPECT_EQ(build.errors[0], "line 5: text of 256 bytes is longer than 255");
  EXPECT_TRUE(build.files.words.empty());

  corpus.erase(corpus.find(std::string(256, 'x')), 257);
  build = BuildWordIndex(corpus);
  ASSERT_TRUE(build.ok());
  ASSERT_EQ(build.warnings.size(), 2u);
  EXPECT_EQ(build.warnings[0],
            "line 5: word SUPERCALIFRAGILISTICEXPIALIDOCIOUSNESS is longer "
            "than 30 letters; skipped");
  EXPECT_EQ(build.warnings[1], "line 6: no word to index; text skipped");
  EXPECT_EQ(build.text_count, 4);
  EXPECT_EQ(build.files.texts.size(), 4u * kTextRecordSize);
  EXPECT_EQ(build.files.words.size(),
            static_cast<std::size_t>(build.word_count) * kWordRecordSize);
  EXPECT_EQ(build.files.index.size(),
            static_cast<std::size_t>(build.word_count) * kIndexRecordSize);
}

TEST(WordIndexBuilderTest, KeepsTheFirstThousandTextsOfAWord) {
  std::string corpus;
  for (int i = 0; i < 1003; ++i)
    corpus += "the the number " + IntToText(i) + "\n";
  corpus += "lonely\n";
  const WordIndexBuild build = BuildWordIndex(corpus);
  ASSERT_TRUE(build.ok());
  EXPECT_EQ(build.warnings,
            (std::vector<std::string>{
                "line 1001: every word already lists 1000 texts; text skipped",
                "line 1002: every word already lists 1000 texts; text skipped",
                "line 1003: every word already lists 1000 texts; text skipped",
                "word NUMBER is in 1003 texts; only the first 1000 are kept",
                "word THE is in 1003 texts; only the first 1000 are kept"}));
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteWordIndexFiles(build.files, dir.path() + "/out", &error))
      << error;
  WordIndex index;
  Random random(5);
  EXPECT_EQ(index.Ask("lonely", "out/", PathMapper(dir.path()), random),
            "lonely");
  const WindexObj the = index.ReadEntries("the");
  ASSERT_EQ(the.Count, 1000);  // listed once per text, though twice in each
  for (int32_t i = 0; i < the.Count; ++i)
    EXPECT_EQ(the.Slots[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(index.ReadText(999), "the the number 999");
  EXPECT_EQ(index.ReadText(1000), "lonely");
}

// Every text of a corpus is reachable: each of its words lists it, and
// asking all its words together can answer it.
void ExpectRoundTrip(const std::string& corpus) {
  const WordIndexBuild build = BuildWordIndex(corpus);
  ASSERT_TRUE(build.ok()) << build.errors[0];
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteWordIndexFiles(build.files, dir.path(), &error)) << error;
  WordIndex index;
  Random random(11);
  index.Ask("", "", PathMapper(dir.path()), random);
  int32_t number = 0;
  std::size_t start = 0;
  while (start < corpus.size()) {
    std::size_t end = corpus.find('\n', start);
    if (end == std::string::npos) end = corpus.size();
    const std::string text = Trim(corpus.substr(start, end - start));
    start = end + 1;
    if (text.empty()) continue;
    ASSERT_EQ(index.ReadText(number), text);
    std::string normalized = NormalizeWord(text);
    std::size_t p = 0;
    int words = 0;
    while (p < normalized.size()) {
      std::size_t q = normalized.find(' ', p);
      if (q == std::string::npos) q = normalized.size();
      const std::string word = normalized.substr(p, q - p);
      p = q + 1;
      if (word.empty()) continue;
      ++words;
      const WindexObj e = index.ReadEntries(word);
      EXPECT_TRUE(std::find(e.Slots.begin(), e.Slots.begin() + e.Count,
                            number) != e.Slots.begin() + e.Count)
          << word << " of " << text;
    }
    EXPECT_GT(words, 0) << text;
    ++number;
  }
  EXPECT_EQ(number, build.text_count);
}

TEST(WordIndexBuilderTest, RoundTripReachesEveryText) {
  ExpectRoundTrip(
      "Cats sleep sixteen hours a day.\n"
      "A dog's nose print is unique.\n"
      "  Honey never spoils.  \r\n"
      "\n"
      "The moon moves away from Earth each year.\n"
      "Owls cannot move their eyes.\n");
  const std::optional<std::string> demo = ReadFileBytes(
      std::string(CORVANE_SOURCE_DIR) + "/demo/wwwroot/corpus.txt");
  ASSERT_TRUE(demo.has_value());
  const WordIndexBuild build = BuildWordIndex(*demo);
  EXPECT_TRUE(build.ok());
  EXPECT_TRUE(build.warnings.empty()) << build.warnings[0];
  EXPECT_GE(build.text_count, 200);
  ExpectRoundTrip(*demo);
}

}  // namespace
}  // namespace corvane
