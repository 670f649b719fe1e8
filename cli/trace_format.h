// Prints the trace of a turn (engine/trace.h) for authors: as readable
// text, or as one JSON object on one line for tools.
#ifndef CORVANE_CLI_TRACE_FORMAT_H_
#define CORVANE_CLI_TRACE_FORMAT_H_

#include <string>

#include "engine/trace.h"

namespace corvane {

enum class TraceFormat { kNone, kText, kJson };

// Indented lines, each ending in a line end, beginning with "trace: " and
// the input.
std::string FormatTraceText(const TurnTrace& trace);

// One JSON object without a line end. Bytes above 0x7F are written as
// \u00XX (the texts are single-byte), so the result is always valid JSON.
std::string FormatTraceJson(const TurnTrace& trace);

}  // namespace corvane

#endif  // CORVANE_CLI_TRACE_FORMAT_H_
