// The knowledge store: what the author wrote, as the language-file reader
// built it, and in a private brain also what its conversation changed in
// the knowledge itself (learnt patterns, edited and deleted items).
//
// Ownership: the store owns its modes and procedures (owning lists; a mode
// owns its patterns, a procedure its steps), every collection ever
// registered, and every item that was replaced or deleted (parked until
// the store is destroyed, so that no registry entry and no running
// operation ever points at a released object). NamedObjects,
// DoBeforePatterns and DoAfterPatterns hold plain pointers into it.
//
// Threads: while it is being built (the reader, a private brain's turns)
// one thread at a time uses it. Frozen (SharedKnowledge, engine/
// conversation.h), it is read by any number of threads and written by
// none: every lookup structure that a read would build on demand (the
// name lists' hash indexes, the modes' and steps' pattern indexes, the
// word index object) is built by Freeze, and the conversations keep what
// they change beside it (engine/conversation_state.h).
//
// Throws: IndexError from its lists read outside their bounds.
#ifndef CORVANE_ENGINE_KNOWLEDGE_STORE_H_
#define CORVANE_ENGINE_KNOWLEDGE_STORE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/name_list.h"
#include "base/owning_list.h"
#include "engine/item.h"
#include "platform/files.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;
class DataCollectionClass;
class KnowledgeClass;
class PatternClass;
class ProcClass;
class WordIndex;

class KnowledgeStore {
 public:
  // Reads texts as language-file lines into a brain ("Make Code"). The
  // language-file library provides it; the engine cannot depend on it.
  using LineLoaderFn =
      std::function<void(BrainClass&, const std::vector<std::string>&)>;

  KnowledgeStore();
  ~KnowledgeStore();
  KnowledgeStore(const KnowledgeStore&) = delete;
  KnowledgeStore& operator=(const KnowledgeStore&) = delete;

  // The collection registered under `name` (ignoring case), or nullptr.
  // The store's own: a conversation on shared knowledge looks collections
  // up through its turn (TurnRunner::FindCollection).
  DataCollectionClass* FindCollection(std::string_view name) const;
  // The item of the first NamedObjects entry with that label, or nullptr.
  Item* FindNamedObject(std::string_view label) const;

  // Records where the language file set the fact `name` (the latest line
  // wins); facts without a record were set by a conversation.
  void NoteFactSource(std::string_view name, SourceLocation source);
  // Where the language file set the fact (ignoring case), or nullptr.
  const SourceLocation* FactSource(std::string_view name) const;

  // Keeps a detached item alive until the store is destroyed.
  template <typename T>
  void Park(std::unique_ptr<T> item) {
    if (!item) return;
    parked_items_.push_back(static_cast<Item*>(item.get()));
    parked_.push_back(std::shared_ptr<void>(std::move(item)));
  }

  const PathMapper& paths() const { return paths_; }
  // Files the knowledge base names resolve under `root`.
  void SetFileRoot(const std::string& root) { paths_ = PathMapper(root); }
  // Keeps the host file (the language file, the page template) out of
  // reach of the files a conversation names; call after SetFileRoot.
  void ProtectFile(const std::string& host_path) { paths_.Protect(host_path); }
  void SetLineLoader(LineLoaderFn loader) { line_loader_ = std::move(loader); }
  const LineLoaderFn& line_loader() const { return line_loader_; }

  // The knowledge generation. Modes and steps keep their index up to date
  // as knowledge is attached, edited and deleted through the brain and the
  // knowledge classes; code that changes a pattern's or fragment's fields
  // or lists directly, behind their back, calls NoteKnowledgeChange, and
  // every index is built afresh before the next turn uses it.
  uint64_t KnowledgeGeneration() const { return knowledge_generation_; }
  void NoteKnowledgeChange() { ++knowledge_generation_; }

  // The word index of this knowledge: opened by its first question, with
  // that question's directory, and kept while the knowledge lives. A
  // private copy of shared knowledge keeps the shared one's. Thread-safe.
  WordIndex& word_index() const { return *word_index_; }

  // How the knowledge base's texts are encoded: the code page unless its
  // language file declared UTF-8. Set by the reader before the first text
  // of the file is taken, and never changed once turns have run. Setting
  // it gives every name list of the store, its procedures' steps and its
  // collections' members the encoding's folding (name_folding).
  TextEncoding text_encoding() const { return text_encoding_; }
  void SetTextEncoding(TextEncoding encoding);
  // How names compare in this knowledge base: Unicode simple case folding
  // in UTF-8, ASCII letters (nullptr) in the code page. Every name list of
  // the knowledge and of its conversations is given it.
  const NameFolding* name_folding() const {
    return NameFoldingFor(text_encoding_);
  }

  // Whether the store is frozen: shared by conversations, never written.
  bool frozen() const { return frozen_; }

  // ---- Fields ----

  NameList ProcNames;                       // Parallel to Procs.
  OwningList<ProcClass> Procs;              // The procedures.
  NameList ModeNames;                       // Parallel to Modes.
  OwningList<KnowledgeClass> Modes;         // Never empty when built.
  NameList FactNames;                       // Parallel to FactValues.
  NameList FactValues;                      // Values of the facts.
  NameList StateNames;                      // The states; a state is a name.
  NameList Collections{NameList::kSorted};  // Name -> DataCollectionClass*.
  NameList NamedObjects;                    // Label -> Item*; duplicates kept.
  std::vector<PatternClass*> DoBeforePatterns;  // Not owned.
  std::vector<PatternClass*> DoAfterPatterns;   // Not owned.

 protected:
  friend class BrainClass;
  friend class Conversation;
  friend class KnowledgeCodec;
  friend class SharedKnowledge;

  // Every collection ever registered, so that a replaced or deleted one
  // stays alive for whoever still refers to it.
  std::vector<std::unique_ptr<DataCollectionClass>> collection_store_;
  std::vector<std::shared_ptr<void>> parked_;  // Replaced and deleted items.
  std::vector<Item*> parked_items_;            // The same, as items.
  std::map<std::string, SourceLocation> fact_sources_;  // Folded name.
  PathMapper paths_;
  LineLoaderFn line_loader_;
  uint64_t knowledge_generation_ = 1;
  std::shared_ptr<WordIndex> word_index_;
  bool frozen_ = false;
  TextEncoding text_encoding_ = TextEncoding::kCodePage;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_KNOWLEDGE_STORE_H_
