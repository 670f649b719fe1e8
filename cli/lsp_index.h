// What the language server knows of one .clf document: the names it
// defines and mentions (modes, procedures, steps, states, collections,
// facts and Name-Object labels), each with its place, read from the lines
// the way the reader reads them; and the diagnostics of `corvane check
// --strict`. Pure data, built anew for every version of the text.
#ifndef CORVANE_CLI_LSP_INDEX_H_
#define CORVANE_CLI_LSP_INDEX_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// A place in the document: 0-based line, and byte columns [begin, end).
struct TextRange {
  int64_t line = 0;
  int64_t begin = 0;
  int64_t end = 0;
};

enum class SymbolKind : uint8_t {
  kMode,
  kProcedure,
  kStep,
  kState,
  kCollection,
  kFact,
  kLabel,
};

// "mode", "procedure", "step", "state", "collection", "fact", "label".
const char* SymbolKindName(SymbolKind kind);

// One mention of a name.
struct SymbolUse {
  SymbolKind kind;
  std::string name;   // As written (trimmed).
  std::string scope;  // For steps: the procedure's name; else empty.
  TextRange range;    // The name's text.
  bool definition = false;
  std::string how;  // What mentions it: "Mode Change", "^Fact{}", ...
};

// An item the outline shows: a mode, a procedure with its steps, a
// collection. `whole` spans from its line to the line before the next one.
struct OutlineItem {
  SymbolKind kind;
  std::string name;
  TextRange name_range;
  int64_t first_line = 0;
  int64_t last_line = 0;
  std::vector<OutlineItem> children;  // The steps of a procedure.
};

struct Diagnostic {
  TextRange range;
  bool error = false;  // A problem of the reader; else a warning.
  std::string message;
};

class DocumentIndex {
 public:
  // Reads `text` (the document as the editor holds it).
  explicit DocumentIndex(std::string_view text);

  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<SymbolUse>& uses() const { return uses_; }
  const std::vector<OutlineItem>& outline() const { return outline_; }

  // The use whose name holds the place, or nullptr.
  const SymbolUse* UseAt(int64_t line, int64_t column) const;
  // Every use of the symbol of `use` (same kind, name ignoring case, and
  // for steps the same procedure).
  std::vector<const SymbolUse*> UsesOf(const SymbolUse& use) const;
  // Markdown: the symbol's kind and name, its fields where it is defined,
  // and the lines that use it.
  std::string Hover(const SymbolUse& use) const;

  // The problems and warnings `corvane check --strict` reports for the
  // text, with their lines.
  static std::vector<Diagnostic> Check(std::string_view text);

 private:
  void ReadLine(int64_t number, const std::string& line);
  void AddUse(SymbolKind kind, const std::string& name, TextRange range,
              bool definition, std::string how);
  // The braced fields of a line from `from`, as the reader scans them:
  // text and range of each.
  struct Field {
    std::string text;
    TextRange range;
  };
  std::vector<Field> BracedFields(int64_t line, std::string_view text,
                                  std::size_t from) const;
  void MacroUses(const Field& field);
  void CloseOutline(int64_t line);

  std::vector<std::string> lines_;
  std::vector<SymbolUse> uses_;
  std::vector<OutlineItem> outline_;
  std::string procedure_;  // The procedure steps now belong to.
  bool in_collection_ = false;
  bool first_mode_open_ = false;  // Patterns of the first mode were seen.
};

}  // namespace corvane

#endif  // CORVANE_CLI_LSP_INDEX_H_
