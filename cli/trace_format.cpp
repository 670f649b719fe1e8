#include "cli/trace_format.h"

#include <cstdio>

#include "cli/cli_support.h"
#include "engine/brain.h"

namespace corvane {
namespace {

// ---- Text ----

// A text in double quotes, with control bytes shown as blanks so that a
// trace line stays one line.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text)
    out.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
  return out + "\"";
}

std::string Where(const SourceLocation& source) {
  return "(" + SourceText(source) + ")";
}

std::string Label(const std::string& label, const char* what) {
  return label.empty() ? std::string("unnamed ") + what : label;
}

std::string GroupText(const TraceFiring& firing) {
  switch (firing.group) {
    case TraceFiring::Group::kThreshold:
      return "threshold " + std::to_string(firing.thresh_from) + "," +
             std::to_string(firing.thresh_to) + " " +
             Where(firing.group_source);
    case TraceFiring::Group::kState:
      return "state group " + Quoted(firing.state) + " " +
             Where(firing.group_source);
    case TraceFiring::Group::kPattern:
      return "the pattern's own responses";
    case TraceFiring::Group::kNone:
      break;
  }
  return "no response group";
}

std::string FiringText(const TraceFiring& firing, const char* what) {
  std::string out = Label(firing.label, what) + " " + Where(firing.source);
  if (firing.hit_count >= 0)
    out += ", hit count " + std::to_string(firing.hit_count);
  out += ", " + GroupText(firing);
  if (firing.responded) {
    out += ", response " + BrainClass::ResponseTypeName(firing.response_type) +
           " " + Quoted(firing.response_text) + " " +
           Where(firing.response_source);
  } else {
    out += ", no response";
  }
  return out;
}

std::string EventText(const TraceEvent& event) {
  switch (event.kind) {
    case TraceEvent::Kind::kTask:
      return "task: " + BrainClass::ResponseTypeName(event.code) + " " +
             Quoted(event.text) + " " + Where(event.source);
    case TraceEvent::Kind::kMacro:
      return "macros: " + Quoted(event.text) + " -> " + Quoted(event.value);
    case TraceEvent::Kind::kMode:
      return "mode is now " + Quoted(event.text);
    case TraceEvent::Kind::kState:
      return "state is now " + Quoted(event.text);
    case TraceEvent::Kind::kProcedure:
      if (event.text.empty()) return "no procedure runs now";
      return "procedure is now " + Quoted(event.text) + ", step " +
             Quoted(event.value);
    case TraceEvent::Kind::kFact:
      return "fact " + event.text + " = " + Quoted(event.value);
    case TraceEvent::Kind::kSubmit:
      return "submitted " + Quoted(event.text);
  }
  return {};
}

// ---- JSON ----

void JsonString(std::string& out, const std::string& text) {
  out.push_back('"');
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_.push_back('{'); }
  ~JsonObject() { out_.push_back('}'); }
  std::string& Key(const char* key) {
    if (!first_) out_.push_back(',');
    first_ = false;
    JsonString(out_, key);
    out_.push_back(':');
    return out_;
  }
  void Str(const char* key, const std::string& value) {
    JsonString(Key(key), value);
  }
  void Int(const char* key, long long value) {
    Key(key) += std::to_string(value);
  }
  void Bool(const char* key, bool value) {
    Key(key) += value ? "true" : "false";
  }
  void Source(const char* key, const SourceLocation& source) {
    if (source.from_file())
      Str(key, SourceText(source));
    else
      Key(key) += "null";
  }

 private:
  std::string& out_;
  bool first_ = true;
};

template <typename T, typename Fn>
void JsonArray(std::string& out, const std::vector<T>& items, Fn&& each) {
  out.push_back('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(',');
    each(items[i]);
  }
  out.push_back(']');
}

const char* GroupName(TraceFiring::Group group) {
  switch (group) {
    case TraceFiring::Group::kPattern:
      return "pattern";
    case TraceFiring::Group::kThreshold:
      return "threshold";
    case TraceFiring::Group::kState:
      return "state";
    case TraceFiring::Group::kNone:
      break;
  }
  return "none";
}

void FiringJson(std::string& out, const TraceFiring& firing) {
  JsonObject o(out);
  o.Str("label", firing.label);
  o.Source("source", firing.source);
  if (firing.hit_count >= 0)
    o.Int("hit_count", firing.hit_count);
  else
    o.Key("hit_count") += "null";
  o.Str("group", GroupName(firing.group));
  if (firing.group == TraceFiring::Group::kThreshold) {
    o.Int("threshold_from", firing.thresh_from);
    o.Int("threshold_to", firing.thresh_to);
  }
  if (firing.group == TraceFiring::Group::kState) o.Str("state", firing.state);
  if (firing.group == TraceFiring::Group::kThreshold ||
      firing.group == TraceFiring::Group::kState)
    o.Source("group_source", firing.group_source);
  if (firing.responded) {
    JsonObject r(o.Key("response"));
    r.Str("type", BrainClass::ResponseTypeName(firing.response_type));
    r.Str("text", firing.response_text);
    r.Source("source", firing.response_source);
  } else {
    o.Key("response") += "null";
  }
}

