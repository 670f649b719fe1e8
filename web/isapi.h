// The in-process web-server extension interface: the records and entry
// points through which a web server hands requests to an extension library
// and the extension answers them. Written from the published description of
// the interface with fixed-width integer types; the host (host/) and the
// extension (web/) share this header and nothing else.
//
// Conventions of the interface kept here:
// - BOOL results are 1 (true) or 0 (false).
// - Texts are zero-terminated single-byte strings owned by the server; they
//   stay valid until HttpExtensionProc returns.
// - ServerSupportFunction with HSE_REQ_SEND_RESPONSE_HEADER takes the status
//   text ("200 OK") in lpvBuffer and the header block (zero-terminated, each
//   line ended by CR LF, closed by an empty line) in lpdwDataType, passed as
//   the interface prescribes through that parameter's pointer type; callers
//   pass storage aligned for uint32_t so the pointer converts back exactly.
// - An extension that cannot answer yet returns HSE_STATUS_PENDING and
//   finishes the request later; the control block stays valid until it
//   calls ServerSupportFunction with HSE_REQ_DONE_WITH_SESSION (lpvBuffer:
//   null, or a uint32_t with the request's HSE_STATUS_ result). Before it
//   returns, it registers its completion function with
//   HSE_REQ_IO_COMPLETION (the function in lpvBuffer, its context in
//   lpdwDataType); a WriteClient with HSE_IO_ASYNC from any thread then
//   has the server write the bytes (none is allowed) and call that
//   function on one of its own threads, where the extension may use the
//   control block as during the call. The server runs those functions of
//   one request one after the other, never while HttpExtensionProc runs.
#ifndef CORVANE_WEB_ISAPI_H_
#define CORVANE_WEB_ISAPI_H_

#include <cstdint>

namespace corvane {

using IsapiBool = int32_t;  // 1 or 0.
using HCONN = void*;        // The server's handle of one request.

inline constexpr IsapiBool kIsapiTrue = 1;
inline constexpr IsapiBool kIsapiFalse = 0;

// Results of HttpExtensionProc.
inline constexpr uint32_t HSE_STATUS_SUCCESS = 1;
inline constexpr uint32_t HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
inline constexpr uint32_t HSE_STATUS_PENDING = 3;
inline constexpr uint32_t HSE_STATUS_ERROR = 4;

// Request codes of ServerSupportFunction.
inline constexpr uint32_t HSE_REQ_SEND_RESPONSE_HEADER = 3;
inline constexpr uint32_t HSE_REQ_DONE_WITH_SESSION = 4;
inline constexpr uint32_t HSE_REQ_IO_COMPLETION = 1005;

// Flags of TerminateExtension.
inline constexpr uint32_t HSE_TERM_ADVISORY_UNLOAD = 1;
inline constexpr uint32_t HSE_TERM_MUST_UNLOAD = 2;

// Flags of WriteClient: write synchronously, or asynchronously and call
// the completion function when written.
inline constexpr uint32_t HSE_IO_SYNC = 1;
inline constexpr uint32_t HSE_IO_ASYNC = 2;

inline constexpr uint32_t HSE_MAX_EXT_DLL_NAME_LEN = 256;
inline constexpr uint32_t HSE_LOG_BUFFER_LEN = 80;

// The interface version word: major version in the high half.
constexpr uint32_t MakeExtensionVersion(uint16_t major, uint16_t minor) {
  return (static_cast<uint32_t>(major) << 16) | minor;
}

// Filled by the extension in GetExtensionVersion.
struct HSE_VERSION_INFO {
  uint32_t dwExtensionVersion;                       // Major << 16 | minor.
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];  // Zero-terminated.
};

