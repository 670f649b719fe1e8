#include "engine/knowledge_codec.h"

#include <string>
#include <unordered_map>
#include <utility>

#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/response.h"

namespace corvane {
namespace {

// Version of the knowledge's byte form; a snapshot names the version of
// the form it holds. A code-page knowledge base is written in format 1, as
// it always was; a UTF-8 one in format 2, which adds the encoding.
constexpr uint64_t kFormat = 1;
constexpr uint64_t kFormatWithEncoding = 2;

// A reference: 0 none, 1 the brain, 2 + n item n.
constexpr uint64_t kNoRef = 0;
constexpr uint64_t kBrainRef = 1;
constexpr uint64_t kFirstItemRef = 2;

constexpr uint8_t kKindCount =
    static_cast<uint8_t>(ObjectKind::kCollection) + 1;

// Deletes an item that no list took, as the class it is.
void DeleteItem(Item* item) {
  switch (item->kind()) {
    case ObjectKind::kBrain:
      delete static_cast<BrainClass*>(item);
      break;
    case ObjectKind::kMode:
      delete static_cast<KnowledgeClass*>(item);
      break;
    case ObjectKind::kPattern:
      delete static_cast<PatternClass*>(item);
      break;
    case ObjectKind::kFragment:
      delete static_cast<WordFragmentClass*>(item);
      break;
    case ObjectKind::kResponse:
      delete static_cast<ResponseClass*>(item);
      break;
    case ObjectKind::kTask:
      delete static_cast<TaskClass*>(item);
      break;
    case ObjectKind::kThreshold:
      delete static_cast<ThresholdClass*>(item);
      break;
    case ObjectKind::kState:
      delete static_cast<StateClass*>(item);
      break;
    case ObjectKind::kProc:
      delete static_cast<ProcClass*>(item);
      break;
    case ObjectKind::kStep:
      delete static_cast<StepClass*>(item);
      break;
    case ObjectKind::kStepPattern:
      delete static_cast<StepPatternClass*>(item);
      break;
    case ObjectKind::kCollection:
      delete static_cast<DataCollectionClass*>(item);
      break;
  }
}

Item* NewItem(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kMode:
      return new KnowledgeClass();
    case ObjectKind::kPattern:
      return new PatternClass();
    case ObjectKind::kFragment:
      return new WordFragmentClass();
    case ObjectKind::kResponse:
      return new ResponseClass();
    case ObjectKind::kTask:
      return new TaskClass();
    case ObjectKind::kThreshold:
      return new ThresholdClass();
    case ObjectKind::kState:
      return new StateClass();
    case ObjectKind::kProc:
      return new ProcClass();
    case ObjectKind::kStep:
      return new StepClass();
    case ObjectKind::kStepPattern:
      return new StepPatternClass();
    case ObjectKind::kCollection:
      return new DataCollectionClass();
    case ObjectKind::kBrain:
      break;
  }
  return nullptr;
}

}  // namespace

class KnowledgeCodec::Writer {
 public:
  Writer(const BrainClass& brain, ByteWriter& out, bool with_sources,
         std::vector<Item*> items)
      : brain_(brain),
        out_(out),
        with_sources_(with_sources),
        items_(std::move(items)) {
    numbers_.reserve(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i)
      numbers_.emplace(items_[i], i);
  }

