// Placeholder until named objects land.
#include "engine/brain.h"

namespace corvane {

void BrainClass::SetObjectField(const std::string&, const std::string&,
                                const std::string&) {}
void BrainClass::DeleteNamedObject(const std::string&) {}

}  // namespace corvane