// One request, as the server hands it to HttpExtensionProc. The server owns
// the block and everything it points to.
struct EXTENSION_CONTROL_BLOCK {
  uint32_t cbSize;                       // sizeof(EXTENSION_CONTROL_BLOCK).
  uint32_t dwVersion;                    // Interface version of the server.
  HCONN ConnID;                          // Passed back to every callback.
  uint32_t dwHttpStatusCode;             // Status the extension answered.
  char lpszLogData[HSE_LOG_BUFFER_LEN];  // Extension's log text.
  char* lpszMethod;                      // "GET", "POST", ...
  char* lpszQueryString;                 // After the "?"; "" when none.
  char* lpszPathInfo;                    // The request path.
  char* lpszPathTranslated;              // The path under the web root.
  uint32_t cbTotalBytes;                 // Content length of the body.
  uint32_t cbAvailable;                  // Bytes of it in lpbData.
  uint8_t* lpbData;                      // The part already received.
  char* lpszContentType;                 // Content type; "" when none.

  // Copies the variable's value, zero-terminated, into the buffer of *size
  // bytes and sets *size to the bytes copied. False for an unknown name, or
  // for a buffer too small, which sets *size to the size needed.
  IsapiBool (*GetServerVariable)(HCONN conn, char* name, void* buffer,
                                 uint32_t* size);
  // Sends *bytes bytes of the body; sets *bytes to the bytes accepted.
  IsapiBool (*WriteClient)(HCONN conn, void* buffer, uint32_t* bytes,
                           uint32_t reserved);
  // Reads at most *size further body bytes, waiting for at least one; sets
  // *size to the bytes read, 0 at the end of the body. False on failure.
  IsapiBool (*ReadClient)(HCONN conn, void* buffer, uint32_t* size);
  // A server service chosen by `request`; see the file comment for
  // HSE_REQ_SEND_RESPONSE_HEADER.
  IsapiBool (*ServerSupportFunction)(HCONN conn, uint32_t request, void* buffer,
                                     uint32_t* size, uint32_t* data_type);
};

// The completion function of a pending request: the block, the context
// given with HSE_REQ_IO_COMPLETION, the bytes written and 0 (or an error
// number when the write failed).
using HseIoCompletionFn = void (*)(EXTENSION_CONTROL_BLOCK* ecb, void* context,
                                   uint32_t bytes, uint32_t error);

// The entry points an extension exports, by these unmangled names.
using GetExtensionVersionFn = IsapiBool (*)(HSE_VERSION_INFO* version);
using HttpExtensionProcFn = uint32_t (*)(EXTENSION_CONTROL_BLOCK* ecb);
using TerminateExtensionFn = IsapiBool (*)(uint32_t flags);

inline constexpr const char* kGetExtensionVersionName = "GetExtensionVersion";
inline constexpr const char* kHttpExtensionProcName = "HttpExtensionProc";
inline constexpr const char* kTerminateExtensionName = "TerminateExtension";

// An optional entry point beyond the interface: a host that has settings
// for the extension (such as session mode) looks it up by this name and,
// when present, calls it once per setting after GetExtensionVersion and
// before the first request. Names and values are zero-terminated; the
// result is 1 when the extension took the setting, 0 for an unknown name
// or a bad value (the host should then refuse to start).
using ConfigureExtensionFn = IsapiBool (*)(const char* name, const char* value);
inline constexpr const char* kConfigureExtensionName =
    "CorvaneConfigureExtension";

// A second optional entry point: what a host asks of the extension besides
// requests. `what` is "check" (before serving: can the extension's files
// be served?), "health" (can requests be served now?) or "metrics" (the
// extension's metrics in the Prometheus text format). The answer text,
// zero-terminated, goes into the buffer of *size bytes when it fits; *size
// is set to the text's length plus one in any case, so a host whose buffer
// was too small asks again with a larger one. The result is 1 for yes (or
// for metrics given), 0 for no (the text says why) or an unknown question.
using QueryExtensionFn = IsapiBool (*)(const char* what, char* buffer,
                                       uint32_t* size);
inline constexpr const char* kQueryExtensionName = "CorvaneQueryExtension";

}  // namespace corvane

#endif  // CORVANE_WEB_ISAPI_H_
