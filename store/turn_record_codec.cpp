#include "store/turn_record_codec.h"

#include <charconv>
#include <cstdint>

namespace corvane {
namespace {

// Takes one decimal number and the separator after it from `bytes`.
template <typename T>
bool TakeNumber(std::string_view& bytes, char separator, T& value) {
  const char* end = bytes.data() + bytes.size();
  const bool negative = !bytes.empty() && bytes.front() == '-';
  if (bytes.empty() ||
      (!negative && (bytes.front() < '0' || bytes.front() > '9')))
    return false;
  const auto [p, ec] = std::from_chars(bytes.data(), end, value);
  if (ec != std::errc() || p == end || *p != separator) return false;
  bytes.remove_prefix(static_cast<std::size_t>(p - bytes.data()) + 1);
  return true;
}

}  // namespace

std::string EncodeTurnRecord(const TurnEntry& entry) {
  const TurnRecord& r = entry.record;
  std::string out = "1 " + std::to_string(entry.turn) + " " +
                    std::to_string(r.time) + " " +
                    std::to_string((r.failed ? 1 : 0) | (r.fallback ? 2 : 0)) +
                    " " + std::to_string(r.knowledge_version.size()) + " " +
                    std::to_string(r.input.size()) + " " +
                    std::to_string(r.reply.size()) + "\n";
  out.reserve(out.size() + r.knowledge_version.size() + r.input.size() +
              r.reply.size());
  out += r.knowledge_version;
  out += r.input;
  out += r.reply;
  return out;
}

TurnEntry DecodeTurnRecord(std::string_view bytes) {
  TurnEntry e;
  int version = 0;
  int flags = 0;
  std::size_t kv = 0, input = 0, reply = 0;
  const bool header =
      TakeNumber(bytes, ' ', version) && version == 1 &&
      TakeNumber(bytes, ' ', e.turn) && TakeNumber(bytes, ' ', e.record.time) &&
      TakeNumber(bytes, ' ', flags) && flags >= 0 && flags <= 3 &&
      TakeNumber(bytes, ' ', kv) && TakeNumber(bytes, ' ', input) &&
      TakeNumber(bytes, '\n', reply);
  // Compared one length at a time, so that no sum can overflow.
  if (!header || kv > bytes.size() || input > bytes.size() - kv ||
      reply != bytes.size() - kv - input)
    throw StoreDataError("a turn record in the store does not decode");
  e.record.failed = (flags & 1) != 0;
  e.record.fallback = (flags & 2) != 0;
  e.record.knowledge_version = std::string(bytes.substr(0, kv));
  e.record.input = std::string(bytes.substr(kv, input));
  e.record.reply = std::string(bytes.substr(kv + input));
  return e;
}

}  // namespace corvane
