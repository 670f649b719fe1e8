// The JSON API: "POST /api/reply" with {"input": "..."} (and, in session
// mode, an optional "session" member naming the conversation) answers
// {"reply": "...", "session": "..."}; a malformed body gets 400 with
// {"error": "..."}. {"greeting": true} instead of an input asks for what
// the bot has said unasked (its start patterns' greeting) without a turn,
// so that a page can greet first. Bodies are UTF-8 both ways. Pure
// functions; re-entrant.
#ifndef CORVANE_WEB_JSON_API_H_
#define CORVANE_WEB_JSON_API_H_

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr const char* kApiPath = "/api/reply";
inline constexpr const char* kJsonContentType =
    "application/json; charset=utf-8";

// A request of the API, as sent (UTF-8).
struct ApiRequest {
  std::string input;
  std::optional<std::string> session;  // Present when the body names one.
  bool greeting = false;  // "greeting": true; then no input is needed.
};

// Whether the request goes to the API: method POST and path exactly
// kApiPath.
bool IsApiRequest(std::string_view method, std::string_view path);

// The request in `body`: a JSON object with a string member "input" (or
// "greeting": true) and optionally a string member "session"; other
// members are ignored.
// Nothing, with the reason in *error, for anything else (not JSON, not
// UTF-8, not an object, "input" missing or not a string, "session" not a
// string). Linear in the body; nesting is limited by the parser's depth.
std::optional<ApiRequest> ParseApiRequest(std::string_view body,
                                          std::string* error);

// {"reply": reply, "session": session}. Requires UTF-8 texts.
std::string ApiReplyBody(const std::string& reply, const std::string& session);

// {"error": message}; bytes that are not UTF-8 are replaced.
std::string ApiErrorBody(const std::string& message);

}  // namespace corvane

#endif  // CORVANE_WEB_JSON_API_H_
