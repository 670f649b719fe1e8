#include "engine/type_tables.h"

namespace corvane {

const std::array<std::string_view, kRelationCount> kRelationNames = {
    "None",          "AND",         "OR",
    "NOT",           "CUSTOM",      "Data-Match",
    "External",      "State-Match", "In Collection",
    "Volition",      "Out-Match",   "CUSTOM-Sub",
    "In Collection-Sub", "Initialize", "Finalize",
    "Do-Before",     "Do-After",    "EXTRACT",
};

const std::array<std::string_view, kResponseTypeCount> kResponseTypeNames = {
    "None",
    "Just Text",
    "Mode Change",
    "Nested",
    "Assignment",
    "Action",
    "Reset Hits",
    "State Change",
    "Reset State",
    "Task List",
    "Reset KM Hits",
    "Reset Brain Hits",
    "Add To Collection",
    "Remove From Collection",
    "Submit This",
    "Log This",
    "Start Proc",
    "Goto Step",
    "Halt Proc",
    "Ask Orvalis",
    "Call Proc",
    "Proc Return",
    "Self Modify",
    "Load Collection",
    "Save Collection",
    "Clear Collection",
    "Parse Collection",
    "Delete Object",
    "Make Code",
    "Merge Collection",
    "Do Response For",
    "Words To Collection",
    "Create AutoPattern",
    "Add Response",
    "Add Fragment",
    "Set Unsorted",
    "Set Label",
    "Goto",
    "BranchIf",
};

}  // namespace corvane
