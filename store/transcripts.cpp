#include "store/transcripts.h"

#include <algorithm>
#include <unordered_map>

namespace corvane {
namespace {

constexpr std::size_t kPage = 500;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

void ForEachTurn(ConversationStore& store,
                 const std::function<void(const ConversationInfo&,
                                          const TurnEntry&)>& visit) {
  std::string cursor;
  do {
    const ConversationPage page = store.List(cursor, kPage);
    for (const ConversationInfo& info : page.conversations) {
      uint64_t first = 1;
      for (;;) {
        const auto turns = store.Transcript(info.id, first, kPage);
        // Gone since it was listed (retention).
        if (!turns) break;
        for (const TurnEntry& entry : *turns) visit(info, entry);
        if (turns->size() < kPage) break;
        first = turns->back().turn + 1;
      }
    }
    cursor = page.next;
  } while (!cursor.empty());
}

std::string NormalizeInput(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  bool pending_blank = false;
  for (char c : input) {
    if (IsBlank(c)) {
      pending_blank = !out.empty();
      continue;
    }
    if (pending_blank) out.push_back(' ');
    pending_blank = false;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

std::vector<UnansweredInput> CountUnanswered(ConversationStore& store) {
  std::unordered_map<std::string, uint64_t> counts;
  ForEachTurn(store, [&](const ConversationInfo&, const TurnEntry& entry) {
    if (!entry.record.fallback) return;
    std::string input = NormalizeInput(entry.record.input);
    if (!input.empty()) ++counts[std::move(input)];
  });
  std::vector<UnansweredInput> result;
  result.reserve(counts.size());
  for (auto& [input, count] : counts) result.push_back({input, count});
  std::sort(result.begin(), result.end(),
            [](const UnansweredInput& a, const UnansweredInput& b) {
              if (a.count != b.count) return a.count > b.count;
              return a.input < b.input;
            });
  return result;
}

}  // namespace corvane