  void Ref(const void* item) {
    if (item == nullptr) {
      out_.U64(kNoRef);
    } else if (item == static_cast<const Item*>(&brain_)) {
      out_.U64(kBrainRef);
    } else {
      const auto found = numbers_.find(static_cast<const Item*>(item));
      // Every item a brain refers to is one of its own.
      if (found == numbers_.end()) throw AssertionError(__FILE__, __LINE__);
      out_.U64(kFirstItemRef + found->second);
    }
  }
  template <typename T>
  void Refs(const OwningList<T>& list) {
    out_.U64(static_cast<uint64_t>(list.Count()));
    for (const auto& item : list) Ref(item.get());
  }
  template <typename T>
  void Refs(const std::vector<T*>& list) {
    out_.U64(list.size());
    for (const T* item : list) Ref(item);
  }
  void Names(const NameList& list, bool with_objects) {
    out_.Bool(list.sorted());
    out_.U64(static_cast<uint64_t>(list.Count()));
    for (const NameList::Entry& e : list.entries()) {
      out_.Text(e.name);
      if (with_objects) Ref(e.object);
    }
  }
  void Source(const Item& item) {
    if (!with_sources_) return;
    const SourceLocation where = item.source();
    if (!where.from_file()) {
      out_.U64(0);
      return;
    }
    out_.U64(FileNumber(*where.file) + 1);
    out_.U64(static_cast<uint64_t>(where.line));
  }
  uint64_t FileNumber(const std::string& file) {
    const auto found = files_.find(file);
    if (found != files_.end()) return found->second;
    const uint64_t number = files_.size();
    files_.emplace(file, number);
    file_order_.push_back(file);
    return number;
  }

  void Item1(const Item* item);
  void Write();

 private:
  const BrainClass& brain_;
  ByteWriter& out_;
  bool with_sources_;
  std::vector<Item*> items_;
  std::unordered_map<const Item*, std::size_t> numbers_;
  std::unordered_map<std::string, uint64_t> files_;
  std::vector<std::string> file_order_;
};

void KnowledgeCodec::Writer::Item1(const Item* item) {
  switch (item->kind()) {
    case ObjectKind::kMode: {
      const auto& m = *static_cast<const KnowledgeClass*>(item);
      out_.Text(m.ObjectName);
      out_.Text(m.Name);
      Ref(m.Owner);
      out_.Bool(m.HasVolition);
      out_.U64(m.next_ordinal_);
      Refs(m.Patterns);
      Refs(m.MarkedPatterns);
      Refs(m.start_patterns_);
      Refs(m.stop_patterns_);
      break;
    }
    case ObjectKind::kPattern: {
      const auto& p = *static_cast<const PatternClass*>(item);
      out_.Text(p.ObjectName);
      out_.Bool(p.HASVOLITION);
      out_.Bool(p.HasInitialize);
      out_.Bool(p.HasFinalize);
      out_.Bool(p.volition_listed_);
      out_.U64(p.ordinal_);
      out_.I64(p.HITCOUNT);
      Refs(p.Fragments);
      Refs(p.Responses);
      Refs(p.Thresholds);
      Refs(p.StateResponses);
      Ref(p.Mode);
      out_.Real(p.VOLITIONWHEN);
      out_.Real(p.LASTVOLITION.value_);
      break;
    }
    case ObjectKind::kFragment: {
      const auto& f = *static_cast<const WordFragmentClass*>(item);
      out_.Byte(f.RELATION);
      out_.I64(f.BONUS);
      out_.I64(f.PENALTY);
      out_.Text(f.ObjectName);
      out_.Text(f.WORDFRAG);
      out_.Text(f.THENAME);
      out_.Text(f.THEVALUE);
      Ref(f.Owner);
      break;
    }
    case ObjectKind::kResponse: {
      const auto& r = *static_cast<const ResponseClass*>(item);
      out_.Text(r.ObjectName);
      out_.Byte(r.RESPONSETYPE);
      out_.Text(r.OUTTEXT);
      out_.Text(r.THENAME);
      out_.Text(r.THEVALUE);
      Ref(r.NestedMode);
      Refs(r.Tasks);
      Ref(r.Owner);
      break;
    }
    case ObjectKind::kTask: {
      const auto& t = *static_cast<const TaskClass*>(item);
      out_.Text(t.ObjectName);
      out_.Byte(t.RESPONSETYPE);
      out_.Text(t.OUTTEXT);
      out_.Text(t.THENAME);
      out_.Text(t.THEVALUE);
      Ref(t.Response);
      break;
    }
    case ObjectKind::kThreshold: {
      const auto& t = *static_cast<const ThresholdClass*>(item);
      out_.Text(t.ObjectName);
      out_.I64(t.THRESHFROM);
      out_.I64(t.THRESHTO);
      Refs(t.Responses);
      Ref(t.Pattern);
      break;
    }
    case ObjectKind::kState: {
      const auto& s = *static_cast<const StateClass*>(item);
      out_.Text(s.ObjectName);
      out_.Text(s.STATE);
      Refs(s.Responses);
      Ref(s.Pattern);
      break;
    }
    case ObjectKind::kProc: {
      const auto& p = *static_cast<const ProcClass*>(item);
      out_.Text(p.ObjectName);
      out_.Text(p.Name);
      out_.Text(p.CurrentStep);
      out_.Text(p.StartStep);
      Refs(p.Steps);
      Names(p.StepNames, false);
      Ref(p.Owner);
      Refs(p.detached_steps_);
      break;
    }
    case ObjectKind::kStep: {
      const auto& s = *static_cast<const StepClass*>(item);
      out_.Text(s.ObjectName);
      out_.Text(s.Name);
      out_.Text(s.Prompt);
      Refs(s.StepPatterns);
      Ref(s.Proc);
      out_.U64(s.next_ordinal_);
      break;
    }
    case ObjectKind::kStepPattern: {
      const auto& sp = *static_cast<const StepPatternClass*>(item);
      out_.Text(sp.ObjectName);
      Refs(sp.Fragments);
      Refs(sp.Responses);
      Ref(sp.Step);
      out_.U64(sp.ordinal_);
      break;
    }
    case ObjectKind::kCollection: {
      const auto& c = *static_cast<const DataCollectionClass*>(item);
      out_.Text(c.ObjectName);
      out_.Text(c.CollectionName);
      Names(c.Members, false);
      Ref(c.Owner);
      out_.Text(c.MemberPick);
      out_.Real(c.MemberPickTime);
      out_.Text(c.MemberSubPick);
      out_.Real(c.MemberSubPickTime);
      break;
    }
    case ObjectKind::kBrain:
      throw AssertionError(__FILE__, __LINE__);
  }
  Source(*item);
}

