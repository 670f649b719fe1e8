// The language-file reader: classifies each line by its leading keyword and
// hands it to the handler of its kind, which creates one knowledge item and
// attaches it to the most recent item of the kind it needs.
//
// Every reading has its own LineReader, so readings never share state. The
// reader's current items stay valid for the whole reading because the brain
// never destroys an item while it lives: a replaced mode, procedure, step or
// collection is parked in the brain, so lines after a replacing line may
// still attach to the parked item's children without harm.
//
// Cost: every line is scanned a bounded number of times (the field scanners
// move a view forward and never copy the rest of the line), and collection
// members are filed in one sorted batch per block, so reading is linear in
// the file size apart from the O(n log n) batch sort.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/ascii.h"
#include "base/name_list.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "langfile/keywords.h"
#include "platform/file_version.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"
#include "text/utf8.h"

namespace corvane {
namespace {

// The block a line is read in; it decides where "RESPONSE" and "FRAGMENT"
// lines go and whether keywords count at all (not inside a collection).
enum class Block : uint8_t {
  kTop = 0,
  kInCollection = 1,
  kInPattern = 2,
  kInStepPattern = 3,
  kInThreshold = 4,
  kInStateResponse = 5,
};

// Line kinds: the index into kLanguageKeywords.
enum Kind : int {
  kData = 0,
  kFact = 1,
  kStartCollection = 2,
  kEndCollection = 3,
  kMode = 4,
  kState = 5,
  kProcedure = 6,
  kStep = 7,
  kForMode = 8,
  kForStep = 9,
  kThreshold = 10,
  kForState = 11,
  kFragment = 12,
  kResponse = 13,
  kTask = 14,
  kNameObject = 15,
  kAutoName = 16,
};

// True when `text` begins with `keyword` (upper-case ASCII), comparing
// with a to z folded to A to Z. Keywords hold only A to Z and "-", and no
// other byte folds to those, so this equals a search for the keyword at
// position 1 of the upper-cased text.
bool BeginsWithKeyword(std::string_view text, std::string_view keyword) {
  if (text.size() < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != keyword[i]) return false;
  }
  return true;
}

// For each letter A to Z, the set of keyword kinds (bit k for kind k) whose
// keyword starts with it.
constexpr std::array<uint32_t, 26> KeywordsByFirstLetter() {
  std::array<uint32_t, 26> sets{};
  for (std::size_t k = 1; k < kLanguageKeywords.size(); ++k)
    sets[static_cast<std::size_t>(kLanguageKeywords[k].front() - 'A')] |=
        uint32_t{1} << k;
  return sets;
}
constexpr std::array<uint32_t, 26> kKeywordsByFirstLetter =
    KeywordsByFirstLetter();

// The kind of the first keyword, in table order, that begins the
// left-trimmed text; 0 when none does. Only the keywords that share the
// text's first letter are compared, lowest kind first.
int KeywordKind(std::string_view left_trimmed) {
  if (left_trimmed.empty()) return kData;
  const char first = FoldAscii(left_trimmed.front());
  if (first < 'A' || first > 'Z') return kData;
  for (uint32_t candidates =
           kKeywordsByFirstLetter[static_cast<std::size_t>(first - 'A')];
       candidates != 0; candidates &= candidates - 1) {
    const int k = std::countr_zero(candidates);
    if (BeginsWithKeyword(left_trimmed, kLanguageKeywords[k])) return k;
  }
  return kData;
}

// Where an item is labelled: every knowledge class has its own ObjectName.
Label* ObjectNameOf(Item* item) {
  switch (item->kind()) {
    case ObjectKind::kMode:
      return &static_cast<KnowledgeClass*>(item)->ObjectName;
    case ObjectKind::kPattern:
      return &static_cast<PatternClass*>(item)->ObjectName;
    case ObjectKind::kFragment:
      return &static_cast<WordFragmentClass*>(item)->ObjectName;
    case ObjectKind::kResponse:
      return &static_cast<ResponseClass*>(item)->ObjectName;
    case ObjectKind::kTask:
      return &static_cast<TaskClass*>(item)->ObjectName;
    case ObjectKind::kThreshold:
      return &static_cast<ThresholdClass*>(item)->ObjectName;
    case ObjectKind::kState:
      return &static_cast<StateClass*>(item)->ObjectName;
    case ObjectKind::kProc:
      return &static_cast<ProcClass*>(item)->ObjectName;
    case ObjectKind::kStep:
      return &static_cast<StepClass*>(item)->ObjectName;
    case ObjectKind::kStepPattern:
      return &static_cast<StepPatternClass*>(item)->ObjectName;
    case ObjectKind::kCollection:
      return &static_cast<DataCollectionClass*>(item)->ObjectName;
    case ObjectKind::kBrain:
      return nullptr;
  }
  return nullptr;
}

// The state of one reading and the handlers of the line kinds.
class LineReader {
 public:
  // `file` names the file being read; null for lines of a conversation,
  // whose items carry no source location.
  LineReader(BrainClass& brain, bool from_lines,
             const LanguageProblemSink& sink,
             std::shared_ptr<const std::string> file = nullptr)
      : brain_(brain),
        from_lines_(from_lines),
        sink_(sink),
        file_(std::move(file)),
        file_number_(file_ != nullptr ? InternSourceFile(*file_) : 0) {
    if (!brain.Modes.empty()) {
      cur_mode_ = brain.Modes.At(0);
      cur_object_ = cur_mode_;
    }
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Takes the next line: counts it, classifies it and runs its handler.
  void Take(std::string_view line) {
    ++line_number_;
    // A file declares UTF-8 by a byte-order mark at its start, or by the
    // declaration line before its first keyword line. Lines of a UTF-8
    // file are taken with each invalid sequence made U+FFFD, so that no
    // text of the knowledge base holds a broken character.
    if (!from_lines_ && line_number_ == 1 &&
        line.substr(0, utf8::kByteOrderMark.size()) == utf8::kByteOrderMark) {
      brain_.SetTextEncoding(TextEncoding::kUtf8);
      line.remove_prefix(utf8::kByteOrderMark.size());
    }
    std::string sanitized;
    if (brain_.text_encoding() == TextEncoding::kUtf8 && !utf8::IsValid(line)) {
      sanitized = utf8::Sanitize(line);
      line = sanitized;
    }
    whole_ = line;
    rest_ = line;
    // Every handler that creates an item makes it the current object, so a
    // changed current object is the item this line created.
    Item* const before = cur_object_;
    kind_ = Classify();
    if (!from_lines_ && !keyword_seen_) {
      if (kind_ != kData)
        keyword_seen_ = true;
      else if (block_ == Block::kTop &&
               EqualNoCase(TrimView(line), kUtf8Declaration))
        brain_.SetTextEncoding(TextEncoding::kUtf8);
    }
    Dispatch(kind_);
    if (file_ != nullptr && cur_object_ != before && cur_object_ != nullptr)
      cur_object_->set_source(file_number_, line_number_);
  }

  // Files the members still waiting at the end of the input.
  void Finish() { FlushMembers(); }

  int64_t line_number() const { return line_number_; }

 private:
  int Classify() const {
    const std::string_view copy = TrimLeftView(whole_);
    if (block_ == Block::kInCollection) {
      return BeginsWithKeyword(copy, kLanguageKeywords[kEndCollection])
                 ? kEndCollection
                 : kData;
    }
    return KeywordKind(copy);
  }

  void Dispatch(int kind) {
    switch (kind) {
      case kData:
        return OnData();
      case kFact:
        return OnFact();
      case kStartCollection:
        return OnStartCollection();
      case kEndCollection:
        return OnEndCollection();
      case kMode:
        return OnMode();
      case kState:
        return OnState();
      case kProcedure:
        return OnProcedure();
      case kStep:
        return OnStep();
      case kForMode:
        return OnForMode();
      case kForStep:
        return OnForStep();
      case kThreshold:
        return OnThreshold();
      case kForState:
        return OnForState();
      case kFragment:
        return OnFragment();
      case kResponse:
        return OnResponse();
      case kTask:
        return OnTask();
      case kNameObject:
        return OnNameObject(NextBracedField());
      case kAutoName:
        if (from_lines_) OnNameObject(brain_.AutoName());
        return;
      default:
        return;
    }
  }

  // ---- Field scanners; each consumes rest_ from the front ----

  // Skips the keyword that Classify found at the start of the line (only
  // handlers of keyword lines call this, before any other scanner).
  void StripKeyword() {
    rest_ = TrimLeftView(rest_);
    if (kind_ != kData) rest_.remove_prefix(kLanguageKeywords[kind_].size());
    rest_ = TrimLeftView(rest_);
  }

  // The text up to the next comma, left-trimmed; a view into the line.
  std::string_view NextCommaField() {
    rest_ = TrimLeftView(rest_);
    const std::size_t comma = rest_.find(',');
    const std::string_view field = rest_.substr(0, comma);
    rest_.remove_prefix(comma == std::string_view::npos ? rest_.size()
                                                        : comma + 1);
    return field;
  }

  int32_t NextIntField() { return ToIntOrZero(NextCommaField()); }

  // A field between braces. The depth counts braces: an opening brace
  // that nests, a closing brace that does not end the field, and every
  // other byte at a depth above 0 belong to the field, so '{a{b}c}' gives
  // a{b}c and everything before the opening brace (the keyword included)
  // is skipped. A comma after the field, blanks before it allowed, is
  // consumed; without a closing brace the field takes the rest of the line.
  std::string NextBracedField() {
    // Usually an opening brace comes before any closing one: from there on
    // the depth stays above 0 until the matching closing brace, so the
    // field is the plain run of bytes between the two and is copied once.
    std::size_t open = 0;
    while (open < rest_.size() && rest_[open] != '{' && rest_[open] != '}')
      ++open;
    if (open < rest_.size() && rest_[open] == '{')
      return EndBracedField(open + 1);
    std::string field;
    int64_t depth = 0;
    std::size_t i = 0;
    for (; i < rest_.size(); ++i) {
      const char c = rest_[i];
      if (c == '{') {
        if (++depth > 1) field.push_back(c);
      } else if (c == '}') {
        if (depth == 1) break;
        --depth;
        field.push_back(c);
      } else if (depth > 0) {
        field.push_back(c);
      }
    }
    LeaveField(i);
    return field;
  }

  // Leaves a braced field whose closing brace is at `close` (or that ran
  // to the end of the line): the brace and a comma after it are consumed.
  void LeaveField(std::size_t close) {
    if (close >= rest_.size()) {
      rest_ = {};
      return;
    }
    rest_.remove_prefix(close + 1);
    SkipFieldComma();
  }

  // The rest of a braced field whose opening brace ends just before
  // `start`, at depth 1.
  std::string EndBracedField(std::size_t start) {
    int64_t depth = 1;
    std::size_t i = start;
    for (; i < rest_.size(); ++i) {
      const char c = rest_[i];
      if (c == '{') {
        ++depth;
      } else if (c == '}') {
        if (depth == 1) break;
        --depth;
      }
    }
    std::string field(rest_.substr(start, i - start));
    LeaveField(i);
    return field;
  }

  // Consumes a comma after a braced field, blanks before it allowed.
  void SkipFieldComma() {
    const std::string_view after = TrimLeftView(rest_);
    if (!after.empty() && after.front() == ',') rest_ = after.substr(1);
  }

  // ---- Problems ----

  void Reject(const char* error_text) {
    LanguageProblem problem;
    problem.line = line_number_;
    problem.message = std::string(error_text) + IntToText(line_number_);
    problem.has_text = true;
    problem.text = std::string(whole_);
    sink_(problem);
  }

  // ---- Handlers ----

  void OnData() {
    if (block_ == Block::kInCollection && cur_collection_ != nullptr)
      pending_members_.emplace_back(whole_);
  }

  void OnFact() {
    std::string name = NextBracedField();
    std::string value = NextBracedField();
    if (file_ != nullptr) brain_.NoteFactSource(name, {file_, line_number_});
    brain_.SetFact(name, value);
  }

  void OnStartCollection() {
    std::string name = NextBracedField();
    FlushMembers();
    block_ = Block::kInCollection;
    auto collection = std::make_unique<DataCollectionClass>();
    collection->CollectionName = name;
    DataCollectionClass* added =
        brain_.AddCollection(name, std::move(collection));
    cur_collection_ = added;
    cur_object_ = added;
  }

  void OnEndCollection() {
    FlushMembers();
    block_ = Block::kTop;
    cur_collection_ = nullptr;
  }

  void OnMode() {
    std::string name = NextBracedField();
    auto mode = std::make_unique<KnowledgeClass>();
    mode->Name = name;
    KnowledgeClass* added = brain_.AddMode(name, std::move(mode));
    cur_mode_ = added;
    cur_object_ = added;
  }

  void OnState() { brain_.AddState(NextBracedField()); }

  void OnProcedure() {
    std::string name = NextBracedField();
    auto proc = std::make_unique<ProcClass>();
    proc->Name = name;
    // An unnamed procedure is not registered but still takes the steps
    // that follow (the brain keeps it alive).
    ProcClass* added = brain_.AddProc(name, std::move(proc));
    cur_proc_ = added;
    cur_object_ = added;
  }

  void OnStep() {
    std::string name = NextBracedField();
    std::string prompt = NextBracedField();
    if (cur_proc_ == nullptr) return Reject("No Current Procedure In Line ");
    auto step = std::make_unique<StepClass>();
    step->Name = name;
    step->Prompt = prompt;
    // A step without a name is not attached, but the brain keeps it alive
    // so that the step patterns that follow still have a home.
    StepClass* added = cur_proc_->AddStep(name, std::move(step));
    cur_step_ = added;
    cur_object_ = added;
  }

  void OnForMode() {
    block_ = Block::kInPattern;
    if (cur_mode_ == nullptr) return;
    cur_pattern_ = cur_mode_->AddPattern(std::make_unique<PatternClass>());
    cur_object_ = cur_pattern_;
  }

  void OnForStep() {
    if (cur_step_ == nullptr) return Reject("No Current Step In Line ");
    block_ = Block::kInStepPattern;
    cur_step_pattern_ =
        cur_step_->AddStepPattern(std::make_unique<StepPatternClass>());
    cur_object_ = cur_step_pattern_;
  }

  void OnThreshold() {
    StripKeyword();
    const int32_t from = NextIntField();
    const int32_t to = NextIntField();
    if (block_ == Block::kInStepPattern)
      return Reject("Can Not Add Threshold To a Procedure Step In Line ");
    if (cur_pattern_ == nullptr) return Reject("No Current Clause In Line ");
    block_ = Block::kInThreshold;
    auto threshold = std::make_unique<ThresholdClass>();
    threshold->THRESHFROM = from;
    threshold->THRESHTO = to;
    cur_threshold_ = cur_pattern_->AddThreshold(std::move(threshold));
    cur_object_ = cur_threshold_;
  }

  void OnForState() {
    std::string state = NextBracedField();
    if (block_ == Block::kInStepPattern)
      return Reject("Can Not Add State Responses To a Procedure Step In Line ");
    if (cur_pattern_ == nullptr) return Reject("No Current Clause In Line ");
    block_ = Block::kInStateResponse;
    auto group = std::make_unique<StateClass>();
    group->STATE = std::move(state);
    cur_state_response_ = cur_pattern_->AddStateResponse(std::move(group));
    cur_object_ = cur_state_response_;
  }

  void OnFragment() {
    StripKeyword();
    auto fragment = std::make_unique<WordFragmentClass>();
    fragment->RELATION = BrainClass::RelationCode(NextCommaField());
    fragment->BONUS = NextIntField();
    fragment->PENALTY = NextIntField();
    fragment->WORDFRAG = NextBracedField();
    fragment->THENAME = NextBracedField();
    fragment->THEVALUE = NextBracedField();
    if (block_ == Block::kInStepPattern) {
      if (cur_step_pattern_ == nullptr)
        return Reject("No Current Clause In Line ");
      cur_object_ = cur_step_pattern_->AddFragment(std::move(fragment));
    } else {
      if (cur_pattern_ == nullptr) return Reject("No Current Clause In Line ");
      cur_object_ = cur_pattern_->AddFragment(std::move(fragment));
    }
  }

  // Reads the four fields that responses and tasks share.
  template <typename T>
  std::unique_ptr<T> ReadResponseFields() {
    StripKeyword();
    auto item = std::make_unique<T>();
    item->OUTTEXT = NextBracedField();
    item->RESPONSETYPE = BrainClass::ResponseTypeCode(NextCommaField());
    item->THENAME = NextBracedField();
    item->THEVALUE = NextBracedField();
    return item;
  }

  void OnResponse() {
    std::unique_ptr<ResponseClass> response =
        ReadResponseFields<ResponseClass>();
    ResponseClass* added = nullptr;
    switch (block_) {
      case Block::kInPattern:
        if (cur_pattern_ == nullptr)
          return Reject("No Current Clause In Line ");
        added = cur_pattern_->AddResponse(std::move(response));
        break;
      case Block::kInStepPattern:
        if (cur_step_pattern_ == nullptr)
          return Reject("No Current Step Clause In Line ");
        added = cur_step_pattern_->AddResponse(std::move(response));
        break;
      case Block::kInThreshold:
        if (cur_threshold_ == nullptr)
          return Reject("No Current Threshold In Line ");
        added = cur_threshold_->AddResponse(std::move(response));
        break;
      case Block::kInStateResponse:
        if (cur_state_response_ == nullptr)
          return Reject("No Current State Response In Line ");
        added = cur_state_response_->AddResponse(std::move(response));
        break;
      default:
        return Reject("Mode Error In Line ");
    }
    cur_response_ = added;
    cur_object_ = added;
  }

  void OnTask() {
    std::unique_ptr<TaskClass> task = ReadResponseFields<TaskClass>();
    if (cur_response_ == nullptr) return Reject("No Current Response In Line ");
    cur_object_ = cur_response_->AddTask(std::move(task));
  }

  // Appends (label, item) to NamedObjects, an empty label and repeats
  // included, and gives the item the label.
  void OnNameObject(std::string label) {
    if (cur_object_ == nullptr) return;
    brain_.NamedObjects.Add(label, static_cast<void*>(cur_object_));
    if (Label* name = ObjectNameOf(cur_object_)) *name = std::move(label);
  }

  // Files the member lines of the current collection block. A sorted
  // collection would insert each member in the middle of its list; sorting
  // the batch first makes every insertion an append, with the same result
  // (stable, so of two members equal but for case the earlier one stays).
  void FlushMembers() {
    if (pending_members_.empty()) return;
    DataCollectionClass* collection = cur_collection_;
    std::vector<std::string> members = std::exchange(pending_members_, {});
    if (collection == nullptr) return;
    if (collection->Members.sorted()) {
      const NameList& list = collection->Members;
      std::stable_sort(members.begin(), members.end(),
                       [&list](const std::string& a, const std::string& b) {
                         return list.Compare(TrimView(a), TrimView(b)) < 0;
                       });
    }
    for (const std::string& member : members) collection->Include(member);
  }

  BrainClass& brain_;
  const bool from_lines_;  // A line list: "AUTO-NAME" honoured.
  const LanguageProblemSink& sink_;
  const std::shared_ptr<const std::string> file_;  // Null: no locations.
  const uint16_t file_number_;  // Of file_, for the items' locations.
  std::string_view whole_;      // The line as read.
  std::string_view rest_;       // What the field scanners have left.
  int kind_ = kData;            // The line's kind, from Classify.
  int64_t line_number_ = 0;
  Block block_ = Block::kTop;
  KnowledgeClass* cur_mode_ = nullptr;
  PatternClass* cur_pattern_ = nullptr;
  ProcClass* cur_proc_ = nullptr;
  StepClass* cur_step_ = nullptr;
  StepPatternClass* cur_step_pattern_ = nullptr;
  ThresholdClass* cur_threshold_ = nullptr;
  StateClass* cur_state_response_ = nullptr;
  ResponseClass* cur_response_ = nullptr;
  DataCollectionClass* cur_collection_ = nullptr;
  Item* cur_object_ = nullptr;                // What "NAME-OBJECT" labels.
  bool keyword_seen_ = false;  // A keyword line was read: no declaration now.
  std::vector<std::string> pending_members_;  // Of cur_collection_.
};

void ShowProblem(const LanguageProblem& problem) {
  ShowOperatorMessage(problem.message);
  if (problem.has_text) ShowOperatorMessage(problem.text);
}

// The bytes read per call. A file is read in pieces of this size and its
// lines are taken as soon as they are complete, so that a large file is
// never held whole next to the knowledge made of it.
constexpr std::size_t kReadPiece = std::size_t{1} << 16;

// Reads the open `file` (its path is `path`) to its end and hands its lines
// to `reader`. `failed_read` is set when a read fails: the lines read before
// the failure are taken, the line the failure cut is not.
//
// A byte 0x1A ends the input like the end of the file. Lines end at CR (one
// LF after it belongs to the line end). An input without any CR before its
// end is a Unix text file, whose lines end at LF; otherwise a lone LF is an
// ordinary byte of its line. So no line is taken before the first CR is
// seen: until then the input is kept, and once a piece without CR has been
// read, the rest of a regular file is read in one call into a buffer grown
// once to the file's size (the size is a hint, the reads decide).
void ReadFileLines(std::FILE* file, const std::string& path, LineReader& reader,
                   bool& failed_read, ContentHash& hash, uint64_t& bytes) {
  failed_read = false;
  // Only a regular file's size means its length (a directory may report
  // anything).
  std::error_code error;
  std::uintmax_t size = 0;
  if (std::filesystem::is_regular_file(path, error)) {
    size = std::filesystem::file_size(path, error);
    if (error) size = 0;
  }
  enum class Ends { kUnknown, kCr, kLf };
  Ends ends = Ends::kUnknown;
  std::string buffer;        // Read and not yet taken, from its start.
  std::size_t searched = 0;  // buffer[0, searched) holds no line end.
  bool skip_lf = false;      // A LF at the buffer's start ends the last line.
  bool ended = false;        // End of file, 0x1A or a failed read.
  while (!ended) {
    const std::size_t old = buffer.size();
    std::size_t want = kReadPiece;
    if (ends == Ends::kUnknown && old > 0 && size > old)
      want = std::max<std::size_t>(want, static_cast<std::size_t>(size - old));
    buffer.resize(old + want);
    const std::size_t got = std::fread(buffer.data() + old, 1, want, file);
    buffer.resize(old + got);
    hash.Add(std::string_view(buffer).substr(old));
    bytes += got;
    if (got < want) {
      ended = true;
      failed_read = std::ferror(file) != 0;
    }
    const std::size_t eof_mark = buffer.find('\x1a', old);
    if (eof_mark != std::string::npos) {
      buffer.resize(eof_mark);
      // The bytes after the mark are not read as lines, but they belong
      // to the file's version all the same.
      if (!ended) {
        char rest[1 << 14];
        std::size_t n = 0;
        while ((n = std::fread(rest, 1, sizeof rest, file)) > 0) {
          hash.Add(std::string_view(rest, n));
          bytes += n;
        }
      }
      ended = true;
      failed_read = false;  // The input ends before the failed read.
    }
    if (ends == Ends::kUnknown) {
      if (buffer.find('\r', old) != std::string::npos) {
        ends = Ends::kCr;
      } else if (ended) {
        ends = Ends::kLf;
      } else {
        continue;
      }
    }
    const char line_end = ends == Ends::kCr ? '\r' : '\n';
    const std::string_view input(buffer);
    std::size_t pos = 0;
    for (;;) {
      if (skip_lf) {
        if (pos == input.size()) break;
        if (input[pos] == '\n') ++pos;
        skip_lf = false;
      }
      const std::size_t end = input.find(line_end, std::max(pos, searched));
      if (end == std::string_view::npos) break;
      reader.Take(input.substr(pos, end - pos));
      pos = end + 1;
      skip_lf = ends == Ends::kCr;
    }
    // Keep the unfinished line at the front for the next piece.
    buffer.erase(0, pos);
    searched = buffer.size();
  }
  // The last line has no line end; after a failed read it is the line that
  // could not be read.
  if (!buffer.empty() && !failed_read) reader.Take(buffer);
}

}  // namespace

namespace {

void ReadOpenLanguageFile(BrainClass& brain, std::FILE* file,
                          const std::string& path,
                          const LanguageProblemSink& sink,
                          FileVersion* read_version);

void CannotOpen(const std::string& path, const LanguageProblemSink& sink) {
  LanguageProblem problem;
  problem.message = "Could not open file: " + path;
  sink(problem);
}

}  // namespace

void LoadLanguageFile(BrainClass& brain, const std::string& path,
                      const LanguageProblemSink& sink) {
  LoadLanguageFile(brain, path, sink, nullptr);
}

void LoadLanguageFile(BrainClass& brain, const std::string& path,
                      const LanguageProblemSink& sink,
                      FileVersion* read_version) {
  if (!sink) return LoadLanguageFile(brain, path, ShowProblem, read_version);
  if (read_version != nullptr) *read_version = FileVersion();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return CannotOpen(path, sink);
  ReadOpenLanguageFile(brain, file, path, sink, read_version);
}

void LoadRegularLanguageFile(BrainClass& brain, const std::string& path,
                             const LanguageProblemSink& sink) {
  LoadRegularLanguageFile(brain, path, sink, nullptr);
}

void LoadRegularLanguageFile(BrainClass& brain, const std::string& path,
                             const LanguageProblemSink& sink,
                             FileVersion* read_version) {
  if (!sink)
    return LoadRegularLanguageFile(brain, path, ShowProblem, read_version);
  if (read_version != nullptr) *read_version = FileVersion();
  // Opening without blocking, then looking at what was opened: a FIFO
  // would otherwise wait for a writer, and a check by name before the open
  // could be raced.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return CannotOpen(path, sink);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return CannotOpen(path, sink);
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return CannotOpen(path, sink);
  }
  ReadOpenLanguageFile(brain, file, path, sink, read_version);
}

