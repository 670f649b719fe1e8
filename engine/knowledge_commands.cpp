// Placeholder until the knowledge commands land.
#include "engine/brain.h"

namespace corvane {

void BrainClass::LoadCollection(const std::string&, const std::string&) {}
void BrainClass::SaveCollection(const std::string&, const std::string&) {}
void BrainClass::ClearCollection(const std::string&) {}
void BrainClass::SetUnsorted(const std::string&) {}
void BrainClass::ParseCollection(const std::string&, const std::string&,
                                 const std::string&) {}
void BrainClass::MergeCollection(const std::string&, const std::string&) {}
void BrainClass::WordsToCollection(const std::string&, const std::string&) {}
void BrainClass::MakeCode(const std::string&) {}
void BrainClass::CreateAutoPattern(const std::string&, const std::string&,
                                   const std::string&) {}
void BrainClass::AddResponseToLastPattern(const std::string&) {}
void BrainClass::AddFragmentToLastPattern(const std::string&,
                                          const std::string&) {}

}  // namespace corvane