void KnowledgeCodec::Writer::Write() {
  if (brain_.text_encoding() == TextEncoding::kCodePage) {
    out_.U64(kFormat);
  } else {
    out_.U64(kFormatWithEncoding);
    out_.Byte(static_cast<uint8_t>(brain_.text_encoding()));
  }
  out_.Bool(with_sources_);
  out_.U64(items_.size());
  for (const Item* item : items_) out_.Byte(static_cast<uint8_t>(item->kind()));
  for (const Item* item : items_) Item1(item);
  Refs(brain_.Modes);
  Names(brain_.ModeNames, false);
  Refs(brain_.Procs);
  Names(brain_.ProcNames, false);
  Names(brain_.FactNames, false);
  Names(brain_.FactValues, false);
  Names(brain_.StateNames, false);
  Names(brain_.Collections, true);
  Names(brain_.NamedObjects, true);
  Refs(brain_.DoBeforePatterns);
  Refs(brain_.DoAfterPatterns);
  out_.U64(brain_.collection_store_.size());
  for (const auto& c : brain_.collection_store_) Ref(c.get());
  Refs(brain_.parked_items_);
  if (with_sources_) {
    out_.U64(brain_.fact_sources_.size());
    for (const auto& [name, where] : brain_.fact_sources_) {
      out_.Text(name);
      if (where.from_file()) {
        out_.U64(FileNumber(*where.file) + 1);
        out_.U64(static_cast<uint64_t>(where.line));
      } else {
        out_.U64(0);
      }
    }
    // The table of file names last: items name files by number.
    out_.U64(file_order_.size());
    for (const std::string& file : file_order_) out_.Text(file);
  }
}

