// A copy of a data collection (labels, members, owner and picks): what a
// conversation keeps of a shared collection it changes, and what a copy of
// its side tables holds. Used by the conversation's own code only.
#ifndef CORVANE_ENGINE_COLLECTION_COPY_H_
#define CORVANE_ENGINE_COLLECTION_COPY_H_

#include <memory>

#include "engine/collection.h"

namespace corvane {

inline std::unique_ptr<DataCollectionClass> CopyCollection(
    const DataCollectionClass& c) {
  auto copy = std::make_unique<DataCollectionClass>();
  copy->ObjectName = c.ObjectName;
  copy->CollectionName = c.CollectionName;
  copy->Members = c.Members;
  copy->Owner = c.Owner;
  copy->MemberPick = c.MemberPick;
  copy->MemberPickTime = c.MemberPickTime;
  copy->MemberSubPick = c.MemberSubPick;
  copy->MemberSubPickTime = c.MemberSubPickTime;
  return copy;
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_COLLECTION_COPY_H_
