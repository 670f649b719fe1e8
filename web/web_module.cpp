#include "web/web_module.h"

#include <optional>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/brain.h"
#include "langfile/CorvLangU.h"
#include "web/form_fields.h"
#include "web/operator_log.h"
#include "web/visitor_text.h"

namespace corvane {
namespace {

// The page template's path relative to the web root: the Windows path
// without its root prefix, with slashes.
std::string TemplatePathInRoot() {
  std::string_view path = kPageTemplateFile;
  constexpr std::string_view kRoot = "C:\\Inetpub\\wwwroot\\";
  if (path.size() > kRoot.size() &&
      EqualNoCase(path.substr(0, kRoot.size()), kRoot))
    path.remove_prefix(kRoot.size());
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

}  // namespace

std::string PageWithoutBrain(const std::string& web_root) {
  ConfinedRoot root;
  try {
    root = ConfinedRoot::Open(web_root);
  } catch (const std::exception&) {
    // No root: the template cannot be opened, as any missing file.
  }
  PageProducer producer;
  producer.HTMLFile = TemplatePathInRoot();
  producer.Root = &root;
  return CodePageToUtf8(producer.Content());
}

TWebModule1::TWebModule1(const std::string& web_root, const ModuleSetup& setup)
    : setup_(setup), paths_(web_root), brain_(std::make_unique<BrainClass>()) {
  WebActionItem1.Default = true;
  WebActionItem1.PathInfo = kActionPath;
  WebActionItem1.Producer = &PageProducer1;
  // The template is opened beneath the web root, held open from now on,
  // without following any link: a link put in its place can never lead the
  // page out of the root, and no path is resolved twice.
  try {
    root_dir_ = ConfinedRoot::Open(paths_.root());
  } catch (const std::exception&) {
    // No root yet: the template cannot be opened, as any missing file.
  }
  PageProducer1.HTMLFile = TemplatePathInRoot();
  PageProducer1.Root = &root_dir_;
  PageProducer1.OnHTMLTag = [this](std::string_view name,
                                   const std::vector<TagParam>& params) {
    return PageProducer1HTMLTag(name, params);
  };

  brain_->SetFileRoot(paths_.root());
  // A conversation may neither log into nor save over the knowledge base
  // or the page.
  for (const char* file : {kLanguageFile, kPageTemplateFile})
    if (const std::optional<std::string> host = paths_.Map(file))
      brain_->ProtectFile(*host);
  AttachLanguageReader(*brain_);
  language_file_ = paths_.Map(kLanguageFile).value_or(std::string());
  const std::string& source =
      !setup_.knowledge_file.empty() ? setup_.knowledge_file : language_file_;
  const std::string& log_name =
      source.empty() ? std::string(kLanguageFile) : source;
  OperatorFileScope scope(log_name);
  if (source.empty()) {
    // A refused path behaves like a file that cannot be opened.
    if (setup_.report_problems)
      LogOperatorLine(log_name,
                      std::string("Could not open file: ") + kLanguageFile);
  } else {
    // The unload saves over the language file only while it holds what
    // this brain was made from.
    FileVersion read;
    LoadLanguageFile(
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

std::string TWebModule1::Converse(const std::string& visitor_text) {
  const std::string log_name =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  OperatorFileScope file_scope(log_name);
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
  const std::string& log_name =
      save_path.empty() ? (language_file_.empty() ? std::string(kLanguageFile)
                                                  : language_file_)
                        : save_path;
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
  const std::string& log_name =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
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

bool TWebModule1::DispatchRequest(WebRequest& request, WebResponse& response) {
  const std::string path = request.PathInfo();
  const std::string method = request.Method();
  WebActionItem* action = nullptr;
  // The one action answers by its path; failing that, as the default action.
  for (WebActionItem* item : {&WebActionItem1}) {
    if (item->Enabled &&
        (item->MethodType.empty() || EqualNoCase(item->MethodType, method)) &&
        EqualNoCase(item->PathInfo, path)) {
      action = item;
    }
  }
  if (action == nullptr && WebActionItem1.Enabled && WebActionItem1.Default)
    action = &WebActionItem1;
  if (action == nullptr) return false;

  struct RequestScope {
    WebRequest*& slot;
    ~RequestScope() { slot = nullptr; }
  } scope{request_};
  request_ = &request;
  const std::string log_name =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  OperatorFileScope file_scope(log_name);
  if (action->Producer != nullptr)
    response.Content = action->Producer->Content();
  if (setup_.session) {
    // The template and the reply are code-page text; the page goes out in
    // UTF-8, which its form then posts back.
    response.Content = CodePageToUtf8(response.Content);
    response.ContentType = "text/html; charset=utf-8";
  }
  return true;
}

std::string TWebModule1::PageProducer1HTMLTag(std::string_view name,
                                              const std::vector<TagParam>&) {
  if (request_ == nullptr || !EqualNoCase(name, kResponseTag))
    return std::string();
  // Only a request with form content consults the brain.
  if (request_->ContentFields().empty()) return std::string();
  // Visitor text is never code: its macro signs are made harmless before
  // the brain sees it (web/visitor_text.h).
  const std::string input = VisitorText(
      FormFieldValue(request_->ContentFields(), kInputField), setup_.session);
  // The reply is text: the brain echoes user input, which must never
  // become markup in the page.
  return EscapeHtml(brain_->Respond(input));
}

}  // namespace corvane