// Builds a brain from the bytes, checking everything a turn relies on.
class KnowledgeCodec::Reader {
 public:
  explicit Reader(ByteReader& in) : in_(in) {}
  ~Reader() {
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (!owned_[i] && items_[i] != nullptr) DeleteItem(items_[i]);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::unique_ptr<BrainClass> Read(std::vector<Item*>* out_items);

 private:
  [[noreturn]] void Fail(const std::string& why) { in_.Fail(why); }

  // The item a reference names, required to be of kind T (or none when
  // `nullable`).
  Item* RefAny(bool nullable) {
    const uint64_t ref = in_.U64();
    if (ref == kNoRef) {
      if (!nullable) Fail("a required reference is missing");
      return nullptr;
    }
    if (ref == kBrainRef) return brain_;
    const uint64_t n = ref - kFirstItemRef;
    if (n >= items_.size()) Fail("a reference names no item");
    return items_[n];
  }
  template <typename T>
  T* Ref(bool nullable) {
    Item* item = RefAny(nullable);
    if (item == nullptr) return nullptr;
    if (item->kind() != T::kKind) Fail("a reference names the wrong kind");
    return static_cast<T*>(item);
  }
  std::size_t NumberOf(const Item* item) const { return numbers_.at(item); }
  // Takes the items of an owning list; each may be owned once only.
  template <typename T>
  void TakeList(OwningList<T>& list) {
    const std::size_t n = in_.Count();
    for (std::size_t i = 0; i < n; ++i) {
      T* item = Ref<T>(false);
      const std::size_t number = NumberOf(item);
      if (owned_[number]) Fail("an item has two owners");
      owned_[number] = true;
      list.Add(std::unique_ptr<T>(item));
    }
  }
  template <typename T>
  void RefList(std::vector<T*>& list) {
    const std::size_t n = in_.Count();
    list.reserve(n);
    for (std::size_t i = 0; i < n; ++i) list.push_back(Ref<T>(false));
  }
  // Reads a name list; `objects` is the kind its objects must be, with
  // ObjectKind::kBrain standing for "any item or the brain", or none.
  void Names(NameList& list, bool with_objects, bool any_object,
             ObjectKind object_kind) {
    const bool sorted = in_.Bool();
    if (sorted != list.sorted()) {
      if (sorted) Fail("a list that cannot be sorted is");
      list.SetUnsorted();
    }
    const std::size_t n = in_.Count();
    std::vector<std::string> names;
    std::vector<void*> objects;
    names.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      names.push_back(in_.Text());
      if (with_objects) {
        Item* item = RefAny(false);
        if (!any_object && item->kind() != object_kind)
          Fail("a list entry names the wrong kind");
        objects.push_back(item);
      }
    }
    if (sorted && !with_objects) {
      // The sorted list files the names itself, in O(n log n).
      list.AddMany(std::move(names));
      if (list.Count() != static_cast<int>(n)) Fail("a sorted list repeats");
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const int before = list.Count();
      list.Add(std::move(names[i]), with_objects ? objects[i] : nullptr);
      if (list.Count() == before) Fail("a sorted list repeats");
    }
  }
  void Source(Item& item) {
    if (!with_sources_) return;
    const uint64_t file = in_.U64();
    if (file == 0) return;
    const uint64_t line = in_.U64();
    item_sources_.push_back({&item, file - 1, line});
  }
  void Item1(Item* item);
  void Check();

  struct PendingSource {
    Item* item;
    uint64_t file;
    uint64_t line;
  };

  ByteReader& in_;
  BrainClass* brain_ = nullptr;
  bool with_sources_ = false;
  std::vector<Item*> items_;
  std::vector<bool> owned_;
  std::unordered_map<const Item*, std::size_t> numbers_;
  std::vector<PendingSource> item_sources_;
};

