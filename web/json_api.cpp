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

namespace {

// Reads a body as the parser's events pass, keeping only what a request of
// the API needs: whether the document is an object and the values of its
// members "input", "session" and "greeting" (the last one of each name, as
// a document read whole keeps it). Nothing else is built.
class ApiReader {
 public:
  using Json = nlohmann::json;

  // What a member's value was.
  struct Member {
    enum class Kind { kAbsent, kString, kTrue, kNull, kOther };
    Kind kind = Kind::kAbsent;
    std::string text;  // For kString.
  };

  bool object() const { return object_; }
  Member& input() { return input_; }
  const Member& session() const { return session_; }
  const Member& greeting() const { return greeting_; }

  bool null() { return Value(Member::Kind::kNull); }
  bool boolean(bool v) {
    return Value(v ? Member::Kind::kTrue : Member::Kind::kOther);
  }
  bool number_integer(Json::number_integer_t) {
    return Value(Member::Kind::kOther);
  }
  bool number_unsigned(Json::number_unsigned_t) {
    return Value(Member::Kind::kOther);
  }
  bool number_float(Json::number_float_t, const Json::string_t&) {
    return Value(Member::Kind::kOther);
  }
  bool string(Json::string_t& text) {
    if (Member* m = Current()) {
      m->kind = Member::Kind::kString;
      m->text = std::move(text);
    }
    return Value(Member::Kind::kString);
  }
  bool binary(Json::binary_t&) { return Value(Member::Kind::kOther); }
  bool start_object(std::size_t) {
    if (depth_ == 0) object_ = true;
    Compound();
    return true;
  }
  bool end_object() {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) {
    Compound();
    return true;
  }
  bool end_array() {
    --depth_;
    return true;
  }
  bool key(Json::string_t& name) {
    if (depth_ == 1)
      current_ = name == "input"      ? &input_
                 : name == "session"  ? &session_
                 : name == "greeting" ? &greeting_
                                      : nullptr;
    return true;
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception&) {
    return false;
  }

 private:
  // The member whose value comes now: one of the three, directly in the
  // document's object.
  Member* Current() { return depth_ == 1 ? current_ : nullptr; }
  bool Value(Member::Kind kind) {
    Member* m = Current();
    if (m != nullptr && kind != Member::Kind::kString) {
      m->kind = kind;
      m->text.clear();
    }
    current_ = depth_ == 1 ? nullptr : current_;
    return true;
  }
  // An object or array begins: as a member's value, it is none of the
  // kinds a request wants.
  void Compound() {
    Value(Member::Kind::kOther);
    ++depth_;
  }

  int depth_ = 0;
  bool object_ = false;
  Member* current_ = nullptr;
  Member input_, session_, greeting_;
};

// The request of a body that is an object whose members all have plain
// strings as names and values: printable ASCII without '"' or '\\', so
// that they stand for themselves (and are UTF-8). That is how a page and
// the usual client write a request, and the parser's answer for it is
// known: "input" and "session" are their last values, and "greeting" is
// not true. Nothing for any other body, which the parser then reads.
std::optional<ApiRequest> PlainApiRequest(std::string_view body) {
  std::size_t at = 0;
  const auto blanks = [&] {
    while (at < body.size() && (body[at] == ' ' || body[at] == '\t' ||
                                body[at] == '\n' || body[at] == '\r'))
      ++at;
  };
  const auto take = [&](char c) {
    blanks();
    if (at == body.size() || body[at] != c) return false;
    ++at;
    return true;
  };
  const auto plain = [&](std::string_view* text) {
    if (!take('"')) return false;
    const std::size_t start = at;
    while (at < body.size() && body[at] != '"') {
      const unsigned char c = static_cast<unsigned char>(body[at]);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
      ++at;
    }
    if (at == body.size()) return false;
    *text = body.substr(start, at - start);
    ++at;
    return true;
  };
  if (!take('{')) return std::nullopt;
  std::optional<std::string_view> input, session;
  blanks();
  if (at < body.size() && body[at] == '}') return std::nullopt;  // No input.
  do {
    std::string_view name, value;
    if (!plain(&name) || !take(':') || !plain(&value)) return std::nullopt;
    if (name == "input") input = value;
    if (name == "session") session = value;
  } while (take(','));
  if (!take('}')) return std::nullopt;
  blanks();
  if (at != body.size() || !input) return std::nullopt;
  ApiRequest request;
  request.input = std::string(*input);
  if (session) request.session = std::string(*session);
  return request;
}

}  // namespace

std::optional<ApiRequest> ParseApiRequest(std::string_view body,
                                          std::string* error) {
  if (std::optional<ApiRequest> plain = PlainApiRequest(body)) return plain;
  if (TooDeep(body)) {
    *error = "The body is nested too deeply";
    return std::nullopt;
  }
  ApiReader reader;
  if (!nlohmann::json::sax_parse(body.begin(), body.end(), &reader)) {
    *error = "The body is not JSON in UTF-8";
    return std::nullopt;
  }
  if (!reader.object()) {
    *error = "The body must be a JSON object";
    return std::nullopt;
  }
  using Kind = ApiReader::Member::Kind;
  ApiRequest request;
  request.greeting = reader.greeting().kind == Kind::kTrue;
  if (!request.greeting && reader.input().kind != Kind::kString) {
    *error = "The member \"input\" must be a string";
    return std::nullopt;
  }
  if (reader.input().kind == Kind::kString)
    request.input = std::move(reader.input().text);
  const ApiReader::Member& session = reader.session();
  if (session.kind != Kind::kAbsent && session.kind != Kind::kNull) {
    if (session.kind != Kind::kString) {
      *error = "The member \"session\" must be a string";
      return std::nullopt;
    }
    request.session = session.text;
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
