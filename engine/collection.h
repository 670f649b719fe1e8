// A data collection: a named set of member texts that fragments test
// against and macros pick from. Members compare without regard to case,
// folded as the names of its knowledge base are (ASCII letters in the code
// page, Unicode simple case folding in UTF-8); the list is sorted until
// SetUnsorted. Not thread-safe; owned by its
// BrainClass, or by a conversation that changed or made it (its own copy,
// beside shared knowledge).
#ifndef CORVANE_ENGINE_COLLECTION_H_
#define CORVANE_ENGINE_COLLECTION_H_

#include <string>
#include <string_view>

#include "base/label.h"
#include "base/name_list.h"
#include "engine/item.h"

namespace corvane {

class BrainClass;
class EffectSink;
class PathMapper;
class Random;

class DataCollectionClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kCollection;
  DataCollectionClass() : Item(kKind) {}

  // True when the text is not empty and some member occurs in it as a
  // whole word or phrase.
  bool HasWordMember(std::string_view text) const;
  // True when the text is not empty and some non-empty member occurs in it.
  bool HasSubstringMember(std::string_view text) const;
  // The first member, in member order, found as a whole word; "~" if none.
  std::string FirstWordMember(std::string_view text) const;
  // Match `index` among the members equal to a word of the text; empty if
  // nothing applies.
  std::string IndexedWordMember(std::string_view text,
                                std::string_view index) const;
  // The first member occurring anywhere in the text; "~" if none.
  std::string FirstSubstringMember(std::string_view text) const;
  // All members joined by ", "; empty for an empty text.
  std::string AllMembers(std::string_view text) const;
  // Member n of "name|n", or a member drawn from `random` without "|";
  // empty when none.
  std::string PickMember(std::string_view selector, Random& random) const;
  // Adds the trimmed text unless an equal member exists. Empty: no-op.
  void Include(std::string_view text);
  // Removes the first member equal to the trimmed text.
  void Exclude(std::string_view text);
  // Replaces the members by the lines of the file (mapped through
  // `paths`); a file that cannot be read changes nothing.
  void LoadFromFile(const std::string& path, const PathMapper& paths);
  // Writes the members, each followed by CR LF, through `effects`,
  // replacing the file as a whole; failures are ignored and leave the old
  // file.
  void SaveToFile(const std::string& path, const PathMapper& paths,
                  EffectSink& effects) const;
  void Clear() { Members.Clear(); }

  Label ObjectName;                        // Named-object label.
  std::string CollectionName;              // Its name in Collections.
  NameList Members{NameList::kSorted};     // Sorted until SetUnsorted.
  BrainClass* Owner = nullptr;             // Set by AddCollection.
  // The remembered picks; read them through the turn's view
  // (TurnRunner::RememberedPick).
  std::string MemberPick;                  // Remembered pick of ^Member{.
  double MemberPickTime = 0;               // LastInput of that pick.
  std::string MemberSubPick;               // Remembered pick of ^MemberSub{.
  double MemberSubPickTime = 0;            // LastInput of that pick.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_COLLECTION_H_