void KnowledgeCodec::Reader::Item1(Item* item) {
  switch (item->kind()) {
    case ObjectKind::kMode: {
      auto& m = *static_cast<KnowledgeClass*>(item);
      m.ObjectName = in_.Text();
      m.Name = in_.Text();
      if (RefAny(false) != brain_) Fail("a mode is not the brain's");
      m.Owner = brain_;
      m.HasVolition = in_.Bool();
      m.next_ordinal_ = in_.U64();
      TakeList(m.Patterns);
      RefList(m.MarkedPatterns);
      RefList(m.start_patterns_);
      RefList(m.stop_patterns_);
      break;
    }
    case ObjectKind::kPattern: {
      auto& p = *static_cast<PatternClass*>(item);
      p.ObjectName = in_.Text();
      p.HASVOLITION = in_.Bool();
      p.HasInitialize = in_.Bool();
      p.HasFinalize = in_.Bool();
      p.volition_listed_ = in_.Bool();
      p.ordinal_ = in_.U64();
      p.HITCOUNT = in_.I32();
      TakeList(p.Fragments);
      TakeList(p.Responses);
      TakeList(p.Thresholds);
      TakeList(p.StateResponses);
      p.Mode = Ref<KnowledgeClass>(false);
      p.VOLITIONWHEN = in_.Real();
      p.LASTVOLITION.value_ = in_.Real();
      break;
    }
    case ObjectKind::kFragment: {
      auto& f = *static_cast<WordFragmentClass*>(item);
      f.RELATION = in_.Byte();
      f.BONUS = in_.I32();
      f.PENALTY = in_.I32();
      f.ObjectName = in_.Text();
      f.WORDFRAG = in_.Text();
      f.THENAME = in_.Text();
      f.THEVALUE = in_.Text();
      Item* owner = RefAny(false);
      if (owner->kind() != ObjectKind::kPattern &&
          owner->kind() != ObjectKind::kStepPattern)
        Fail("a fragment belongs to neither a pattern nor a step pattern");
      f.Owner = owner;
      break;
    }
    case ObjectKind::kResponse: {
      auto& r = *static_cast<ResponseClass*>(item);
      r.ObjectName = in_.Text();
      r.RESPONSETYPE = in_.Byte();
      r.OUTTEXT = in_.Text();
      r.THENAME = in_.Text();
      r.THEVALUE = in_.Text();
      // Nothing fills a nested mode, and one would lead its patterns' owner
      // chain in a circle.
      if (in_.U64() != kNoRef) Fail("a response has a nested mode");
      TakeList(r.Tasks);
      Item* owner = RefAny(false);
      switch (owner->kind()) {
        case ObjectKind::kPattern:
        case ObjectKind::kThreshold:
        case ObjectKind::kState:
        case ObjectKind::kStepPattern:
          break;
        default:
          Fail("a response has an owner of the wrong kind");
      }
      r.Owner = owner;
      break;
    }
    case ObjectKind::kTask: {
      auto& t = *static_cast<TaskClass*>(item);
      t.ObjectName = in_.Text();
      t.RESPONSETYPE = in_.Byte();
      t.OUTTEXT = in_.Text();
      t.THENAME = in_.Text();
      t.THEVALUE = in_.Text();
      t.Response = Ref<ResponseClass>(false);
      break;
    }
    case ObjectKind::kThreshold: {
      auto& t = *static_cast<ThresholdClass*>(item);
      t.ObjectName = in_.Text();
      t.THRESHFROM = in_.I32();
      t.THRESHTO = in_.I32();
      TakeList(t.Responses);
      t.Pattern = Ref<PatternClass>(false);
      break;
    }
    case ObjectKind::kState: {
      auto& s = *static_cast<StateClass*>(item);
      s.ObjectName = in_.Text();
      s.STATE = in_.Text();
      TakeList(s.Responses);
      s.Pattern = Ref<PatternClass>(false);
      break;
    }
    case ObjectKind::kProc: {
      auto& p = *static_cast<ProcClass*>(item);
      p.ObjectName = in_.Text();
      p.Name = in_.Text();
      p.CurrentStep = in_.Text();
      p.StartStep = in_.Text();
      TakeList(p.Steps);
      Names(p.StepNames, false, false, ObjectKind::kStep);
      if (RefAny(false) != brain_) Fail("a procedure is not the brain's");
      p.Owner = brain_;
      TakeList(p.detached_steps_);
      break;
    }
    case ObjectKind::kStep: {
      auto& s = *static_cast<StepClass*>(item);
      s.ObjectName = in_.Text();
      s.Name = in_.Text();
      s.Prompt = in_.Text();
      TakeList(s.StepPatterns);
      s.Proc = Ref<ProcClass>(false);
      s.next_ordinal_ = in_.U64();
      break;
    }
    case ObjectKind::kStepPattern: {
      auto& sp = *static_cast<StepPatternClass*>(item);
      sp.ObjectName = in_.Text();
      TakeList(sp.Fragments);
      TakeList(sp.Responses);
      sp.Step = Ref<StepClass>(false);
      sp.ordinal_ = in_.U64();
      break;
    }
    case ObjectKind::kCollection: {
      auto& c = *static_cast<DataCollectionClass*>(item);
      c.ObjectName = in_.Text();
      c.CollectionName = in_.Text();
      Names(c.Members, false, false, ObjectKind::kCollection);
      Item* owner = RefAny(true);
      if (owner != nullptr && owner != brain_)
        Fail("a collection is not the brain's");
      c.Owner = owner == nullptr ? nullptr : brain_;
      c.MemberPick = in_.Text();
      c.MemberPickTime = in_.Real();
      c.MemberSubPick = in_.Text();
      c.MemberSubPickTime = in_.Real();
      break;
    }
    case ObjectKind::kBrain:
      Fail("an item is a brain");
  }
  Source(*item);
}

