#include "web/web_module.h"

#include <optional>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/brain.h"
#include "engine/conversation.h"
#include "engine/conversation_snapshot.h"
#include "langfile/CorvLangU.h"
#include "web/operator_log.h"

namespace corvane {

std::string TemplateHostPath(const std::string& web_root,
                             const ModuleFiles& files) {
  if (!files.template_file.empty()) return files.template_file;
  return PathMapper(web_root).Map(kPageTemplateFile).value_or(std::string());
}

std::string LanguageFileHostPath(const std::string& web_root,
                                 const ModuleFiles& files) {
  if (!files.language_file.empty()) return files.language_file;
  return PathMapper(web_root).Map(kLanguageFile).value_or(std::string());
}

namespace {

// The language file of a module for `web_root`: the operator's, or the
// fixed name mapped into the root; empty when the mapper refuses it.
std::string LanguageHostPath(const PathMapper& paths,
                             const ModuleSetup& setup) {
  return !setup.files.language_file.empty()
             ? setup.files.language_file
             : paths.Map(kLanguageFile).value_or(std::string());
}

// Fills `brain` as a module does: files under the root, the language file
// and the page out of a conversation's reach, the reader attached, then
// the language file (or setup.knowledge_file) read with its problems
// logged. Returns the version of the language file the brain stands for.
FileVersion FillModuleBrain(BrainClass& brain, const std::string& web_root,
                            const PathMapper& paths, const ModuleSetup& setup,
                            const std::string& language_file,
                            const std::string& log_name_default) {
  brain.SetFileRoot(paths.root());
  // A conversation may neither log into nor save over the knowledge base
  // or the page.
  for (const std::string& file :
       {language_file, TemplateHostPath(web_root, setup.files)})
    if (!file.empty()) brain.ProtectFile(file);
  AttachLanguageReader(brain);
  const std::string& source =
      !setup.knowledge_file.empty() ? setup.knowledge_file : language_file;
  const std::string& log_name = source.empty() ? log_name_default : source;
  OperatorFileScope scope(log_name);
  if (source.empty()) {
    // A refused path behaves like a file that cannot be opened.
    if (setup.report_problems)
      LogOperatorLine(log_name,
                      std::string("Could not open file: ") + kLanguageFile);
    return FileVersion();
  }
  // Only a regular file is read: a FIFO put in its place would otherwise
  // hold this request until something writes to it. The unload saves over
  // the language file only while it holds what this brain was made from.
  FileVersion read;
  LoadRegularLanguageFile(
      brain, source,
      [&](const LanguageProblem& problem) {
        if (setup.problem_count != nullptr) ++*setup.problem_count;
        if (!setup.report_problems) return;
        LogOperatorLine(log_name, problem.message);
        if (problem.has_text) LogOperatorLine(log_name, problem.text);
      },
      &read);
  return source == language_file ? read : CurrentFileVersion(language_file);
}

}  // namespace

std::shared_ptr<const SharedKnowledge> LoadSharedKnowledge(
    const std::string& web_root, const ModuleSetup& setup) {
  const PathMapper paths(web_root);
  const std::string language_file = LanguageHostPath(paths, setup);
  auto brain = std::make_unique<BrainClass>();
  FillModuleBrain(
      *brain, web_root, paths, setup, language_file,
      language_file.empty() ? std::string(kLanguageFile) : language_file);
  return SharedKnowledge::Freeze(std::move(brain));
}

TWebModule1::TWebModule1(const std::string& web_root, const ModuleSetup& setup)
    : setup_(setup), paths_(setup.paths ? *setup.paths : PathMapper(web_root)) {
  WebActionItem1.Default = true;
  WebActionItem1.PathInfo = kActionPath;

  language_file_ = LanguageHostPath(paths_, setup_);
  log_name_ =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  if (setup_.knowledge != nullptr) {
    // The knowledge was read once for every session of its version; this
    // visitor's conversation is all the module holds.
    conversation_ = std::make_unique<Conversation>(setup_.knowledge);
    OperatorFileScope scope(log_name_);
    conversation_->Start();
    return;
  }
  brain_ = std::make_unique<BrainClass>();
  language_version_ = FillModuleBrain(*brain_, web_root, paths_, setup_,
                                      language_file_, log_name_);
  brain_->Start();
}

TWebModule1::TWebModule1(const std::string& web_root, const ModuleSetup& setup,
                         std::string_view snapshot)
    : setup_(setup), paths_(setup.paths ? *setup.paths : PathMapper(web_root)) {
  WebActionItem1.Default = true;
  WebActionItem1.PathInfo = kActionPath;
  language_file_ = LanguageHostPath(paths_, setup_);
  log_name_ =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  if (setup_.knowledge == nullptr) throw AssertionError(__FILE__, __LINE__);
  conversation_ = ReadSnapshot(setup_.knowledge, snapshot);
}

std::string TWebModule1::Snapshot() const {
  if (conversation_ == nullptr) throw AssertionError(__FILE__, __LINE__);
  return WriteSnapshot(*conversation_);
}

BrainClass& TWebModule1::brain() {
  return conversation_ != nullptr ? conversation_->Materialize() : *brain_;
}

TextEncoding TWebModule1::text_encoding() const {
  if (conversation_ != nullptr)
    return conversation_->knowledge()->brain().text_encoding();
  return brain_ != nullptr ? brain_->text_encoding() : TextEncoding::kCodePage;
}

const std::string& TWebModule1::LogName() const {
  return log_name_;
}

std::string TWebModule1::Converse(const std::string& visitor_text) {
  OperatorFileScope file_scope(LogName());
  if (conversation_ != nullptr) return conversation_->Respond(visitor_text);
  return brain_->Respond(visitor_text);
}

std::string TWebModule1::Greeting() {
  if (conversation_ != nullptr) return conversation_->TakePending();
  // Joined as BrainClass::Respond joins a reply: two blanks between texts,
  // and empty texts said first leave no separator.
  std::string said;
  for (const NameList::Entry& e : brain_->PendingOutput.entries())
    said += said.empty() ? e.name : "  " + e.name;
  brain_->PendingOutput.Clear();
  return said;
}

bool TWebModule1::EndSession(const std::string& save_path) noexcept {
  if (ended_) return true;
  ended_ = true;
  const std::string& log_name = save_path.empty() ? LogName() : save_path;
  try {
    OperatorFileScope scope(log_name);
    try {
      if (conversation_ != nullptr)
        conversation_->Stop();
      else
        brain_->Stop();
    } catch (const std::exception& e) {
      LogOperatorLine(log_name,
                      std::string("Stopping the brain failed: ") + e.what());
    }
    if (!save_path.empty()) {
      // A conversation on shared knowledge is written with its changes
      // applied to a private copy.
      if (!SaveLanguageFile(brain(), save_path)) {
        LogOperatorLine(log_name, "Saving failed: the file cannot be written");
        return false;
      }
      LogOperatorLine(log_name, "Saved the session");
    }
    return true;
  } catch (const std::exception& e) {
    LogOperatorLine(log_name, std::string("Saving failed: ") + e.what());
  } catch (...) {
    LogOperatorLine(log_name, "Saving failed");
  }
  return false;
}

TWebModule1::~TWebModule1() {
  StopAndSave();
}

bool TWebModule1::StopAndSave() noexcept {
  if (setup_.session) {
    EndSession(std::string());
    return true;
  }
  if (stopped_) return saved_;
  stopped_ = true;
  const std::string& log_name = LogName();
  try {
    OperatorFileScope scope(log_name);
    try {
      brain_->Stop();
    } catch (const std::exception& e) {
      LogOperatorLine(log_name,
                      std::string("Stopping the brain failed: ") + e.what());
    }
    if (language_file_.empty()) {
      LogOperatorLine(log_name, "Not saved: the path is refused");
    } else {
      const SaveOutcome outcome =
          SaveLanguageFileOver(*brain_, language_file_, language_version_);
      switch (outcome.result) {
        case SaveOutcome::Result::kSaved:
          saved_ = true;
          LogOperatorLine(log_name, "Saved the knowledge base");
          break;
        case SaveOutcome::Result::kConflict:
          break;  // The writer's operator message says where it went.
        case SaveOutcome::Result::kNotWritten:
          LogOperatorLine(log_name,
                          "Saving failed: the file cannot be written");
          break;
      }
    }
  } catch (const std::exception& e) {
    LogOperatorLine(log_name, std::string("Saving failed: ") + e.what());
  } catch (...) {
    LogOperatorLine(log_name, "Saving failed");
  }
  return saved_;
}

bool TWebModule1::Dispatches(std::string_view method,
                             std::string_view path) const {
  // The one action answers by its path; failing that, as the default action.
  for (const WebActionItem* item : {&WebActionItem1}) {
    if (item->Enabled &&
        (item->MethodType.empty() || EqualNoCase(item->MethodType, method)) &&
        EqualNoCase(item->PathInfo, path))
      return true;
  }
  return WebActionItem1.Enabled && WebActionItem1.Default;
}

}  // namespace corvane