namespace {

void ReadOpenLanguageFile(BrainClass& brain, std::FILE* file,
                          const std::string& path,
                          const LanguageProblemSink& sink,
                          FileVersion* read_version) {
  // Closes the file also when a line's handler throws.
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  const std::unique_ptr<std::FILE, Closer> closer(file);
  LineReader reader(brain, /*from_lines=*/false, sink,
                    std::make_shared<const std::string>(path));
  bool failed_read = false;
  ContentHash hash;
  uint64_t bytes = 0;
  struct stat st {};
  const bool have_status = ::fstat(::fileno(file), &st) == 0;
  ReadFileLines(file, path, reader, failed_read, hash, bytes);
  if (read_version != nullptr && have_status) {
    FileVersion& version = *read_version;
    version.exists = true;
    version.device = static_cast<uint64_t>(st.st_dev);
    version.inode = static_cast<uint64_t>(st.st_ino);
    // A file read only in part has no version that any file matches.
    version.size = failed_read ? UINT64_MAX : bytes;
    version.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                       st.st_mtim.tv_nsec;
    version.hash = hash.value();
  }
  reader.Finish();
  if (failed_read) {
    LanguageProblem problem;
    problem.line = reader.line_number() + 1;
    problem.message =
        "Error reading " + path + " at line " + IntToText(problem.line);
    sink(problem);
  }
}

}  // namespace

