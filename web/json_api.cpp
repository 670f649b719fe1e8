#include "web/json_api.h"

#include <cstdint>
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

namespace {

// Appends `text` (well-formed UTF-8) as a JSON string: the quote, the
// backslash and the control characters escaped, everything else as it is,
// as the serializer writes them.
void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(start, i - start));
    start = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(text.substr(start));
  out += '"';
}

// Whether `text` is well-formed UTF-8 (so it can be written as it is).
bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= text.size()) return false;  // Cut short.
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

std::string ApiReplyBody(const std::string& reply, const std::string& session) {
  if (!IsUtf8(reply) || !IsUtf8(session)) {
    nlohmann::json doc = nlohmann::json::object();
    doc["reply"] = reply;
    doc["session"] = session;
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  std::string out;
  out.reserve(reply.size() + session.size() + 32);
  out += "{\"reply\":";
  AppendJsonString(out, reply);
  out += ",\"session\":";
  AppendJsonString(out, session);
  out += '}';
  return out;
}

std::string ApiErrorBody(const std::string& message) {
  nlohmann::json doc = nlohmann::json::object();
  doc["error"] = message;
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvane
