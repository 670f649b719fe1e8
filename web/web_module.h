// The web module TWebModule1: one conversation engine, one action and one
// page producer. Creating a module loads and starts its brain; destroying it
// stops the brain and saves it to the language file. The module's files live
// under the web root it was created for.
//
// Ownership: the module owns its brain. Not thread-safe: the web application
// hands a module to one request at a time.
#ifndef CORVANE_WEB_WEB_MODULE_H_
#define CORVANE_WEB_WEB_MODULE_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "web/page_producer.h"
#include "web/web_request.h"

namespace corvane {

class BrainClass;

// The fixed values of the web front end. The two files are Windows paths
// that the module's PathMapper maps into the web root.
inline constexpr const char* kLanguageFile =
    "C:\\Inetpub\\wwwroot\\CorvWebDemo.clf";
inline constexpr const char* kPageTemplateFile =
    "C:\\Inetpub\\wwwroot\\web_corvane_example.htm";
inline constexpr const char* kResponseTag = "CorvResp";
inline constexpr const char* kInputField = "T1";
inline constexpr const char* kActionPath = "/PageProducer1";

// An action of a web module: which requests it takes and what answers them.
struct WebActionItem {
  bool Default = false;  // Takes requests that no action matches.
  bool Enabled = true;
  std::string PathInfo;              // Path it matches, without regard to case.
  std::string MethodType;            // Method it matches; empty: any.
  PageProducer* Producer = nullptr;  // Gives the content; not owned.
};

class TWebModule1 {
 public:
  // Creation handler: a brain with no output handler and files under
  // `web_root`, filled from the language file and started. Throws whatever
  // starting the brain throws.
  explicit TWebModule1(const std::string& web_root);
  // Destruction handler: stops the brain and saves it to the language file.
  // Failures are logged, never thrown.
  ~TWebModule1();
  TWebModule1(const TWebModule1&) = delete;
  TWebModule1& operator=(const TWebModule1&) = delete;

  // Runs the action that takes the request (WebActionItem1, by its path or
  // as the default action) and sets the response content from its producer.
  // Returns whether the request was handled. Throws the errors of page
  // production and of the brain's turn.
  bool DispatchRequest(WebRequest& request, WebResponse& response);

  BrainClass& brain() { return *brain_; }
  const std::string& language_file() const { return language_file_; }

  WebActionItem WebActionItem1;  // Default action, path "/PageProducer1".
  PageProducer PageProducer1;    // Template: the page template file.

 private:
  std::string PageProducer1HTMLTag(std::string_view name,
                                   const std::vector<TagParam>& params);

  PathMapper paths_;
  std::string language_file_;  // Host path; empty when the mapper refused it.
  std::unique_ptr<BrainClass> brain_;
  WebRequest* request_ = nullptr;  // The request being dispatched.
};

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_MODULE_H_
