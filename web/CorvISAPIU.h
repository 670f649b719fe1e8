// The extension library: the three exported entry points of the web-server
// extension interface (web/isapi.h) and the one web application they serve.
//
// Loading the library creates the application and registers TWebModule1 with
// it; no module exists until the first request. Unloading the library
// (dlclose) destroys every module, which stops its brain and saves it to the
// language file; the module destroyed last decides the file's content. A
// host unloads the library after the last request has returned.
#ifndef CORVANE_WEB_CORVISAPIU_H_
#define CORVANE_WEB_CORVISAPIU_H_

#include <cstdint>

#include "web/isapi.h"
#include "web/web_app.h"

namespace corvane {

// The application of this library. Valid from load until unload.
WebApplication& Application();

// Destroys every module now, as unloading does; later requests create new
// modules. For tests that drive the entry points in-process and must save
// before their temporary root goes away. Requires no request in progress.
void UnloadWebModules() noexcept;

}  // namespace corvane

extern "C" {

// Writes version 2.0 and the application title (at most 255 characters) as
// the description. Returns 1, or 0 for a null record or any failure.
corvane::IsapiBool GetExtensionVersion(
    corvane::HSE_VERSION_INFO* version) noexcept;

// Answers one request (WebApplication::HandleRequest). HSE_STATUS_SUCCESS
// when handled, HSE_STATUS_ERROR otherwise or for a null block.
uint32_t HttpExtensionProc(corvane::EXTENSION_CONTROL_BLOCK* ecb) noexcept;

// Saves and destroys every module not serving a request (as unloading
// does for all of them), and logs each save to the operator log. Returns 1
// when every module was saved and none is serving a request, else 0: the
// host learns from it whether everything learnt is on the disk. May run
// while requests are served; later requests create new modules.
corvane::IsapiBool TerminateExtension(uint32_t flags) noexcept;

// One setting from the host before the first request
// (WebApplication::Configure). Returns 1 when taken, 0 for a null pointer,
// an unknown name, a bad value or a call after the first request.
corvane::IsapiBool CorvaneConfigureExtension(const char* name,
                                             const char* value) noexcept;

// A question of the host (web/isapi.h): "check" (WebApplication::Check),
// "health" (WebApplication::Healthy), "metrics" (MetricsText). Returns 0
// for a null pointer or an unknown question.
corvane::IsapiBool CorvaneQueryExtension(const char* what, char* buffer,
                                         uint32_t* size) noexcept;

}  // extern "C"

#endif  // CORVANE_WEB_CORVISAPIU_H_