const char* EventName(TraceEvent::Kind kind) {
  switch (kind) {
    case TraceEvent::Kind::kTask:
      return "task";
    case TraceEvent::Kind::kMacro:
      return "macro";
    case TraceEvent::Kind::kMode:
      return "mode";
    case TraceEvent::Kind::kState:
      return "state";
    case TraceEvent::Kind::kProcedure:
      return "procedure";
    case TraceEvent::Kind::kFact:
      return "fact";
    case TraceEvent::Kind::kSubmit:
      return "submit";
  }
  return "";
}

}  // namespace

std::string FormatTraceText(const TurnTrace& trace) {
  std::string out = "trace: " + Quoted(trace.input) + "\n";
  for (const TraceFiring& firing : trace.do_before)
    out += "  do-before: " + FiringText(firing, "pattern") + "\n";
  switch (trace.answerer) {
    case TurnTrace::Answerer::kMode:
      out += "  answered by mode " + Quoted(trace.mode) + ": " +
             std::to_string(trace.candidates) +
             (trace.candidates == 1 ? " pattern" : " patterns") + " scored\n";
      break;
    case TurnTrace::Answerer::kStep:
      out += "  answered by procedure " + Quoted(trace.procedure) + ", step " +
             Quoted(trace.step) + ": " + std::to_string(trace.candidates) +
             (trace.candidates == 1 ? " step pattern" : " step patterns") +
             " scored\n";
      break;
    case TurnTrace::Answerer::kNoMode:
      out += "  no mode is current\n";
      break;
    case TurnTrace::Answerer::kNone:
      break;
  }
  for (std::size_t i = 0; i < trace.best.size(); ++i) {
    const TracePattern& p = trace.best[i];
    out += "  " + std::to_string(i + 1) + ". " + Label(p.label, "pattern") +
           " " + Where(p.source) + " score " + std::to_string(p.score) + "\n";
    for (const TraceFragment& f : p.fragments) {
      out += "       " + BrainClass::RelationName(f.relation) + " " +
             Quoted(f.text) + (f.holds ? " holds " : " fails ") +
             (f.contribution >= 0 ? "+" : "") + std::to_string(f.contribution) +
             " " + Where(f.source) + "\n";
    }
  }
  if (trace.has_winner)
    out += "  winner: " + FiringText(trace.winner, "pattern") + "\n";
  else if (trace.answerer == TurnTrace::Answerer::kMode ||
           trace.answerer == TurnTrace::Answerer::kStep)
    out += "  no pattern could answer\n";
  for (const TraceEvent& event : trace.events)
    out += "  " + EventText(event) + "\n";
  for (const TraceFiring& firing : trace.do_after)
    out += "  do-after: " + FiringText(firing, "pattern") + "\n";
  if (trace.abandoned) out += "  the turn was abandoned by an error\n";
  out += "  reply: " + Quoted(trace.reply) + "\n";
  return out;
}

std::string FormatTraceJson(const TurnTrace& trace) {
  std::string out;
  {
    JsonObject o(out);
    o.Str("input", trace.input);
    JsonArray(o.Key("do_before"), trace.do_before,
              [&](const TraceFiring& f) { FiringJson(out, f); });
    switch (trace.answerer) {
      case TurnTrace::Answerer::kMode:
        o.Str("answered_by", "mode");
        o.Str("mode", trace.mode);
        break;
      case TurnTrace::Answerer::kStep:
        o.Str("answered_by", "step");
        o.Str("procedure", trace.procedure);
        o.Str("step", trace.step);
        break;
      case TurnTrace::Answerer::kNoMode:
        o.Str("answered_by", "no mode");
        break;
      case TurnTrace::Answerer::kNone:
        o.Key("answered_by") += "null";
        break;
    }
    o.Int("candidates", trace.candidates);
    JsonArray(o.Key("best"), trace.best, [&](const TracePattern& p) {
      JsonObject po(out);
      po.Str("label", p.label);
      po.Source("source", p.source);
      po.Int("position", p.position);
      po.Int("score", p.score);
      JsonArray(po.Key("fragments"), p.fragments, [&](const TraceFragment& f) {
        JsonObject fo(out);
        fo.Str("kind", BrainClass::RelationName(f.relation));
        fo.Str("text", f.text);
        fo.Bool("holds", f.holds);
        fo.Int("contribution", f.contribution);
        fo.Source("source", f.source);
      });
    });
    if (trace.has_winner)
      FiringJson(o.Key("winner"), trace.winner);
    else
      o.Key("winner") += "null";
    JsonArray(o.Key("events"), trace.events, [&](const TraceEvent& e) {
      JsonObject eo(out);
      eo.Str("kind", EventName(e.kind));
      if (e.kind == TraceEvent::Kind::kTask)
        eo.Str("type", BrainClass::ResponseTypeName(e.code));
      eo.Str("text", e.text);
      eo.Str("value", e.value);
      if (e.kind == TraceEvent::Kind::kTask) eo.Source("source", e.source);
    });
    JsonArray(o.Key("do_after"), trace.do_after,
              [&](const TraceFiring& f) { FiringJson(out, f); });
    o.Bool("abandoned", trace.abandoned);
    o.Str("reply", trace.reply);
  }
  return out;
}

}  // namespace corvane
