#include "cli/coverage.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/cli_support.h"
#include "engine/a1U2.h"

namespace corvane {
namespace {

const char* KindName(int kind) {
  static const char* const kNames[] = {"pattern", "step pattern", "response"};
  return kNames[kind];
}

// A text for one line: line ends as blanks, cut after 60 bytes.
std::string Shown(const std::string& text) {
  std::string out = OneLine(text);
  if (out.size() > 60) out = out.substr(0, 57) + "...";
  return out;
}

std::string Labelled(const std::string& label) {
  return label.empty() ? std::string() : " {" + Shown(label) + "}";
}

// "{label} " before a description, or nothing without a label.
std::string LabelFirst(const std::string& label) {
  return label.empty() ? std::string() : "{" + Shown(label) + "} ";
}

// Single-byte text as UTF-8, each byte the character of that number.
std::string Utf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Percent(long long fired, long long total) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%",
                total == 0 ? 100.0 : 100.0 * fired / total);
  return buf;
}

}  // namespace

Coverage::Coverage(const BrainClass& brain, const std::string& path)
    : path_(path) {
  const auto from_here = [&](const Item& item) {
    const SourceLocation source = item.source();
    return source.from_file() && *source.file == path_;
  };
  const auto responses = [&](const OwningList<ResponseClass>& list,
                             const std::string& owner) {
    for (const auto& r : list) {
      if (!from_here(*r)) continue;
      Add(r->source().line, Kind::kResponse,
          BrainClass::ResponseTypeName(r->RESPONSETYPE) + " \"" +
              Shown(r->OUTTEXT) + "\"" + Labelled(r->ObjectName) + " of " +
              owner);
    }
  };
  for (const auto& mode : brain.Modes) {
    const std::string where =
        "in mode " + (mode->Name.empty() ? std::string("Default") : mode->Name);
    for (const auto& p : mode->Patterns) {
      if (!from_here(*p)) continue;
      const std::string line = std::to_string(p->source().line);
      Add(p->source().line, Kind::kPattern, LabelFirst(p->ObjectName) + where);
      responses(p->Responses, "the pattern at line " + line);
      for (const auto& t : p->Thresholds)
        responses(t->Responses, "a threshold of the pattern at line " + line);
      for (const auto& s : p->StateResponses)
        responses(s->Responses, "the state " + Shown(s->STATE) +
                                    " of the pattern at line " + line);
    }
  }
  for (const auto& proc : brain.Procs) {
    for (const auto& step : proc->Steps) {
      const std::string where =
          "in step " + Shown(step->Name) + " of procedure " + Shown(proc->Name);
      for (const auto& sp : step->StepPatterns) {
        if (!from_here(*sp)) continue;
        const std::string line = std::to_string(sp->source().line);
        Add(sp->source().line, Kind::kStepPattern,
            LabelFirst(sp->ObjectName) + where);
        responses(sp->Responses, "the step pattern at line " + line);
      }
    }
  }
}

void Coverage::Add(int64_t line, Kind kind, std::string description) {
  items_.emplace(line, Entry{kind, std::move(description)});
}

void Coverage::Fired(const TraceFiring& firing) {
  if (firing.source.from_file() && *firing.source.file == path_)
    fired_.insert(firing.source.line);
  if (firing.responded && firing.response_source.from_file() &&
      *firing.response_source.file == path_)
    fired_.insert(firing.response_source.line);
}

void Coverage::Note(const TurnTrace& trace) {
  for (const TraceFiring& f : trace.do_before) Fired(f);
  if (trace.has_winner) Fired(trace.winner);
  for (const TraceFiring& f : trace.do_after) Fired(f);
  for (const TraceFiring& f : trace.other_firings) Fired(f);
}

void Coverage::NoteHits(const BrainClass& brain) {
  for (const auto& mode : brain.Modes)
    for (const auto& p : mode->Patterns) {
      const SourceLocation source = p->source();
      if (p->HITCOUNT > 0 && source.from_file() && *source.file == path_)
        fired_.insert(source.line);
    }
}

std::pair<long long, long long> Coverage::Counts(Kind kind, bool all) const {
  long long fired = 0;
  long long total = 0;
  for (const auto& [line, entry] : items_) {
    if (!all && entry.kind != kind) continue;
    ++total;
    if (fired_.count(line) > 0) ++fired;
  }
  return {fired, total};
}

std::string Coverage::Text() const {
  const auto [fired, total] = Counts(Kind::kPattern, true);
  std::string out = "coverage of " + path_ + ": " + std::to_string(fired) +
                    " of " + std::to_string(total) + " items fired (" +
                    Percent(fired, total) + ")";
  const char* names[] = {"patterns", "step patterns", "responses"};
  for (int k = 0; k < 3; ++k) {
    const auto [f, t] = Counts(static_cast<Kind>(k), false);
    out += std::string(k == 0 ? ": " : ", ") + names[k] + " " +
           std::to_string(f) + " of " + std::to_string(t);
  }
  out += "\n";
  if (fired == total) return out;
  out += "never fired:\n";
  for (const auto& [line, entry] : items_) {
    if (fired_.count(line) > 0) continue;
    out += "  " + path_ + ":" + std::to_string(line) + ": " +
           KindName(static_cast<int>(entry.kind)) + " " + entry.description +
           "\n";
  }
  return out;
}

std::string Coverage::Json() const {
  nlohmann::json doc = nlohmann::json::object();
  const auto [fired, total] = Counts(Kind::kPattern, true);
  doc["file"] = Utf8(path_);
  doc["items"] = total;
  doc["fired"] = fired;
  doc["percent"] = total == 0 ? 100.0 : 100.0 * fired / total;
  const char* keys[] = {"patterns", "step_patterns", "responses"};
  for (int k = 0; k < 3; ++k) {
    const auto [f, t] = Counts(static_cast<Kind>(k), false);
    doc[keys[k]] = {{"items", t}, {"fired", f}};
  }
  nlohmann::json never = nlohmann::json::array();
  for (const auto& [line, entry] : items_) {
    if (fired_.count(line) > 0) continue;
    never.push_back({{"line", line},
                     {"kind", KindName(static_cast<int>(entry.kind))},
                     {"description", Utf8(entry.description)}});
  }
  doc["never_fired"] = std::move(never);
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvane
