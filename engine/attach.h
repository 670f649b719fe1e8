// Attaching a child item to its owner: every owner appends the child to its
// owning list, registers a non-empty label in the brain's NamedObjects and,
// for most kinds, records the label in the brain's matching Last... field.
// The caller sets the child's owner reference first.
#ifndef CORVANE_ENGINE_ATTACH_H_
#define CORVANE_ENGINE_ATTACH_H_

#include <memory>
#include <string>

#include "base/owning_list.h"
#include "engine/brain.h"

namespace corvane {

// Appends `item` to `list`; `last`, when given, takes its label.
template <typename T>
T* AttachItem(OwningList<T>& list, std::unique_ptr<T> item, BrainClass* brain,
              std::string* last) {
  T* added = list.Add(std::move(item));
  if (last != nullptr) *last = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_ATTACH_H_
