#include "web/web_module.h"

#include <optional>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/brain.h"
#include "langfile/CorvLangU.h"
#include "web/operator_log.h"

namespace corvane {

std::string TemplateHostPath(const std::string& web_root,
                             const ModuleFiles& files) {
  if (!files.template_file.empty()) return files.template_file;
  return PathMapper(web_root).Map(kPageTemplateFile).value_or(std::string());
}

TWebModule1::TWebModule1(const std::string& web_root, const ModuleSetup& setup)
    : setup_(setup), paths_(web_root), brain_(std::make_unique<BrainClass>()) {
  WebActionItem1.Default = true;
  WebActionItem1.PathInfo = kActionPath;

  language_file_ = !setup_.files.language_file.empty()
                       ? setup_.files.language_file
                       : paths_.Map(kLanguageFile).value_or(std::string());
  log_name_ =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  brain_->SetFileRoot(paths_.root());
  // A conversation may neither log into nor save over the knowledge base
  // or the page.
  for (const std::string& file :
       {language_file_, TemplateHostPath(web_root, setup_.files)})
    if (!file.empty()) brain_->ProtectFile(file);
  AttachLanguageReader(*brain_);
  const std::string& source =
      !setup_.knowledge_file.empty() ? setup_.knowledge_file : language_file_;
  const std::string& log_name = source.empty() ? log_name_ : source;
  OperatorFileScope scope(log_name);
  if (source.empty()) {
    // A refused path behaves like a file that cannot be opened.
    if (setup_.report_problems)
      LogOperatorLine(log_name,
                      std::string("Could not open file: ") + kLanguageFile);
  } else {
    // Only a regular file is read: a FIFO put in its place would otherwise
    // hold this request until something writes to it. The unload saves over
    // the language file only while it holds what this brain was made from.
    FileVersion read;
    LoadRegularLanguageFile(
        *brain_, source,
        [&](const LanguageProblem& problem) {
          if (!setup_.report_problems) return;
          LogOperatorLine(log_name, problem.message);
          if (problem.has_text) LogOperatorLine(log_name, problem.text);
        },
        &read);
    language_version_ =
        source == language_file_ ? read : CurrentFileVersion(language_file_);
  }
  brain_->Start();
}

const std::string& TWebModule1::LogName() const {
  return log_name_;
}

std::string TWebModule1::Converse(const std::string& visitor_text) {
  OperatorFileScope file_scope(LogName());
  return brain_->Respond(visitor_text);
}

std::string TWebModule1::Greeting() {
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
      brain_->Stop();
    } catch (const std::exception& e) {
      LogOperatorLine(log_name,
                      std::string("Stopping the brain failed: ") + e.what());
    }
    if (!save_path.empty()) {
      if (!SaveLanguageFile(*brain_, save_path)) {
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
