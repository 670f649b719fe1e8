// The language file: the plain-text form of a knowledge base. The reader
// adds what a file (or a list of lines) declares to an existing brain and
// reports every bad line to the operator with its number; the writer stores
// a whole brain in the form the reader reads back.
//
// Each reading has its own reader state, so readings in different threads
// never disturb each other; a brain itself must not be used by two threads.
#ifndef CORVANE_LANGFILE_CORVLANGU_H_
#define CORVANE_LANGFILE_CORVLANGU_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_version.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;

// Reads the language file at the host path `path` into `brain`. Problems go
// to ShowOperatorMessage; nothing is thrown for the file's content.
void LoadLanguageFile(BrainClass& brain, const std::string& path);

// Reads `lines` as the lines of a language file ("Make Code"); "AUTO-NAME"
// lines are honoured here.
void LoadLanguageLines(BrainClass& brain,
                       const std::vector<std::string>& lines);

// One problem found by a reading. `message` is the operator message exactly
// ("No Current Procedure In Line 12", "Could not open file: kb.clf");
// `line` is the line number it concerns, 0 when the file could not be
// opened; `text` is the rejected line exactly as read, when `has_text`.
struct LanguageProblem {
  int64_t line = 0;
  std::string message;
  bool has_text = false;
  std::string text;
};
using LanguageProblemSink = std::function<void(const LanguageProblem&)>;

// As above, but each problem goes to `sink` instead of ShowOperatorMessage
// (which gets the message and then the line as read, as two messages).
// `sink` must not use `brain`.
void LoadLanguageFile(BrainClass& brain, const std::string& path,
                      const LanguageProblemSink& sink);
// As above, but only a regular file is read: anything else (a FIFO, a
// device, a directory) is reported as a file that cannot be opened, without
// waiting for a writer. For servers, where a blocking open would hold up a
// request.
void LoadRegularLanguageFile(BrainClass& brain, const std::string& path,
                             const LanguageProblemSink& sink);
void LoadLanguageLines(BrainClass& brain, const std::vector<std::string>& lines,
                       const LanguageProblemSink& sink);

// As above; `read_version` (when not null) becomes the version of the bytes
// read: exists = false when the file could not be opened, and a size no
// file has when reading failed part of the way. A save passes it to
// SaveLanguageFileOver. An empty `sink` sends problems to
// ShowOperatorMessage.
void LoadLanguageFile(BrainClass& brain, const std::string& path,
                      const LanguageProblemSink& sink,
                      FileVersion* read_version);
void LoadRegularLanguageFile(BrainClass& brain, const std::string& path,
                             const LanguageProblemSink& sink,
                             FileVersion* read_version);

// Writes the whole knowledge base of `brain` to the host path `path`,
// replacing the file atomically. Returns false, having written nothing, when
// the file cannot be created (callers that treat that like a file never
// meant to be saved may ignore the result); when that is for want of
// permission (a read-only file, also when running as root, or a directory
// the process may not write) an operator message says the file was not
// saved. A failed write throws IoError and leaves the old file as it was.
// True once the new file is in place.
bool SaveLanguageFile(const BrainClass& brain, const std::string& path);

// How a save that guards against edits on disk ended.
struct SaveOutcome {
  enum class Result {
    kSaved,       // The file holds the knowledge base now.
    kNotWritten,  // The file could not be created (as SaveLanguageFile).
    kConflict,    // The file changed; the knowledge base went elsewhere.
  };
  Result result = Result::kNotWritten;
  std::string conflict_path;  // For kConflict: where it was written.
  FileVersion version;        // For kSaved: what the file holds now.
};

// As SaveLanguageFile, but never over a file that changed since the
// knowledge was read from it: unless the file still holds `base` (or only
// saves of this process changed it since), it is left alone and the
// knowledge base is written beside it as PATH.conflict-YYYYMMDD-HHMMSS,
// and an operator message says so. `base` with exists = false means there
// was no file; one that appeared since counts as a change. Throws IoError
// as SaveLanguageFile does.
SaveOutcome SaveLanguageFileOver(const BrainClass& brain,
                                 const std::string& path,
                                 const FileVersion& base);

// The encoding the language file at `path` declares, as the reader would
// take it: UTF-8 for a byte-order mark at its start or the declaration
// line before its first keyword line; the code page otherwise, and for a
// file that cannot be read. Reads only the file's first lines.
TextEncoding DeclaredTextEncoding(const std::string& path);

// Lets `brain` read collection members as language-file lines ("Make
// Code") through LoadLanguageLines.
void AttachLanguageReader(BrainClass& brain);

}  // namespace corvane

#endif  // CORVANE_LANGFILE_CORVLANGU_H_
