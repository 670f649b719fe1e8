#include "web/CorvISAPIU.h"

#include <algorithm>
#include <cstring>

#include "web/operator_log.h"

namespace corvane {
namespace {

// The application lives on the heap and is never destroyed by the C++
// static destructors: unloading runs from the library's destructor
// function, which dlclose calls before it destroys the library's static
// objects, so everything saving needs is still alive then.
WebApplication* application = nullptr;

WebApplication* CreateApplication() {
  // The operator log's statics are made before any request, so they
  // outlive everything that may report through them.
  InstallOperatorLog();
  auto* app = new WebApplication();
  app->RegisterModuleClass(TWebModule1Factory());
  return app;
}

__attribute__((constructor)) void LoadLibrary() {
  if (application == nullptr) application = CreateApplication();
}

__attribute__((destructor)) void UnloadLibrary() {
  WebApplication* app = application;
  application = nullptr;
  if (app != nullptr) {
    app->DestroyModules();
    delete app;
  }
}

}  // namespace

WebApplication& Application() {
  if (application == nullptr) application = CreateApplication();
  return *application;
}

void UnloadWebModules() noexcept {
  if (application != nullptr) application->DestroyModules();
}

}  // namespace corvane

extern "C" {

corvane::IsapiBool GetExtensionVersion(
    corvane::HSE_VERSION_INFO* version) noexcept {
  try {
    if (version == nullptr) return corvane::kIsapiFalse;
    version->dwExtensionVersion = corvane::MakeExtensionVersion(2, 0);
    const std::string& title = corvane::Application().Title;
    const std::size_t n = std::min<std::size_t>(
        title.size(), corvane::HSE_MAX_EXT_DLL_NAME_LEN - 1);
    std::memcpy(version->lpszExtensionDesc, title.data(), n);
    version->lpszExtensionDesc[n] = '\0';
    return corvane::kIsapiTrue;
  } catch (...) {
    return corvane::kIsapiFalse;
  }
}

uint32_t HttpExtensionProc(corvane::EXTENSION_CONTROL_BLOCK* ecb) noexcept {
  if (ecb == nullptr) return corvane::HSE_STATUS_ERROR;
  try {
    return corvane::Application().HandleRequest(*ecb);
  } catch (...) {
    return corvane::HSE_STATUS_ERROR;
  }
}

corvane::IsapiBool TerminateExtension(uint32_t) noexcept {
  if (corvane::application == nullptr) return corvane::kIsapiTrue;
  return corvane::application->SaveIdleModules() ? corvane::kIsapiTrue
                                                 : corvane::kIsapiFalse;
}

corvane::IsapiBool CorvaneConfigureExtension(const char* name,
                                             const char* value) noexcept {
  if (name == nullptr || value == nullptr) return corvane::kIsapiFalse;
  try {
    return corvane::Application().Configure(name, value) ? corvane::kIsapiTrue
                                                         : corvane::kIsapiFalse;
  } catch (...) {
    return corvane::kIsapiFalse;
  }
}

corvane::IsapiBool CorvaneQueryExtension(const char* what, char* buffer,
                                         uint32_t* size) noexcept {
  if (what == nullptr || size == nullptr) return corvane::kIsapiFalse;
  try {
    const std::string_view question(what);
    std::string text;
    bool yes = false;
    if (question == "check") {
      yes = corvane::Application().Check(&text);
    } else if (question == "health") {
      yes = corvane::Application().Healthy(&text);
    } else if (question == "metrics") {
      text = corvane::Application().MetricsText();
      yes = true;
    } else {
      return corvane::kIsapiFalse;
    }
    if (yes && text.empty()) text = "ok";
    const uint32_t needed = static_cast<uint32_t>(
        std::min<std::size_t>(text.size() + 1, 0xFFFFFFFFu));
    if (buffer != nullptr && *size >= needed) {
      std::memcpy(buffer, text.data(), needed - 1);
      buffer[needed - 1] = '\0';
    }
    *size = needed;
    return yes ? corvane::kIsapiTrue : corvane::kIsapiFalse;
  } catch (...) {
    return corvane::kIsapiFalse;
  }
}

}  // extern "C"
