// The knowledge codec: a brain's whole knowledge store as bytes, and a new
// brain built from them, without losing anything a later turn could see:
// every item with every field (hit counts, volition marks, ordinals,
// current and start steps, remembered picks), items replaced or deleted
// but still reachable through a label or a "Do-Before" list, the order of
// every list and registry, and (when asked) where each item was read from.
// The conversation's own state is not part of it (engine/conversation.h
// writes that).
//
// It gives a conversation its private copy of shared knowledge (Decode of
// Encode), and carries the knowledge of a promoted conversation in a
// snapshot when the language-file writer cannot.
//
// Items are numbered in one fixed walk: the modes with their patterns
// (each with its fragments, responses and their tasks, thresholds and
// state groups), the procedures with their steps and step patterns, every
// collection ever registered, then the parked items with what they own.
// References are written as numbers.
//
// Thread-safe for a frozen brain (it only reads); otherwise the caller's
// thread owns the brain. Decode throws CorruptDataError for bytes that do
// not describe a knowledge base it could run safely (a reference to a
// missing item or one of the wrong kind, an item owned twice, an owner that
// does not lead back to the brain, lists out of order), whatever the bytes.
#ifndef CORVANE_ENGINE_KNOWLEDGE_CODEC_H_
#define CORVANE_ENGINE_KNOWLEDGE_CODEC_H_

#include <memory>
#include <vector>

#include "base/owning_list.h"
#include "engine/byte_codec.h"
#include "engine/item.h"

namespace corvane {

class BrainClass;

class KnowledgeCodec {
 public:
  // Every item of the brain's knowledge in the order of their numbers.
  static std::vector<Item*> Items(const BrainClass& brain);

  // Writes the knowledge of `brain`; `with_sources` adds where each item
  // (and each fact) was read from. `items`, when given, receives Items().
  static void Encode(const BrainClass& brain, ByteWriter& out,
                     bool with_sources, std::vector<Item*>* items = nullptr);

  // A brain holding the knowledge read from `in`, with the initial
  // conversation state, no file root or line loader, and a word index not
  // yet opened: the caller gives those it needs. `items`, when given, receives
  // its items in the order of their numbers, so item i of it stands for item i
  // of the encoded brain. Throws CorruptDataError.
  static std::unique_ptr<BrainClass> Decode(
      ByteReader& in, std::vector<Item*>* items = nullptr);

 private:
  class Writer;
  class Reader;
  // Appends `item` and everything it owns, in the walk's order.
  static void Collect(Item* item, std::vector<Item*>& out);
  template <typename T>
  static void CollectList(const OwningList<T>& list, std::vector<Item*>& out) {
    for (const auto& item : list) Collect(item.get(), out);
  }
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_KNOWLEDGE_CODEC_H_