// Whether each list that an item owns holds items that name it as their
// owner, and the ordinals grow along each list: what the turn's owner
// chains and the indexes rely on.
void KnowledgeCodec::Reader::Check() {
  auto owner_is = [&](bool ok) {
    if (!ok) Fail("an item does not name its owner");
  };
  auto ordered = [&](auto& list, uint64_t next) {
    uint64_t last = 0;
    for (const auto& item : list) {
      if (item->ordinal_ <= last) Fail("ordinals do not grow along a list");
      last = item->ordinal_;
    }
    if (next <= last) Fail("a next ordinal is not above the list's");
  };
  auto by_ordinal = [&](const std::vector<PatternClass*>& list,
                        const KnowledgeClass& mode) {
    uint64_t last = 0;
    for (const PatternClass* p : list) {
      if (p->Mode != &mode || p->ordinal_ <= last)
        Fail("a start or stop list is out of order");
      last = p->ordinal_;
    }
  };
  for (Item* item : items_) {
    switch (item->kind()) {
      case ObjectKind::kMode: {
        auto& m = *static_cast<KnowledgeClass*>(item);
        for (const auto& p : m.Patterns) owner_is(p->Mode == &m);
        ordered(m.Patterns, m.next_ordinal_);
        by_ordinal(m.start_patterns_, m);
        by_ordinal(m.stop_patterns_, m);
        break;
      }
      case ObjectKind::kPattern: {
        auto& p = *static_cast<PatternClass*>(item);
        for (const auto& f : p.Fragments) owner_is(f->Owner == &p);
        for (const auto& r : p.Responses) owner_is(r->Owner == &p);
        for (const auto& t : p.Thresholds) owner_is(t->Pattern == &p);
        for (const auto& s : p.StateResponses) owner_is(s->Pattern == &p);
        break;
      }
      case ObjectKind::kResponse: {
        auto& r = *static_cast<ResponseClass*>(item);
        for (const auto& t : r.Tasks) owner_is(t->Response == &r);
        break;
      }
      case ObjectKind::kThreshold: {
        auto& t = *static_cast<ThresholdClass*>(item);
        for (const auto& r : t.Responses) owner_is(r->Owner == &t);
        break;
      }
      case ObjectKind::kState: {
        auto& s = *static_cast<StateClass*>(item);
        for (const auto& r : s.Responses) owner_is(r->Owner == &s);
        break;
      }
      case ObjectKind::kProc: {
        auto& p = *static_cast<ProcClass*>(item);
        for (const auto& s : p.Steps) owner_is(s->Proc == &p);
        for (const auto& s : p.detached_steps_) owner_is(s->Proc == &p);
        if (p.StepNames.Count() != p.Steps.Count())
          Fail("a procedure's step names and steps differ in number");
        break;
      }
      case ObjectKind::kStep: {
        auto& s = *static_cast<StepClass*>(item);
        for (const auto& sp : s.StepPatterns) owner_is(sp->Step == &s);
        ordered(s.StepPatterns, s.next_ordinal_);
        break;
      }
      case ObjectKind::kStepPattern: {
        auto& sp = *static_cast<StepPatternClass*>(item);
        for (const auto& f : sp.Fragments) owner_is(f->Owner == &sp);
        for (const auto& r : sp.Responses) owner_is(r->Owner == &sp);
        break;
      }
      default:
        break;
    }
  }
  // A pattern's mode must be a mode the brain keeps (listed or parked),
  // which it is once every item is owned; a step's procedure likewise.
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (!owned_[i]) Fail("an item has no owner");
}

