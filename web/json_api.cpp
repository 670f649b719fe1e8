#include "web/json_api.h"

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

// Deeper bodies are refused before the parser builds them: no request of
// the API needs more than an object of strings.
constexpr int kMaxDepth = 64;

bool TooDeep(std::string_view body) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : body) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxDepth) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

}  // namespace

bool IsApiRequest(std::string_view method, std::string_view path) {
  return method == "POST" && path == kApiPath;
}

std::optional<ApiRequest> ParseApiRequest(std::string_view body,
                                          std::string* error) {
  if (TooDeep(body)) {
    *error = "The body is nested too deeply";
    return std::nullopt;
  }
  const nlohmann::json doc =
      nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (doc.is_discarded()) {
    *error = "The body is not JSON in UTF-8";
    return std::nullopt;
  }
  if (!doc.is_object()) {
    *error = "The body must be a JSON object";
    return std::nullopt;
  }
  ApiRequest request;
  const auto greeting = doc.find("greeting");
  request.greeting = greeting != doc.end() && greeting->is_boolean() &&
                     greeting->get<bool>();
  const auto input = doc.find("input");
  if (!request.greeting && (input == doc.end() || !input->is_string())) {
    *error = "The member \"input\" must be a string";
    return std::nullopt;
  }
  if (input != doc.end() && input->is_string())
    request.input = input->get<std::string>();
  const auto session = doc.find("session");
  if (session != doc.end() && !session->is_null()) {
    if (!session->is_string()) {
      *error = "The member \"session\" must be a string";
      return std::nullopt;
    }
    request.session = session->get<std::string>();
  }
  return request;
}

std::string ApiReplyBody(const std::string& reply, const std::string& session) {
  nlohmann::json doc = nlohmann::json::object();
  doc["reply"] = reply;
  doc["session"] = session;
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ApiErrorBody(const std::string& message) {
  nlohmann::json doc = nlohmann::json::object();
  doc["error"] = message;
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvane
