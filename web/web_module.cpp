#include "web/web_module.h"

#include <optional>

#include "base/error.h"
#include "engine/brain.h"
#include "base/ascii.h"
#include "langfile/CorvLangU.h"
#include "web/form_fields.h"
#include "web/operator_log.h"

namespace corvane {
TWebModule1::TWebModule1(const std::string& web_root)
    : paths_(web_root), brain_(std::make_unique<BrainClass>()) {
  WebActionItem1.Default = true;
  WebActionItem1.PathInfo = kActionPath;
  WebActionItem1.Producer = &PageProducer1;
  PageProducer1.HTMLFile =
      paths_.Map(kPageTemplateFile).value_or(std::string());
  PageProducer1.OnHTMLTag = [this](std::string_view name,
                                   const std::vector<TagParam>& params) {
    return PageProducer1HTMLTag(name, params);
  };

  brain_->SetFileRoot(paths_.root());
  AttachLanguageReader(*brain_);
  language_file_ = paths_.Map(kLanguageFile).value_or(std::string());
  const std::string& log_name =
      language_file_.empty() ? std::string(kLanguageFile) : language_file_;
  OperatorFileScope scope(log_name);
  if (language_file_.empty()) {
    // A refused path behaves like a file that cannot be opened.
    LogOperatorLine(log_name,
                    std::string("Could not open file: ") + kLanguageFile);
  } else {
    LoadLanguageFile(*brain_, language_file_,
                     [&](const LanguageProblem& problem) {
                       LogOperatorLine(log_name, problem.message);
                       if (problem.has_text)
                         LogOperatorLine(log_name, problem.text);
                     });
  }
  brain_->Start();
}

TWebModule1::~TWebModule1() {
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
      SaveLanguageFile(*brain_, language_file_);
      LogOperatorLine(log_name, "Saved the knowledge base");
    }
  } catch (const std::exception& e) {
    LogOperatorLine(log_name, std::string("Saving failed: ") + e.what());
  } catch (...) {
    LogOperatorLine(log_name, "Saving failed");
  }
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
  if (action->Producer == &PageProducer1) {
    // The template is read anew for every request, so its path is mapped
    // anew too: a link put in its place since the module was created must
    // not lead the page out of the web root.
    const std::optional<std::string> templ = paths_.Map(kPageTemplateFile);
    if (!templ) {
      const std::string_view file(kPageTemplateFile);
      throw IoError("Cannot open file \"" +
                    std::string(file.substr(file.find_last_of('\\') + 1)) +
                    "\"");
    }
    PageProducer1.HTMLFile = *templ;
  }
  if (action->Producer != nullptr)
    response.Content = action->Producer->Content();
  return true;
}

std::string TWebModule1::PageProducer1HTMLTag(std::string_view name,
                                              const std::vector<TagParam>&) {
  if (request_ == nullptr || !EqualNoCase(name, kResponseTag))
    return std::string();
  // Only a request with form content consults the brain.
  if (request_->ContentFields().empty()) return std::string();
  const std::string input =
      FormFieldValue(request_->ContentFields(), kInputField);
  // The reply is text: the brain echoes user input, which must never
  // become markup in the page.
  return EscapeHtml(brain_->Respond(input));
}

}  // namespace corvane