std::unique_ptr<BrainClass> KnowledgeCodec::Reader::Read(
    std::vector<Item*>* out_items) {
  const uint64_t format = in_.U64();
  if (format != kFormat && format != kFormatWithEncoding)
    Fail("the knowledge is of format " + std::to_string(format) + ", not " +
         std::to_string(kFormat) + " or " + std::to_string(kFormatWithEncoding));
  TextEncoding encoding = TextEncoding::kCodePage;
  if (format == kFormatWithEncoding) {
    const uint8_t code = in_.Byte();
    if (code != static_cast<uint8_t>(TextEncoding::kUtf8))
      Fail("the knowledge is of no known encoding");
    encoding = TextEncoding::kUtf8;
  }
  with_sources_ = in_.Bool();
  std::unique_ptr<BrainClass> brain(new BrainClass(BrainClass::Bare{}));
  brain_ = brain.get();
  brain->SetTextEncoding(encoding);
  const std::size_t n = in_.Count();
  items_.assign(n, nullptr);
  owned_.assign(n, false);
  numbers_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t kind = in_.Byte();
    if (kind == static_cast<uint8_t>(ObjectKind::kBrain) || kind >= kKindCount)
      Fail("an item is of no known kind");
    items_[i] = NewItem(static_cast<ObjectKind>(kind));
    // The lists of procedures and collections compare names as the
    // knowledge base does before the first name is filed in them.
    if (auto* proc = ItemAs<ProcClass>(items_[i]))
      proc->StepNames.SetFolding(brain->name_folding());
    if (auto* c = ItemAs<DataCollectionClass>(items_[i]))
      c->Members.SetFolding(brain->name_folding());
    numbers_.emplace(items_[i], i);
  }
  for (Item* item : items_) Item1(item);
  TakeList(brain->Modes);
  Names(brain->ModeNames, false, false, ObjectKind::kMode);
  TakeList(brain->Procs);
  Names(brain->ProcNames, false, false, ObjectKind::kProc);
  Names(brain->FactNames, false, false, ObjectKind::kBrain);
  Names(brain->FactValues, false, false, ObjectKind::kBrain);
  Names(brain->StateNames, false, false, ObjectKind::kBrain);
  Names(brain->Collections, true, false, ObjectKind::kCollection);
  Names(brain->NamedObjects, true, true, ObjectKind::kBrain);
  RefList(brain->DoBeforePatterns);
  RefList(brain->DoAfterPatterns);
  const std::size_t stored = in_.Count();
  for (std::size_t i = 0; i < stored; ++i) {
    DataCollectionClass* c = Ref<DataCollectionClass>(false);
    const std::size_t number = NumberOf(c);
    if (owned_[number]) Fail("an item has two owners");
    owned_[number] = true;
    brain->collection_store_.emplace_back(c);
  }
  const std::size_t parked = in_.Count();
  for (std::size_t i = 0; i < parked; ++i) {
    Item* item = RefAny(false);
    if (item == brain_) Fail("the brain is parked");
    const std::size_t number = NumberOf(item);
    if (owned_[number]) Fail("an item has two owners");
    owned_[number] = true;
    switch (item->kind()) {
#define CORVANE_PARK(kind, type)                                  \
  case ObjectKind::kind:                                          \
    brain->Park(std::unique_ptr<type>(static_cast<type*>(item))); \
    break;
      CORVANE_PARK(kMode, KnowledgeClass)
      CORVANE_PARK(kPattern, PatternClass)
      CORVANE_PARK(kFragment, WordFragmentClass)
      CORVANE_PARK(kResponse, ResponseClass)
      CORVANE_PARK(kTask, TaskClass)
      CORVANE_PARK(kThreshold, ThresholdClass)
      CORVANE_PARK(kState, StateClass)
      CORVANE_PARK(kProc, ProcClass)
      CORVANE_PARK(kStep, StepClass)
      CORVANE_PARK(kStepPattern, StepPatternClass)
      CORVANE_PARK(kCollection, DataCollectionClass)
#undef CORVANE_PARK
      case ObjectKind::kBrain:
        break;
    }
  }
  if (brain->ModeNames.Count() != brain->Modes.Count() ||
      brain->ProcNames.Count() != brain->Procs.Count() ||
      brain->FactNames.Count() != brain->FactValues.Count())
    Fail("a registry and its list differ in number");
  for (const auto& mode : brain->Modes)
    if (mode->Owner != brain_) Fail("a mode is not the brain's");
  Check();
  if (with_sources_) {
    std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> facts;
    const std::size_t fact_count = in_.Count();
    for (std::size_t i = 0; i < fact_count; ++i) {
      std::string name = in_.Text();
      const uint64_t file = in_.U64();
      const uint64_t line = file == 0 ? 0 : in_.U64();
      facts.push_back({std::move(name), {file, line}});
    }
    const std::size_t file_count = in_.Count();
    std::vector<uint16_t> files;
    for (std::size_t i = 0; i < file_count; ++i)
      files.push_back(InternSourceFile(in_.Text()));
    for (const PendingSource& s : item_sources_) {
      if (s.file >= files.size()) Fail("a source names no file");
      s.item->set_source(files[s.file], static_cast<int64_t>(s.line));
    }
    for (auto& [name, where] : facts) {
      SourceLocation location;
      if (where.first != 0) {
        if (where.first - 1 >= files.size()) Fail("a source names no file");
        location.file = SourceFileName(files[where.first - 1]);
        location.line = static_cast<int64_t>(where.second);
      }
      brain->fact_sources_[name] = std::move(location);
    }
  }
  if (out_items != nullptr) *out_items = items_;
  return brain;
}

