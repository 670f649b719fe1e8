// The web module TWebModule1: one conversation engine, one action and one
// page producer. Creating a module loads and starts its brain; destroying a
// module of the shared pool stops the brain and saves it to the language
// file. A session's module (web/session_pool.h) never writes the language
// file: its owner ends it with EndSession, which may save it elsewhere. The
// module's files live under the web root it was created for.
//
// Ownership: the module owns its brain. Not thread-safe: a module source
// (web/module_source.h) hands a module to one request at a time.
#ifndef CORVANE_WEB_WEB_MODULE_H_
#define CORVANE_WEB_WEB_MODULE_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_version.h"
#include "platform/files.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;
class Conversation;
class SharedKnowledge;

// The fixed values of the web front end. The two files are Windows paths
// that the module's PathMapper maps into the web root.
inline constexpr const char* kLanguageFile =
    "C:\\Inetpub\\wwwroot\\CorvWebDemo.clf";
inline constexpr const char* kPageTemplateFile =
    "C:\\Inetpub\\wwwroot\\web_corvane_example.htm";
inline constexpr const char* kResponseTag = "CorvResp";
inline constexpr const char* kInputField = "T1";
inline constexpr const char* kActionPath = "/PageProducer1";

// An action of a web module: which requests it takes. Its content is the
// page template with the replies in place (web/page_template.h).
struct WebActionItem {
  bool Default = false;  // Takes requests that no action matches.
  bool Enabled = true;
  std::string PathInfo;    // Path it matches, without regard to case.
  std::string MethodType;  // Method it matches; empty: any.
};

// Where the operator put the two files of the fixed names; empty: the fixed
// name mapped into the web root.
struct ModuleFiles {
  std::string language_file;  // Absolute host path.
  std::string template_file;  // Absolute host path.
};

// How a module is set up. The defaults give a module of the shared pool.
struct ModuleSetup {
  // A session's module: pages in UTF-8, and the language file is never
  // written (the destructor only stops the brain when EndSession has not).
  bool session = false;
  // A session's module reads its knowledge from this host path (a saved
  // session) instead of the language file; empty: the language file.
  std::string knowledge_file;
  // Whether the reader's problems reach the operator log. Sessions that
  // load an unchanged language file leave them out, so one problem is not
  // logged once per visitor.
  bool report_problems = true;
  ModuleFiles files;
  // A session's module on knowledge it shares with other sessions
  // (LoadSharedKnowledge): it holds a conversation of a few kilobytes
  // instead of a brain, and reads no file. Null: the module loads a brain
  // of its own.
  std::shared_ptr<const SharedKnowledge> knowledge;
  // When not null, counts the problems the reader reported (whether or
  // not they reach the log).
  std::size_t* problem_count = nullptr;
  // The mapper of the web root to share (copies share its descriptor of
  // the root), so that many modules of one root hold one descriptor;
  // empty: the module opens the root for itself.
  std::optional<PathMapper> paths;
};

// The language file (or setup.knowledge_file) read as TWebModule1 reads it,
// problems logged as it logs them, and frozen, for the sessions that
// start on it. Not started: each conversation greets its own visitor.
// Throws what reading throws (nothing for the file's content).
std::shared_ptr<const SharedKnowledge> LoadSharedKnowledge(
    const std::string& web_root, const ModuleSetup& setup);

class TWebModule1 {
 public:
  // Creation handler: a brain with no output handler and files under
  // `web_root`, filled from the language file (or setup.knowledge_file) and
  // started. Throws whatever starting the brain throws.
  explicit TWebModule1(const std::string& web_root,
                       const ModuleSetup& setup = ModuleSetup());
  // A session's module on setup.knowledge that continues the conversation
  // of `snapshot` (written by Snapshot on knowledge of the same version):
  // nothing is started and nothing is said. Throws CorruptDataError for
  // bytes that do not decode or were made on other knowledge.
  TWebModule1(const std::string& web_root, const ModuleSetup& setup,
              std::string_view snapshot);
  // Destruction handler. A pool module stops its brain and saves it to the
  // language file (StopAndSave) unless that was done; a session module
  // stops its brain unless EndSession ran. Failures are logged, never
  // thrown.
  ~TWebModule1();
  TWebModule1(const TWebModule1&) = delete;
  TWebModule1& operator=(const TWebModule1&) = delete;

  // Whether an action takes a request with `method` and `path`:
  // WebActionItem1 by its path, or as the default action for any path.
  bool Dispatches(std::string_view method, std::string_view path) const;

  // One turn of the brain on `visitor_text`, which must already have passed
  // the boundary (VisitorText in web/visitor_text.h). Returns the reply in
  // the code page. Throws what the turn throws.
  std::string Converse(const std::string& visitor_text);
  // What the brain has said since its last reply without being asked (the
  // greeting of its start patterns), joined as a reply is, and taken: the
  // next reply no longer begins with it. No turn runs.
  std::string Greeting();

  // Ends a session's brain: stops it and, when `save_path` is not empty,
  // saves it there atomically through the writer. Failures are logged,
  // never thrown. Returns false when saving failed, true otherwise. Later
  // calls and the destructor do nothing more (and return true).
  bool EndSession(const std::string& save_path) noexcept;

  // The conversation of a module on shared knowledge as snapshot bytes
  // (engine/conversation_snapshot.h). Requires such a module and no turn
  // in progress; throws AssertionError otherwise.
  std::string Snapshot() const;
  // Leaves the conversation without ending it: its stop patterns do not
  // fire and nothing is saved, since it lives on where it is kept (a
  // conversation store). The destructor then only frees it.
  void Drop() noexcept { ended_ = true; }

  // A pool module: stops the brain and saves it to the language file, once;
  // later calls return the first result. Logs the outcome to the operator
  // log. True only when the file was written: a refused path, a file that
  // cannot be created and a failed write are false. A session module only
  // stops (EndSession) and answers true, as it never writes the language
  // file.
  bool StopAndSave() noexcept;

  // The module's brain. A module on shared knowledge gives its
  // conversation a private copy of the knowledge first.
  BrainClass& brain();
  // How the module's knowledge base is encoded; makes no copy.
  TextEncoding text_encoding() const;
  // The conversation of a module on shared knowledge; nullptr otherwise.
  Conversation* conversation() { return conversation_.get(); }
  bool is_session() const { return setup_.session; }
  const std::string& language_file() const { return language_file_; }

  WebActionItem WebActionItem1;  // Default action, path "/PageProducer1".

 private:
  // The name operator messages give the language file.
  const std::string& LogName() const;

  ModuleSetup setup_;
  bool ended_ = false;  // EndSession ran.
  PathMapper paths_;
  std::string language_file_;  // Host path; empty when the mapper refused it.
  std::string log_name_;       // language_file_, or the fixed name.
  FileVersion language_version_;       // language_file_ as this brain read it.
  std::unique_ptr<BrainClass> brain_;  // Null on shared knowledge.
  std::unique_ptr<Conversation> conversation_;  // On shared knowledge.
  bool stopped_ = false;                        // StopAndSave ran.
  bool saved_ = false;                          // Its result.
};

// The host path of the page template for `web_root` with `files`: the
// operator's, or the fixed name mapped into the root; empty when the
// mapper refuses it.
std::string TemplateHostPath(const std::string& web_root,
                             const ModuleFiles& files);
// The same for the language file.
std::string LanguageFileHostPath(const std::string& web_root,
                                 const ModuleFiles& files);

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_MODULE_H_
