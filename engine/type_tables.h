// The two vocabularies that the language file and the named-object fields
// spell by name: the 18 word-fragment relations and the 39 response and task
// types. Codes index the tables.
#ifndef CORVANE_ENGINE_TYPE_TABLES_H_
#define CORVANE_ENGINE_TYPE_TABLES_H_

#include <array>
#include <cstdint>
#include <string_view>

namespace corvane {

inline constexpr int kRelationCount = 18;
inline constexpr int kResponseTypeCount = 39;

extern const std::array<std::string_view, kRelationCount> kRelationNames;
extern const std::array<std::string_view, kResponseTypeCount> kResponseTypeNames;

// Relation codes of word fragments.
namespace rel {
inline constexpr uint8_t kNone = 0, kAnd = 1, kOr = 2, kNot = 3, kCustom = 4,
                         kDataMatch = 5, kExternal = 6, kStateMatch = 7,
                         kInCollection = 8, kVolition = 9, kOutMatch = 10,
                         kCustomSub = 11, kInCollectionSub = 12,
                         kInitialize = 13, kFinalize = 14, kDoBefore = 15,
                         kDoAfter = 16, kExtract = 17;
}  // namespace rel

// Response and task type codes.
namespace rt {
inline constexpr uint8_t kNone = 0, kJustText = 1, kModeChange = 2, kNested = 3,
                         kAssignment = 4, kAction = 5, kResetHits = 6,
                         kStateChange = 7, kResetState = 8, kTaskList = 9,
                         kResetKmHits = 10, kResetBrainHits = 11,
                         kAddToCollection = 12, kRemoveFromCollection = 13,
                         kSubmitThis = 14, kLogThis = 15, kStartProc = 16,
                         kGotoStep = 17, kHaltProc = 18, kAskOrvalis = 19,
                         kCallProc = 20, kProcReturn = 21, kSelfModify = 22,
                         kLoadCollection = 23, kSaveCollection = 24,
                         kClearCollection = 25, kParseCollection = 26,
                         kDeleteObject = 27, kMakeCode = 28,
                         kMergeCollection = 29, kDoResponseFor = 30,
                         kWordsToCollection = 31, kCreateAutoPattern = 32,
                         kAddResponse = 33, kAddFragment = 34,
                         kSetUnsorted = 35, kSetLabel = 36, kGoto = 37,
                         kBranchIf = 38;
}  // namespace rt

}  // namespace corvane

#endif  // CORVANE_ENGINE_TYPE_TABLES_H_