void LoadLanguageFile(BrainClass& brain, const std::string& path) {
  LoadLanguageFile(brain, path, ShowProblem);
}

void LoadLanguageLines(BrainClass& brain, const std::vector<std::string>& lines,
                       const LanguageProblemSink& sink) {
  if (lines.empty()) return;
  LineReader reader(brain, /*from_lines=*/true, sink);
  for (const std::string& line : lines) reader.Take(line);
  reader.Finish();
}

void LoadLanguageLines(BrainClass& brain,
                       const std::vector<std::string>& lines) {
  LoadLanguageLines(brain, lines, ShowProblem);
}

void AttachLanguageReader(BrainClass& brain) {
  brain.SetLineLoader(
      [](BrainClass& target, const std::vector<std::string>& lines) {
        LoadLanguageLines(target, lines);
      });
}

TextEncoding DeclaredTextEncoding(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return TextEncoding::kCodePage;
  std::string head(kReadPiece, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  if (head.substr(0, utf8::kByteOrderMark.size()) == utf8::kByteOrderMark)
    return TextEncoding::kUtf8;
  head = head.substr(0, head.find('\x1a'));
  const char end = head.find('\r') != std::string::npos ? '\r' : '\n';
  for (std::size_t from = 0; from < head.size();) {
    std::size_t to = head.find(end, from);
    // A line the piece cuts is not judged: the declaration comes early.
    if (to == std::string::npos) break;
    const std::string_view line = std::string_view(head).substr(from, to - from);
    if (KeywordKind(TrimLeftView(line)) != kData) break;
    if (EqualNoCase(TrimView(line), kUtf8Declaration)) return TextEncoding::kUtf8;
    from = to + 1;
  }
  return TextEncoding::kCodePage;
}

std::string_view LanguageKeywordOf(std::string_view left_trimmed) {
  const int kind = KeywordKind(left_trimmed);
  return kLanguageKeywords[static_cast<std::size_t>(kind)];
}

}  // namespace corvane
