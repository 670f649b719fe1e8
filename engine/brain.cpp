#include "engine/brain.h"

#include "engine/collection.h"
#include "engine/knowledge.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "platform/clock.h"
#include "platform/os_random.h"
#include "text/text_util.h"
#include "text/word_index.h"

namespace corvane {

KnowledgeStore::KnowledgeStore() : word_index_(std::make_shared<WordIndex>()) {}
KnowledgeStore::~KnowledgeStore() = default;

DataCollectionClass* KnowledgeStore::FindCollection(
    std::string_view name) const {
  const int index = Collections.IndexOf(name);
  if (index < 0) return nullptr;
  return static_cast<DataCollectionClass*>(Collections.ObjectAt(index));
}

Item* KnowledgeStore::FindNamedObject(std::string_view label) const {
  const int index = NamedObjects.IndexOf(label);
  if (index < 0) return nullptr;
  return static_cast<Item*>(NamedObjects.ObjectAt(index));
}

void KnowledgeStore::SetTextEncoding(TextEncoding encoding) {
  text_encoding_ = encoding;
  const NameFolding* folding = name_folding();
  for (NameList* list : {&ProcNames, &ModeNames, &FactNames, &FactValues,
                         &StateNames, &Collections, &NamedObjects})
    list->SetFolding(folding);
  for (const auto& proc : Procs) proc->StepNames.SetFolding(folding);
  for (const auto& collection : collection_store_)
    collection->Members.SetFolding(folding);
  std::map<std::string, SourceLocation> sources;
  for (auto& [name, source] : fact_sources_)
    sources.emplace(FoldName(folding, name), std::move(source));
  fact_sources_ = std::move(sources);
}

void KnowledgeStore::NoteFactSource(std::string_view name,
                                    SourceLocation source) {
  fact_sources_[FoldName(name_folding(), name)] = std::move(source);
}

const SourceLocation* KnowledgeStore::FactSource(std::string_view name) const {
  const auto found = fact_sources_.find(FoldName(name_folding(), name));
  return found == fact_sources_.end() ? nullptr : &found->second;
}

BrainClass::BrainClass(OutputHandlerFn output_handler)
    : Item(kKind), runner_(*this, *this) {
  OutputHandler = std::move(output_handler);
  Seed(OsRandomSeed());
  AddMode("Default", std::make_unique<KnowledgeClass>());
  AddState("Normal");
  LastInput = NowDateTime();
  NamedObjects.Add(Name, static_cast<Item*>(this));
}

BrainClass::BrainClass(Bare) : Item(kKind), runner_(*this, *this) {}

BrainClass::~BrainClass() = default;

KnowledgeClass* BrainClass::AddMode(const std::string& name,
                                    std::unique_ptr<KnowledgeClass> mode) {
  HasVolition = HasVolition || mode->HasVolition;
  mode->Name = name;
  mode->Owner = this;
  KnowledgeClass* added = mode.get();
  const int index = ModeNames.IndexOf(name);
  if (index < 0) {
    ModeNames.Add(name);
    Modes.Add(std::move(mode));
  } else {
    // The replaced mode stays alive: registries and running firings may
    // still refer to it or to its patterns.
    Park(Modes.Replace(index, std::move(mode)));
  }
  if (Modes.Count() == 1) CurrentMode = 0;
  LastKnow = added->ObjectName;
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

void BrainClass::AddState(const std::string& name) {
  if (StateNames.IndexOf(name) < 0) StateNames.Add(name);
  if (StateNames.Count() == 1) CurrentState = 0;
}

ProcClass* BrainClass::AddProc(const std::string& name,
                               std::unique_ptr<ProcClass> proc) {
  ProcClass* added = proc.get();
  proc->Owner = this;
  proc->StepNames.SetFolding(name_folding());
  if (name.empty()) {
    // Not registered, but kept alive so that the caller's steps still have
    // a brain to reach.
    Park(std::move(proc));
    return added;
  }
  proc->Name = name;
  const int index = ProcNames.IndexOf(name);
  if (index < 0) {
    ProcNames.Add(name);
    Procs.Add(std::move(proc));
  } else {
    Park(Procs.Replace(index, std::move(proc)));
  }
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

DataCollectionClass* BrainClass::AddCollection(
    const std::string& name, std::unique_ptr<DataCollectionClass> collection) {
  DataCollectionClass* added = collection.get();
  collection->Owner = this;
  collection->Members.SetFolding(name_folding());
  if (name.empty()) {
    Park(std::move(collection));
    return added;
  }
  collection->CollectionName = name;
  collection_store_.push_back(std::move(collection));
  const int index = Collections.IndexOf(name);
  if (index < 0)
    Collections.Add(name, added);
  else
    Collections.SetObject(index, added);
  RegisterNamedObject(added->ObjectName, added);
  return added;
}

void BrainClass::RegisterNamedObject(const std::string& name, Item* item) {
  if (!name.empty()) NamedObjects.Add(name, item);
}

}  // namespace corvane
