// Coverage of a knowledge base by conversation tests (`corvane test
// --coverage`): which patterns, step patterns and responses of the file
// some test turn fired, and which none did. Not thread-safe.
#ifndef CORVANE_CLI_COVERAGE_H_
#define CORVANE_CLI_COVERAGE_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "engine/trace.h"

namespace corvane {

class BrainClass;

class Coverage {
 public:
  // The items are those that the reading of `path` into `brain` created
  // (a freshly loaded brain: items learnt later are not counted).
  Coverage(const BrainClass& brain, const std::string& path);

  // Counts what the traced turn (or start or stop) fired.
  void Note(const TurnTrace& trace);
  // Counts every pattern of the file whose hit count is above 0 in
  // `brain` (patterns fired where no trace records them, such as inside
  // "Submit This" turns).
  void NoteHits(const BrainClass& brain);

  // "coverage of PATH: F of N items fired (P%): patterns ..., step
  // patterns ..., responses ..." and, when some never fired, the line
  // "never fired:" and one line per item, "  PATH:LINE: KIND DESCRIPTION",
  // in line order. Every line ends in a line end.
  std::string Text() const;
  // The same as one JSON object, without a line end.
  std::string Json() const;

 private:
  enum class Kind : uint8_t { kPattern, kStepPattern, kResponse };
  struct Entry {
    Kind kind;
    std::string description;  // Label, where it is, the response text.
  };

  void Fired(const TraceFiring& firing);
  void Add(int64_t line, Kind kind, std::string description);
  // Fired and total of one kind, or of all when `all`.
  std::pair<long long, long long> Counts(Kind kind, bool all) const;

  std::string path_;
  std::map<int64_t, Entry> items_;  // By line in the file.
  std::set<int64_t> fired_;         // Lines of items that fired.
};

}  // namespace corvane

#endif  // CORVANE_CLI_COVERAGE_H_