void KnowledgeCodec::Collect(Item* item, std::vector<Item*>& out) {
  out.push_back(item);
  switch (item->kind()) {
    case ObjectKind::kMode:
      CollectList(static_cast<KnowledgeClass*>(item)->Patterns, out);
      break;
    case ObjectKind::kPattern: {
      auto* p = static_cast<PatternClass*>(item);
      CollectList(p->Fragments, out);
      CollectList(p->Responses, out);
      CollectList(p->Thresholds, out);
      CollectList(p->StateResponses, out);
      break;
    }
    case ObjectKind::kResponse:
      CollectList(static_cast<ResponseClass*>(item)->Tasks, out);
      break;
    case ObjectKind::kThreshold:
      CollectList(static_cast<ThresholdClass*>(item)->Responses, out);
      break;
    case ObjectKind::kState:
      CollectList(static_cast<StateClass*>(item)->Responses, out);
      break;
    case ObjectKind::kProc: {
      auto* proc = static_cast<ProcClass*>(item);
      CollectList(proc->Steps, out);
      CollectList(proc->detached_steps_, out);
      break;
    }
    case ObjectKind::kStep:
      CollectList(static_cast<StepClass*>(item)->StepPatterns, out);
      break;
    case ObjectKind::kStepPattern: {
      auto* sp = static_cast<StepPatternClass*>(item);
      CollectList(sp->Fragments, out);
      CollectList(sp->Responses, out);
      break;
    }
    default:
      break;
  }
}

std::vector<Item*> KnowledgeCodec::Items(const BrainClass& brain) {
  std::vector<Item*> items;
  CollectList(brain.Modes, items);
  CollectList(brain.Procs, items);
  for (const auto& c : brain.collection_store_) Collect(c.get(), items);
  for (Item* parked : brain.parked_items_) Collect(parked, items);
  return items;
}

void KnowledgeCodec::Encode(const BrainClass& brain, ByteWriter& out,
                            bool with_sources, std::vector<Item*>* items) {
  std::vector<Item*> all = Items(brain);
  if (items != nullptr) *items = all;
  Writer writer(brain, out, with_sources, std::move(all));
  writer.Write();
}

std::unique_ptr<BrainClass> KnowledgeCodec::Decode(ByteReader& in,
                                                   std::vector<Item*>* items) {
  Reader reader(in);
  return reader.Read(items);
}

}  // namespace corvane
